// Where a CUE sheet's tracks land on the disc: every FILE with its tracks, INDEX 00 pregaps the
// files store, PREGAP and POSTGAP sectors no file stores, and each track's own sector layout.
// Pure: it works from what the opener learnt about each file, so it can be tested and fuzzed
// without files.
#pragma once

#include "formats/cue.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vostrale {

// What the opener knows of one FILE of the sheet.
struct CueFileFacts {
    bool used = false;     // the sheet gives it tracks
    bool audio = false;    // a WAVE file: 2352-byte sample sectors, whatever the TRACK says
    uint64_t streamBytes = 0; // BINARY: file size; WAVE: bytes of 16-bit stereo samples
};

// A run of disc sectors with one layout. file == kCueNoFile: sectors no file stores.
struct CueRun {
    uint32_t firstLba = 0;
    uint32_t sectors = 0;
    uint32_t file = kCueNoFile;
    uint32_t stride = 0;   // bytes per sector in the file (0 for gaps)
    uint64_t offset = 0;   // byte offset of the first sector in the file's stream
    uint32_t mode = 0;     // CueTrackMode
    uint32_t track = 0;    // 0-based track the run belongs to
    bool pregap = false;   // stored sectors before the track's INDEX 01 (its INDEX 00)
};

struct CueTrackPlace {
    uint32_t index01 = 0; // disc LBA of INDEX 01
    uint32_t mode = 0;    // CueTrackMode in effect (unknown words take the previous track's)
    uint8_t adrControl = 0;
    uint32_t session = 1;
};

// One session of the disc. Between two sessions lie the first one's lead-out, the next one's
// lead-in and the pregap of its first track: sectors no file stores and no run maps.
struct CueSessionPlace {
    uint32_t firstTrack = 0;   // 0-based
    uint32_t programStart = 0; // first LBA after the session's lead-in (0 for the first)
    uint32_t leadOut = 0;      // LBA of the session's lead-out
};

// Lengths in sectors of what a disc holds between sessions.
constexpr uint32_t kFirstSessionLeadOut = 6750; // 1:30 after the first session
constexpr uint32_t kLaterSessionLeadOut = 2250; // 0:30 after later ones
constexpr uint32_t kSessionLeadIn = 4500;       // 1:00
constexpr uint32_t kSessionPregap = 150;        // 0:02 before a session's first track

struct CuePlan {
    std::vector<CueRun> runs;
    std::vector<CueTrackPlace> tracks;
    std::vector<CueSessionPlace> sessions; // at least one
    uint32_t totalSectors = 0;
};

// Bytes per sector a track mode stores; 0 for modes that cannot be mounted.
uint32_t CueModeStride(uint32_t mode);
bool CueModeIsAudio(uint32_t mode);

// Lays the sheet out. False with *error set (empty when the sheet's rules give no message) when
// it cannot be a disc: a first track of an unknown mode, INDEX positions going backwards, a file
// shorter than its tracks, sessions that do not follow one another, a disc longer than
// `maxSectors`. Sessions after the first start after the gap a disc has there; the files' own
// positions do not count it.
bool PlanCueDisc(const CueSheet& sheet, const std::vector<CueFileFacts>& files,
                 uint64_t maxSectors, CuePlan* plan, std::string* error);

} // namespace vostrale
