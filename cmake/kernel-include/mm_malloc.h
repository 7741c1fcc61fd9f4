/* Freestanding <mm_malloc.h> for the driver's kernel-safe build: the compiler's SSE intrinsics
   headers pull it in for _mm_malloc and _mm_free, which need the C runtime's allocator; the
   driver allocates only from its pool and uses neither. */
#ifndef VOSTRALE_KERNEL_MM_MALLOC_H
#define VOSTRALE_KERNEL_MM_MALLOC_H
#endif
