// CUE sheets: the files a disc is made of and the tracks in each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vostrale {

enum CueFileType : uint32_t {
    kCueFileNone = 0,
    kCueFileBinary = 1,
    kCueFileMotorola = 2,
    kCueFileAiff = 3,
    kCueFileWave = 4,
    kCueFileMp3 = 5,
};

enum CueTrackMode : uint32_t {
    kCueModeUnknown = 0,
    kCueModeAudio = 1,
    kCueModeCdg = 2,
    kCueModeMode1_2048 = 3,
    kCueModeMode1_2352 = 4,
    kCueModeMode2_2336 = 5,
    kCueModeMode2_2352 = 6,
    kCueModeCdi_2336 = 7,
    kCueModeCdi_2352 = 8,
};

constexpr size_t kCueMaxFileName = 259;
constexpr size_t kCueMaxText = 79;  // TITLE and PERFORMER
constexpr size_t kCueMaxLine = 510; // a longer line continues as the next one
constexpr size_t kCueMaxTracks = 99;

constexpr size_t kCueMaxFiles = 99;
constexpr uint32_t kCueMaxSessions = 99;
constexpr size_t kCueIsrcLength = 12;
constexpr size_t kCueCatalogLength = 13;
constexpr uint32_t kCueNoFile = 0xFFFFFFFFu;

// Control bits a FLAGS line sets (the low nibble of a TOC entry's ADR/control byte).
enum CueFlags : uint8_t {
    kCueFlagPreEmphasis = 0x01, // PRE
    kCueFlagCopyPermitted = 0x02, // DCP
    kCueFlagFourChannel = 0x08, // 4CH
};

struct CueFile {
    std::string name;
    uint32_t type = kCueFileNone;
};

struct CueTrack {
    uint32_t mode = kCueModeUnknown;
    uint32_t index01 = 0; // sectors from the start of the file
    bool hasIndex00 = false;
    uint32_t index00 = 0; // start of the pregap the file stores
    uint32_t pregap = 0;  // PREGAP: sectors before INDEX 01 that no file stores
    uint32_t postgap = 0; // POSTGAP: sectors after the track that no file stores
    uint8_t flags = 0;    // CueFlags
    std::string isrc;     // 12 characters, or empty
    uint32_t file = kCueNoFile; // index into CueSheet::files
    uint32_t session = 1;       // REM SESSION in effect (1 without one)
    std::string title;
    std::string performer;
};

struct CueSheet {
    uint32_t fileType = kCueFileNone; // of the last FILE line
    std::string fileName;             // of the last FILE line
    std::vector<CueFile> files;       // every FILE line, in order
    std::string catalog;              // 13 digits, or empty
    std::string title;
    std::string performer;
    std::vector<CueTrack> tracks;
    uint32_t sessions = 1; // the last REM SESSION; sessions follow one another from 1
    std::string problem; // why the reader refused the sheet, when it can say more
};

// Next token at *pos: a double-quoted run (without the quotes) or a run up to a space or tab.
// Writes a terminator after the token and advances *pos past it. Null when the text is used up
// or a quote is not closed.
char* NextCueToken(char** pos);

// Reads a whole sheet. False when a line breaks the sheet's rules. Tracks named before the
// first FILE line belong to the first file.
bool ParseCueSheet(const char* text, size_t size, CueSheet* sheet);

const char* CueModeLogName(uint32_t mode);
const char* CueFileTypeName(uint32_t type);

// An ISRC as a disc carries it: 5 characters 0-9 or A-Z, then 7 digits.
bool IsValidIsrc(const std::string& isrc);

} // namespace vostrale
