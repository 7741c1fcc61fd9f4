// Seams between the common image reader and the per-kind parts (runs of stored sectors, file
// lists, compressed chunks, decoded audio).
#pragma once

#include "driver/core/drive.h"

namespace vostrale {

struct ApeDecoder;

// Where a run's stored bytes sit in the raw 2352-byte sector.
struct RunLayout {
    uint16_t rawStart;    // raw-sector offset of the first stored byte
    uint16_t sectorBytes; // stored bytes of the sector itself (without sub-channel)
    bool subchannel;      // 96 interleaved P-W bytes follow each stored sector
};

// False when the entry's sector type, parts and stride do not describe one consistent layout.
bool LayoutOfRun(const TrackEntry& entry, RunLayout* layout);

// The track-table entry holding `lba`, or null.
const TrackEntry* FindRun(const Disc* disc, uint32_t lba);

// How a sector that no run maps fails: out of range between sessions (a disc has no sector
// there), else a medium error.
uint8_t MissingSectorStatus(const Disc* disc, uint32_t lba);

// Of `count` sectors from `lba` in a run that no file stores, how many lie before a gap between
// sessions (those read as zeros; a disc has nothing in the gap).
uint32_t UnstoredReadable(const Disc* disc, uint32_t lba, uint32_t count);

// The stored bytes (stride bytes) of `lba` in run `e`, reading up to `ahead` sectors of the
// run at once. Null when the file does not hold them.
const uint8_t* StoredSector(Disc* disc, const TrackEntry* e, uint32_t lba, uint32_t ahead);

// Builds the raw 2352-byte sector `lba` in `sector` from whatever the image stores; with
// `linear96` non-null also the 96 sub-channel bytes in linear channel order (synthesised from
// the TOC when the image stores none). Returns a ReadStatus.
// `ahead`: sectors the caller is going to fetch from `lba` on (read-ahead hint).
uint8_t FetchRawSector(Disc* disc, uint32_t lba, uint8_t* sector, uint8_t* linear96,
                       uint32_t ahead);

// CCD images with scrambled data tracks: unscrambles a raw sector that begins with a sync.
void UnscrambleIfNeeded(const Disc* disc, uint8_t* sector);

// ---- File lists --------------------------------------------------------------------------
ReadResult ReadFileList(Disc* disc, uint8_t* buffer, uint32_t count, uint32_t lba);

// ---- ISZ ---------------------------------------------------------------------------------
bool PrepareIszState(Disc* disc, const MountRecord& record);
void FreeIszState(IszState* state);
// Stored sectors (bytesPerSector each) into `buffer`; count * bytesPerSector must fit.
ReadResult ReadIszSectors(Disc* disc, uint8_t* buffer, uint32_t count, uint32_t lba);

// ---- Decoded audio (FLAC, APE) ------------------------------------------------------------
// The seek table's spans (FLAC groups of frames, APE frames) and the one decoded last.
struct DecodedSpans {
    SeekPoint* seek; // count entries, the last one marks the end
    uint32_t count;
    uint8_t* pcm;    // 16-bit stereo samples of the cached span; holds the longest span
    uint32_t cached; // the span in pcm, valid when cachedValid
    bool cachedValid;
    uint32_t last; // the span decoded last (sequential reads look there first)
};

// Decodes span `index` of the disc's stream into its DecodedSpans::pcm, every sample frame of
// the span; false when the file or the data fails.
typedef bool (*DecodeSpan)(Disc* disc, uint32_t index);

// Seek points rising in sample (and in file offset; strictly when `strictOffsets`); the
// longest span in sample frames.
bool CheckSeekTable(const SeekPoint* seek, uint32_t count, bool strictOffsets,
                    uint32_t* longestSpan);

// CD-DA sectors (2352 bytes each) into `buffer`, decoding the spans they need.
ReadResult ReadDecodedSectors(Disc* disc, DecodedSpans* spans, DecodeSpan decode, uint8_t* buffer,
                              uint32_t count, uint32_t lba);

bool PrepareAudioDecoder(Disc* disc, const MountRecord& record);
void FreeAudioDecoder(AudioDecoder* decoder);
// CD-DA sectors (2352 bytes each) into `buffer`.
ReadResult ReadAudioSectors(Disc* disc, uint8_t* buffer, uint32_t count, uint32_t lba);

// APE discs, the same for APE frames.
bool PrepareApeDecoder(Disc* disc, const MountRecord& record);
// Reads frame `index` of an APE file (its seek table) and decodes it into `pcm` (16-bit stereo
// sample frames); false on a short read, a bad frame or buffers too small.
bool ReadApeFrame(ps::FileRef file, const SeekPoint* seek, uint32_t seekCount, uint32_t index,
                  ApeDecoder* decoder, uint8_t* input, uint32_t inputSize, uint8_t* pcm,
                  uint32_t pcmCapacity);
void FreeApeDecoder(ApeState* state);
ReadResult ReadApeSectors(Disc* disc, uint8_t* buffer, uint32_t count, uint32_t lba);

// ---- Multi-file discs ----------------------------------------------------------------------
// In the sender context: copies and checks the file table, takes the files' references and
// checks that every run names a file it fits. Shared decoder buffers sized for the largest
// stream, so memory does not grow with the number of files.
bool PrepareMultiFile(Disc* disc, const MountRecord& record);
void FreeMultiFile(MultiFileState* state);
// The file a run's stored sectors are in (the main file on every other kind).
ps::FileRef RunFile(const Disc* disc, const TrackEntry* e);
// True when the run's sectors are decoded from a FLAC or APE file, not stored.
bool RunIsDecoded(const Disc* disc, const TrackEntry* e);
// One CD-DA sector of a decoded run into `sector` (2352 bytes). Returns a ReadStatus.
uint8_t ReadDecodedRunSector(Disc* disc, const TrackEntry* e, uint32_t lba, uint8_t* sector);

} // namespace vostrale
