// The few C runtime routines the compiler and the bundled decompressors call. They are
// written here rather than imported, so the driver's imports stay the documented kernel and
// StorPort routines. The bodies use string instructions so the compiler cannot turn them back
// into calls to themselves.
#include <stddef.h>
#include <stdint.h>

#include "driver/core/platform_services.h"

extern "C" {

void* memcpy(void* target, const void* source, size_t length) {
    void* t = target;
    __asm__ volatile("rep movsb" : "+D"(t), "+S"(source), "+c"(length) : : "memory");
    return target;
}

void* memmove(void* target, const void* source, size_t length) {
    uint8_t* t = static_cast<uint8_t*>(target);
    const uint8_t* s = static_cast<const uint8_t*>(source);
    if (t <= s || t >= s + length) {
        __asm__ volatile("rep movsb" : "+D"(t), "+S"(s), "+c"(length) : : "memory");
    } else if (length) {
        t += length - 1;
        s += length - 1;
        __asm__ volatile("std\n\trep movsb\n\tcld"
                         : "+D"(t), "+S"(s), "+c"(length)
                         :
                         : "memory", "cc");
    }
    return target;
}

void* memset(void* target, int value, size_t length) {
    void* t = target;
    __asm__ volatile("rep stosb" : "+D"(t), "+c"(length) : "a"(value) : "memory");
    return target;
}

int memcmp(const void* a, const void* b, size_t length) {
    const volatile uint8_t* x = static_cast<const uint8_t*>(a);
    const volatile uint8_t* y = static_cast<const uint8_t*>(b);
    for (size_t i = 0; i < length; ++i) {
        if (x[i] != y[i])
            return x[i] < y[i] ? -1 : 1;
    }
    return 0;
}

// bzip2's allocator (its malloc and free are renamed to these in the driver's build). It runs
// only on a drive's worker, at passive level.
void* VostraleKernelMalloc(size_t size) {
    return vostrale::ps::PoolAlloc(vostrale::ps::kPoolPaged, size, vostrale::ps::kPoolTag);
}

void VostraleKernelFree(void* block) {
    vostrale::ps::PoolFree(block, vostrale::ps::kPoolTag);
}

// bzip2 reports a broken internal invariant here. Stopping the system over one image is not
// an option; the chunk's checksum still rejects whatever was produced.
void bz_internal_error(int) {}

} // extern "C"
