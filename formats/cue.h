// CUE sheets: one data or audio file and the tracks in it.
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

struct CueTrack {
    uint32_t mode = kCueModeUnknown;
    uint32_t index01 = 0; // sectors from the start of the file
    std::string title;
    std::string performer;
};

struct CueSheet {
    uint32_t fileType = kCueFileNone;
    std::string fileName;
    std::string title;
    std::string performer;
    std::vector<CueTrack> tracks;
};

// Next token at *pos: a double-quoted run (without the quotes) or a run up to a space or tab.
// Writes a terminator after the token and advances *pos past it. Null when the text is used up
// or a quote is not closed.
char* NextCueToken(char** pos);

// Reads a whole sheet. False when a line breaks the sheet's rules.
bool ParseCueSheet(const char* text, size_t size, CueSheet* sheet);

const char* CueModeLogName(uint32_t mode);
const char* CueFileTypeName(uint32_t type);

} // namespace vostrale
