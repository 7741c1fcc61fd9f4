// What the disc's TOC says about an address: the track and index that hold it, the gaps
// between sessions, and the Q sub-channel a disc carries there (for images that store none).
#pragma once

#include "driver/core/drive.h"

namespace vostrale {

constexpr uint32_t kMaxTocTracks = 99;

// Fields of an 11-byte full TOC descriptor.
constexpr uint32_t kDescSession = 0;
constexpr uint32_t kDescAdrControl = 1;
constexpr uint32_t kDescPoint = 3;
constexpr uint32_t kDescPmin = 8;
constexpr uint32_t kDescPsec = 9;
constexpr uint32_t kDescPframe = 10;

struct TocTrack {
    uint8_t session;
    uint8_t adrControl;
    uint8_t number;
    uint32_t lba;
};

uint32_t TocDescriptorCount(const Disc* disc);
const uint8_t* TocDescriptorAt(const Disc* disc, uint32_t i);

// Tracks of the full TOC in block order; returns how many (at most `capacity`).
uint32_t CollectTracks(const Disc* disc, TocTrack* out, uint32_t capacity);

// Track 1 of a disc sent without a full TOC: audio when the disc holds audio at LBA 0.
uint8_t SingleTrackAdrControl(const Disc* disc);

// The track numbered `number` (the TOC's, or track 1 of a disc sent without one).
bool TrackNumbered(const Disc* disc, uint8_t number, TocTrack* track);

// Lead-out of a session from its A2 point, or the disc's total.
uint32_t SessionLeadOut(const Disc* disc, uint8_t session);

// True for the addresses between one session's lead-out and the next session's first track
// (lead-out, lead-in and pregap): a disc has no readable sector there.
bool InSessionGap(const Disc* disc, uint32_t lba);

struct TocPosition {
    TocTrack track;    // the track the address belongs to (a pregap belongs to the next one)
    uint8_t index;     // 0 in a pregap, else 1
    int32_t relative;  // sectors from the track's start (negative in a pregap)
};

// The track and index of `lba` by the TOC; a disc without a full TOC is one track at 0.
TocPosition PositionOf(const Disc* disc, uint32_t lba);

// The disc type of the A0 point: 0x20 (CD-ROM XA) when a data track holds Mode 2 sectors, else
// what the stored TOC says (0 without one). Reads the first sector of raw data tracks.
uint8_t DetectDiscType(Disc* disc);

// The 12 Q bytes (CRC included) a disc carries at `lba`: ADR 1 position frames, with the
// catalogue number (ADR 2) and the track's ISRC (ADR 3) once every 100 sectors where the disc
// has them, unless `positionOnly`.
void SynthesiseQ(const Disc* disc, uint32_t lba, bool positionOnly, uint8_t* q12);

// P and Q in the linear layout (channels P..W, 12 bytes each); P is set in pregaps, R-W zero.
void SynthesiseSubchannel(const Disc* disc, uint32_t lba, uint8_t* linear96);

} // namespace vostrale
