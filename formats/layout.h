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

// A track and a session of a disc with several sessions, for its full TOC.
struct SessionTocTrack {
    uint8_t session; // 1-based; tracks stand in session order, numbered from 1
    uint8_t adrControl;
    uint32_t lba;    // INDEX 01
};
struct SessionTocSession {
    uint32_t programStart; // first LBA after the session's lead-in
    uint32_t leadOut;
    uint8_t discType;      // A0 PSEC
};

// The full TOC a drive reads from a disc of several sessions: per session A0 (its first track,
// that track's control), A1 and A2 (its last track's control) and its tracks; after every
// session but the last a B0 point (where the next program area starts, the disc's last
// lead-out) and, after the first, a C0 point. Heap block; null without memory or with more
// than 99 tracks or sessions. `size` receives its size.
uint8_t* BuildSessionToc(const SessionTocTrack* tracks, uint32_t trackCount,
                         const SessionTocSession* sessions, uint32_t sessionCount, uint32_t* size);

} // namespace vostrale
