/* Freestanding <stdint.h> for the driver's kernel-safe build (see stddef.h beside it). */
#ifndef VOSTRALE_KERNEL_STDINT_H
#define VOSTRALE_KERNEL_STDINT_H
#include <stdint-gcc.h>
#endif
