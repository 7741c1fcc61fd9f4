// The disc layout: a MountRecord plus the heap blocks it points to. Every parser allocates its
// blocks here and releases a partial layout with ReleaseLayout on failure.
#pragma once

#include "common/wire.h"

#include <cstddef>
#include <cstdint>

namespace vostrale {

// Zero-filled block from the process heap; null when it cannot be had.
void* AllocLayoutBlock(size_t size);
void FreeLayoutBlock(void* block);

template <typename T> T* PointerOf(uint64_t field) { return reinterpret_cast<T*>(uintptr_t(field)); }
inline uint64_t FieldOf(const void* p) { return uint64_t(uintptr_t(p)); }

// Closes the main file handle, frees track table, full TOC and CD-Text, then by reader kind:
// list frees pool and segments, CCD closes the .sub handle, ISZ/FLAC/APE free the table at 68,
// multi-file closes every file and frees their seek tables; the identity block is freed too.
// Null pointers and zero handles are skipped; the fields are zeroed afterwards.
void ReleaseLayout(MountRecord* record);

// CUE-sheet TOCs: A0, A1, A2 and one descriptor per track start; heap blocks.
// The audio variant also sets bytes per sector 2352, the total and medium kind CD.
uint8_t* BuildTocAudio(MountRecord* record, const uint32_t* trackStarts, uint32_t trackCount, uint32_t totalSectors);
uint8_t* BuildTocData(const uint32_t* trackStarts, uint32_t trackCount, uint32_t totalSectors, uint8_t discType);

} // namespace vostrale
