/* Freestanding <stddef.h> for the driver's kernel-safe build: the toolchain's own copy defers
   to the C runtime's, which the kernel configuration must not see. */
#ifndef VOSTRALE_KERNEL_STDDEF_H
#define VOSTRALE_KERNEL_STDDEF_H
typedef __SIZE_TYPE__ size_t;
typedef __PTRDIFF_TYPE__ ptrdiff_t;
#ifndef __cplusplus
typedef __WCHAR_TYPE__ wchar_t;
#endif
#ifdef __cplusplus
#define NULL nullptr
typedef decltype(nullptr) nullptr_t;
#else
#define NULL ((void*)0)
#endif
#define offsetof(type, member) __builtin_offsetof(type, member)
#endif
