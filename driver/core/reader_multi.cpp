// Multi-file discs: each run of the track table names one of up to 99 files. Raw files are read
// through the common run code; FLAC and APE files keep only their seek tables and share one set
// of decoder buffers and one decoded-span cache, so a drive's memory follows the largest stream,
// not the number of files.
#include "codecs/ape/ape_decoder.h"
#include "codecs/flac.h"
#include "driver/core/drive.h"
#include "driver/core/reader_kinds.h"

namespace vostrale {

struct MultiFile {
    ps::FileRef file; // entry 0 is the disc's main file, released with the disc
    uint8_t kind;     // DiscFileKind
    DecodedSpans spans;
    uint32_t blockSize;     // FLAC
    uint32_t bitsPerSample; // FLAC
    ApeStreamInfo ape;
    uint64_t totalSamples;
};

struct MultiFileState {
    MultiFile files[kMaxDiscFiles];
    uint32_t count;
    uint32_t current; // the file the decode callbacks work on
    int32_t pcmOwner; // the file whose span the shared pcm holds, -1 for none
    int32_t apeFor;   // the file the APE decoder was prepared for, -1 for none
    // Shared by every decoded file.
    uint8_t* pcm;
    uint32_t pcmCapacity; // sample frames
    uint8_t* input;       // a FLAC group or an APE frame as stored
    uint32_t inputSize;
    int32_t* left;
    int32_t* right;
    uint32_t maxBlock;
    ApeDecoder* apeDecoder;
};

namespace {

constexpr uint32_t kBytesPerSampleFrame = 4; // 16-bit stereo
constexpr uint32_t kMaxInputBytes = 64u << 20;
constexpr uint32_t kMaxSpanSamples = 4u << 20;

bool DecodeFlacSpan(Disc* disc, uint32_t g) {
    MultiFileState* m = disc->multi;
    const MultiFile& f = m->files[m->current];
    const SeekPoint* seek = f.spans.seek;
    uint32_t size = seek[g + 1].fileOffset - seek[g].fileOffset;
    uint32_t span = seek[g + 1].sample - seek[g].sample;
    if (size > m->inputSize || ps::FileRead(f.file, seek[g].fileOffset, m->input, size) != size)
        return false;
    uint32_t frames = (span + f.blockSize - 1) / f.blockSize;
    if (uint64_t(frames) * f.blockSize > m->pcmCapacity)
        return false;
    FlacStreamParams params{f.blockSize, f.bitsPerSample, 2};
    uint32_t produced = DecodeFlacGroup(m->input, size, frames, params, m->left, m->right, m->pcm,
                                        m->pcmCapacity);
    return produced >= span;
}

bool DecodeApeSpan(Disc* disc, uint32_t index) {
    MultiFileState* m = disc->multi;
    const MultiFile& f = m->files[m->current];
    if (m->apeFor != int32_t(m->current)) {
        if (!ApeInitDecoder(m->apeDecoder, f.ape))
            return false;
        m->apeFor = int32_t(m->current);
    }
    return ReadApeFrame(f.file, f.spans.seek, f.spans.count, index, m->apeDecoder, m->input,
                        m->inputSize, m->pcm, m->pcmCapacity);
}

// Copies and checks one decoded file's seek table; reports the buffer sizes it needs.
bool PrepareDecodedFile(MultiFile* f, const DiscFileEntry& e, uint32_t* inputBytes,
                        uint32_t* spanSamples) {
    if (!e.seekTable || e.seekCount < 2 || e.seekCount > kMaxSeekPoints || e.totalSamples == 0)
        return false;
    f->spans.count = e.seekCount;
    uint64_t bytes = uint64_t(e.seekCount) * sizeof(SeekPoint);
    f->spans.seek = static_cast<SeekPoint*>(Allocate(ps::kPoolPaged, bytes));
    if (!f->spans.seek || !ps::CopyFromSender(f->spans.seek, e.seekTable, size_t(bytes)))
        return false;
    f->totalSamples = e.totalSamples;
    uint32_t longest = 0;
    if (e.kind == kDiscFileFlac) {
        f->blockSize = e.param0;
        f->bitsPerSample = e.param1;
        if (f->blockSize == 0 || f->blockSize > kFlacMaxBlockSize ||
            !CheckSeekTable(f->spans.seek, e.seekCount, true, &longest))
            return false;
        uint32_t largest = 0;
        for (uint32_t i = 0; i + 1 < e.seekCount; ++i)
            largest = Max(largest, f->spans.seek[i + 1].fileOffset - f->spans.seek[i].fileOffset);
        // Whole frames: the last frame of a group may run to a full block.
        uint64_t frames = (uint64_t(longest) + f->blockSize - 1) / f->blockSize;
        if (frames * f->blockSize > kMaxSpanSamples)
            return false;
        *inputBytes = largest;
        *spanSamples = uint32_t(frames * f->blockSize);
    } else {
        f->ape.version = uint16_t(e.param0);
        f->ape.bitsPerSample = uint16_t(e.param0 >> 16);
        f->ape.channels = uint16_t(e.param1);
        f->ape.levelIndex = uint16_t(e.param1 >> 16);
        // CD sectors are 16-bit stereo; other streams would play as noise.
        if (!ApeStreamSupported(f->ape) || f->ape.bitsPerSample != 16 || f->ape.channels != 2 ||
            !CheckSeekTable(f->spans.seek, e.seekCount, false, &longest))
            return false;
        *inputBytes = ApeMaxReadBytes(f->spans.seek, e.seekCount);
        if (*inputBytes == 0)
            return false;
        *spanSamples = longest;
    }
    return *inputBytes <= kMaxInputBytes && *spanSamples <= kMaxSpanSamples;
}

// Every run names a file of the table, and a decoded file's runs are whole CD-DA sectors of
// its stream.
bool RunsFitFiles(const Disc* disc) {
    const MultiFileState* m = disc->multi;
    for (uint32_t i = 0; i < disc->trackCount; ++i) {
        const TrackEntry& e = disc->tracks[i];
        if (e.fileIndex >= m->count)
            return false;
        const MultiFile& f = m->files[e.fileIndex];
        if (f.kind == kDiscFileRaw || e.bytesPerSector == 0)
            continue;
        if (e.sectorType != kSectorCdda || e.bytesPerSector != kCdSectorSize || e.parts != 0 ||
            e.fileOffset % kCdSectorSize != 0)
            return false;
        uint64_t streamSectors = (f.totalSamples + kSamplesPerSector - 1) / kSamplesPerSector;
        uint64_t first = e.fileOffset / kCdSectorSize;
        if (first >= streamSectors || uint64_t(e.endLba - e.firstLba) > streamSectors - first)
            return false;
    }
    return true;
}

bool PrepareFiles(Disc* disc, const DiscFileEntry* entries, uint32_t count);

} // namespace

bool PrepareMultiFile(Disc* disc, const MountRecord& r) {
    uint32_t count = r.kindCount;
    if (!r.kindPointer || count == 0 || count > kMaxDiscFiles || !disc->tracks)
        return false;
    MultiFileState* m = static_cast<MultiFileState*>(Allocate(ps::kPoolPaged, sizeof(MultiFileState)));
    if (!m)
        return false;
    ZeroBytes(m, sizeof(*m));
    disc->multi = m; // freed with the disc from here on
    m->pcmOwner = -1;
    m->apeFor = -1;
    // The table is read once into the pool (it is too large for a kernel stack).
    uint64_t tableBytes = uint64_t(count) * sizeof(DiscFileEntry);
    DiscFileEntry* entries = static_cast<DiscFileEntry*>(Allocate(ps::kPoolPaged, tableBytes));
    if (!entries)
        return false;
    bool ok = ps::CopyFromSender(entries, r.kindPointer, size_t(tableBytes)) &&
              entries[0].handle == r.imageHandle && // the first file is the record's main one
              PrepareFiles(disc, entries, count);
    Release(entries);
    return ok;
}

namespace {

bool PrepareFiles(Disc* disc, const DiscFileEntry* entries, uint32_t count) {
    MultiFileState* m = disc->multi;

    uint32_t inputSize = 0;
    uint32_t spanSamples = 0;
    uint32_t maxBlock = 0;
    uint64_t seekPoints = 0;
    bool anyApe = false;
    for (uint32_t i = 0; i < count; ++i) {
        const DiscFileEntry& e = entries[i];
        MultiFile& f = m->files[i];
        if (e.zero[0] || e.zero[1] || e.zero[2] || !e.handle)
            return false;
        if (e.kind != kDiscFileRaw && e.kind != kDiscFileFlac && e.kind != kDiscFileApe)
            return false;
        f.kind = e.kind;
        m->count = i + 1; // from here this entry is released with the state
        if (i == 0)
            f.file = disc->main;
        else if (!ps::FileReferenceFromSender(e.handle, &f.file))
            return false;
        if (e.kind == kDiscFileRaw)
            continue;
        seekPoints += e.seekCount;
        uint32_t input = 0;
        uint32_t samples = 0;
        if (seekPoints > kMaxSeekPoints || !PrepareDecodedFile(&f, e, &input, &samples))
            return false;
        inputSize = Max(inputSize, input);
        spanSamples = Max(spanSamples, samples);
        if (e.kind == kDiscFileFlac)
            maxBlock = Max(maxBlock, f.blockSize);
        anyApe = anyApe || e.kind == kDiscFileApe;
    }
    if (!RunsFitFiles(disc))
        return false;
    if (spanSamples == 0)
        return true; // nothing to decode
    for (uint32_t i = 0; i < count; ++i)
        m->files[i].spans.pcm = nullptr; // set per read from the shared buffer
    m->inputSize = inputSize;
    m->pcmCapacity = spanSamples;
    m->maxBlock = maxBlock;
    m->input = static_cast<uint8_t*>(Allocate(ps::kPoolPaged, Max<uint32_t>(inputSize, 4)));
    m->pcm = static_cast<uint8_t*>(
        Allocate(ps::kPoolPaged, uint64_t(spanSamples) * kBytesPerSampleFrame));
    if (!m->input || !m->pcm)
        return false;
    if (maxBlock) {
        m->left = static_cast<int32_t*>(Allocate(ps::kPoolPaged, uint64_t(maxBlock) * 4));
        m->right = static_cast<int32_t*>(Allocate(ps::kPoolPaged, uint64_t(maxBlock) * 4));
        if (!m->left || !m->right)
            return false;
    }
    if (anyApe) {
        m->apeDecoder = static_cast<ApeDecoder*>(Allocate(ps::kPoolPaged, sizeof(ApeDecoder)));
        if (!m->apeDecoder)
            return false;
    }
    return true;
}

} // namespace

void FreeMultiFile(MultiFileState* m) {
    if (!m)
        return;
    for (uint32_t i = 0; i < m->count; ++i) {
        if (i > 0)
            ps::FileRelease(m->files[i].file);
        Release(m->files[i].spans.seek);
    }
    Release(m->pcm);
    Release(m->input);
    Release(m->left);
    Release(m->right);
    Release(m->apeDecoder);
    Release(m);
}

ps::FileRef RunFile(const Disc* disc, const TrackEntry* e) {
    if (!disc->multi)
        return disc->main;
    return disc->multi->files[e->fileIndex].file; // checked at mount
}

bool RunIsDecoded(const Disc* disc, const TrackEntry* e) {
    return disc->multi && e->bytesPerSector != 0 &&
           disc->multi->files[e->fileIndex].kind != kDiscFileRaw;
}

uint8_t ReadDecodedRunSector(Disc* disc, const TrackEntry* e, uint32_t lba, uint8_t* sector) {
    MultiFileState* m = disc->multi;
    uint32_t index = e->fileIndex;
    MultiFile& f = m->files[index];
    // One span lives in the shared buffer; another file's cached span is gone once it is
    // overwritten.
    if (m->pcmOwner != int32_t(index)) {
        if (m->pcmOwner >= 0)
            m->files[m->pcmOwner].spans.cachedValid = false;
        f.spans.cachedValid = false;
        m->pcmOwner = int32_t(index);
    }
    f.spans.pcm = m->pcm;
    m->current = index;
    uint32_t streamSector = uint32_t(e->fileOffset / kCdSectorSize) + (lba - e->firstLba);
    DecodeSpan decode = f.kind == kDiscFileFlac ? DecodeFlacSpan : DecodeApeSpan;
    ReadResult r = ReadDecodedSectors(disc, &f.spans, decode, sector, 1, streamSector);
    return r.status;
}

} // namespace vostrale
