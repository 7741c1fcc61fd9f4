// Test-side writers: build small disc images of every supported format from a short
// description, for tests, fuzz seeds and benchmarks. Sector contents follow a pattern that
// depends on the LBA, so a reader can check that it finds the right bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vostrale::testing {

enum class Mode { Audio, Mode1, Mode2Form1, Mode2Form2 };

struct TrackSpec {
    Mode mode = Mode::Mode1;
    uint32_t sectors = 300;
    uint32_t pregap = 0; // sectors before INDEX 01 (not counting the 150 before LBA 0)
    std::string title;
    std::string performer;
};

inline TrackSpec Track(Mode mode, uint32_t sectors, uint32_t pregap = 0, std::string title = {},
                       std::string performer = {}) {
    TrackSpec t;
    t.mode = mode;
    t.sectors = sectors;
    t.pregap = pregap;
    t.title = std::move(title);
    t.performer = std::move(performer);
    return t;
}

struct SessionSpec {
    std::vector<TrackSpec> tracks;
};

struct DiscSpec {
    std::vector<SessionSpec> sessions;
    std::string title;
    std::string performer;
};

// Disc addresses the writers give a description: sessions after the first start 11400 sectors
// (lead-out, lead-in and pregap) after the previous session's lead-out.
struct PlacedTrack {
    TrackSpec spec;
    uint32_t session = 0; // 0-based
    uint32_t number = 0;  // 1-based over the disc
    int32_t index0 = 0;   // first pregap sector
    int32_t index1 = 0;
    int32_t end = 0; // exclusive
};
struct Placement {
    std::vector<PlacedTrack> tracks;
    std::vector<int32_t> sessionStart; // INDEX 01 of the session's first track
    std::vector<int32_t> sessionLeadOut;
};
constexpr int32_t kSessionGap = 11400;
Placement Place(const DiscSpec& disc);

// A raw 2352-byte sector: sync, BCD header and (Mode 2) subheader, user data from the pattern;
// audio sectors are pattern bytes throughout. EDC/ECC are left zero.
std::vector<uint8_t> RawSector(Mode mode, int32_t lba);
// The byte that the pattern puts at `index` of the user data of sector `lba`.
uint8_t PatternByte(int32_t lba, uint32_t index);

bool WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
bool WriteText(const std::filesystem::path& path, const std::string& text);

// CUE sheet over one BIN (raw 2352, 2048 or 2336 bytes per sector, by dataStride) or one WAV.
struct CueOptions {
    DiscSpec disc; // one session
    bool wave = false;
    std::string fileName = "image.bin"; // as written in the FILE line
    uint32_t dataStride = 2352;  // BINARY data tracks: 2352, 2048 (MODE1/2048) or 2336 (MODE2/2336)
    bool wavExtensible = false;  // 40-byte fmt chunk with the extensible tag
    bool wavExtraChunks = false; // LIST and an odd-sized JUNK chunk before the data
    uint16_t wavChannels = 2;
    uint32_t wavRate = 44100;
    uint16_t wavBits = 16;
    bool filePerTrack = false; // one FILE per track, named by TrackFileName
};
// Writes the sheet and its data file (named fileName, in the sheet's folder), or one file per
// track, each holding the track's stored pregap and its sectors.
bool WriteCueImage(const std::filesystem::path& cuePath, const CueOptions& options);
// "disc (Track 02).bin" for fileName "disc.bin" and track 2.
std::string TrackFileName(const CueOptions& options, uint32_t number);

struct NrgOptions {
    DiscSpec disc;
    bool ner5 = true;        // 64-bit footer, else "NERO"
    bool cuex = true;        // CUEX (LBA) cue points, else CUES (BCD MSF)
    bool daox = true;        // DAOX (64-bit offsets), else DAOI
    bool tao = false;        // ETN2 (ner5) or ETNF track chunks instead of cue points and DAO
    bool rawData = false;    // data tracks stored as raw 2352-byte sectors
    bool subchannel = false; // every sector followed by 96 sub-channel bytes (modes 15/16/17)
    uint32_t mediaType = 1;  // MTYP
    std::vector<uint8_t> cdTextPacks; // CDTX chunk when not empty
    std::string mcn;                  // DAO header's catalogue number (13 bytes) when set
    std::vector<std::string> isrc;    // DAO entries' ISRCs by track (12 bytes each) when set
};
bool WriteNrgImage(const std::filesystem::path& path, const NrgOptions& options);

struct MdsOptions {
    DiscSpec disc;
    uint8_t major = 1;
    uint8_t minor = 5;
    uint16_t mediumType = 0; // 0 CD; 0x10 DVD (one track of 2048-byte sectors)
    std::string dataName = "*.mdf";
    bool wideName = false;
    bool subchannel = false; // 96 sub-channel bytes after each 2352-byte sector
};
// Writes the description and the data file it names.
bool WriteMdsImage(const std::filesystem::path& mdsPath, const MdsOptions& options);

struct CcdOptions {
    DiscSpec disc;
    int version = 3;
    bool writeSub = true;
    bool writeScrambledKey = false;
    int scrambled = 0;
    std::vector<uint8_t> cdTextPacks; // multiple of 18; written as [CDText] entries
    std::string extraDiscLines;       // appended to [Disc]
    std::vector<std::string> isrc;    // ISRC= in [TRACK n] by track, when not empty
};
// Writes .ccd, .img (sessions back to back) and optionally .sub beside it.
bool WriteCcdImage(const std::filesystem::path& ccdPath, const CcdOptions& options);

enum class IszChunk { Zero, Stored, Zlib, Bzip2 };
struct IszOptions {
    uint32_t sectorSize = 2048;
    uint32_t sectors = 200;
    uint32_t chunkSize = 32768;
    std::vector<IszChunk> kinds = {IszChunk::Stored}; // cycled over the chunks
    bool noTable = false; // chunk-table offset 0: every chunk stored as is
    uint8_t encryption = 0;
    uint8_t pointerLength = 3;
    uint32_t segmentTableOffset = 0;
};
// Writes the image; *plain (optional) receives the uncompressed image bytes.
bool WriteIszImage(const std::filesystem::path& path, const IszOptions& options,
                   std::vector<uint8_t>* plain = nullptr);

// A few CD-Text packs (album title, track titles) with correct CRCs, for NRG and CCD.
std::vector<uint8_t> SampleCdTextPacks(const std::string& album,
                                       const std::vector<std::string>& titles);

// A fresh, empty folder under the system temp folder; removed by the caller.
std::filesystem::path MakeTempFolder(const std::string& prefix);

} // namespace vostrale::testing
