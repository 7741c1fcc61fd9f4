#include "formats/cue_layout.h"

#include "common/disc.h"

#include <algorithm>
#include <cstdio>

namespace vostrale {

namespace {

constexpr uint8_t kControlData = 0x04;
constexpr uint8_t kAdrPosition = 0x10;

std::string Format(const char* format, uint32_t number, const std::string& name) {
    char text[512];
    std::snprintf(text, sizeof(text), format, int(number), name.c_str());
    return text;
}

} // namespace

uint32_t CueModeStride(uint32_t mode) {
    switch (mode) {
    case kCueModeAudio:
    case kCueModeMode1_2352:
    case kCueModeMode2_2352:
    case kCueModeCdi_2352:
        return 2352;
    case kCueModeMode1_2048:
        return 2048;
    case kCueModeMode2_2336:
    case kCueModeCdi_2336:
        return 2336;
    default:
        return 0;
    }
}

bool CueModeIsAudio(uint32_t mode) {
    return mode == kCueModeAudio;
}

bool PlanCueDisc(const CueSheet& sheet, const std::vector<CueFileFacts>& files,
                 uint64_t maxSectors, CuePlan* plan, std::string* error) {
    *plan = CuePlan{};
    error->clear();
    const size_t count = sheet.tracks.size();
    if (count == 0)
        return false;
    plan->tracks.resize(count);

    // Modes in effect: a word the sheet does not know takes the previous track's layout, as a
    // sheet whose later tracks were all laid out like the first has always mounted.
    uint32_t previous = kCueModeUnknown;
    for (size_t k = 0; k < count; ++k) {
        const CueTrack& t = sheet.tracks[k];
        if (t.file >= files.size() || !files[t.file].used)
            return false;
        const uint32_t previousSession = k == 0 ? 1 : sheet.tracks[k - 1].session;
        if (t.session != previousSession && (k == 0 || t.session != previousSession + 1)) {
            *error = "The sessions of the sheet do not follow one another from 1";
            return false;
        }
        plan->tracks[k].session = t.session;
        uint32_t mode = files[t.file].audio ? uint32_t(kCueModeAudio) : t.mode;
        if (CueModeStride(mode) == 0)
            mode = previous;
        if (CueModeStride(mode) == 0)
            return false; // first track CDG or unknown: no message
        previous = mode;
        plan->tracks[k].mode = mode;
        uint8_t control = CueModeIsAudio(mode)
                              ? uint8_t(t.flags & (kCueFlagPreEmphasis | kCueFlagCopyPermitted |
                                                   kCueFlagFourChannel))
                              : uint8_t(kControlData | (t.flags & kCueFlagCopyPermitted));
        plan->tracks[k].adrControl = uint8_t(kAdrPosition | control);
    }

    uint64_t lba = 0;
    plan->sessions.push_back(CueSessionPlace{});
    size_t first = 0;
    while (first < count) {
        // The tracks of one FILE line stand together in the sheet.
        const uint32_t fileIndex = sheet.tracks[first].file;
        size_t last = first;
        while (last + 1 < count && sheet.tracks[last + 1].file == fileIndex)
            ++last;
        const CueFileFacts& facts = files[fileIndex];
        const std::string& name = sheet.files[fileIndex].name;

        // Where each track's stored sectors begin, as sector positions and stream bytes. The
        // first track of a file owns everything before its INDEX 01.
        std::vector<uint64_t> start(last - first + 1), bytes(last - first + 1);
        for (size_t k = first; k <= last; ++k) {
            const CueTrack& t = sheet.tracks[k];
            const size_t j = k - first;
            if (t.hasIndex00 && t.index00 > t.index01) {
                *error = Format("INDEX 00 of track %d lies after its INDEX 01 in %s",
                                uint32_t(k + 1), name);
                return false;
            }
            start[j] = k == first ? 0 : (t.hasIndex00 ? t.index00 : t.index01);
            if (j > 0) {
                if (start[j] < start[j - 1] || t.index01 <= sheet.tracks[k - 1].index01) {
                    *error = Format("INDEX positions of track %d go backwards in %s",
                                    uint32_t(k + 1), name);
                    return false;
                }
                bytes[j] = bytes[j - 1] +
                           (start[j] - start[j - 1]) * CueModeStride(plan->tracks[k - 1].mode);
            }
        }
        const uint32_t lastStride = CueModeStride(plan->tracks[last].mode);
        const size_t n = last - first;
        if (bytes[n] > facts.streamBytes) {
            *error = Format("Track %d lies beyond the end of %s", uint32_t(last + 1), name);
            return false;
        }
        const uint64_t fileEnd = start[n] + (facts.streamBytes - bytes[n]) / lastStride;

        for (size_t k = first; k <= last; ++k) {
            const CueTrack& t = sheet.tracks[k];
            const size_t j = k - first;
            const uint64_t end = k < last ? start[j + 1] : fileEnd;
            // Every track needs at least its INDEX 01 sector in the file.
            if (t.index01 >= end) {
                *error = Format("Track %d lies beyond the end of %s", uint32_t(k + 1), name);
                return false;
            }
            const uint32_t mode = plan->tracks[k].mode;
            // Sums stay far below 2^64 (99 tracks of 32-bit sizes); the total is checked last.
            auto addRun = [&](uint64_t sectors, uint32_t file, uint32_t stride, uint64_t offset,
                              bool pregap) {
                if (sectors == 0)
                    return;
                CueRun r;
                r.firstLba = uint32_t(lba);
                r.sectors = uint32_t(sectors);
                r.file = file;
                r.stride = stride;
                r.offset = offset;
                r.mode = mode;
                r.track = uint32_t(k);
                r.pregap = pregap;
                plan->runs.push_back(r);
                lba += sectors;
            };
            // Sectors of the file before INDEX 01: the track's stored pregap.
            const uint64_t storedPregap = t.index01 - start[j];
            if (k > 0 && t.session != sheet.tracks[k - 1].session) {
                // The gap before a later session: the lead-out of the one before, the lead-in,
                // and as much of the first track's 2-second pregap as the sheet does not give.
                plan->sessions.back().leadOut = uint32_t(lba);
                const uint32_t leadOut =
                    plan->sessions.size() == 1 ? kFirstSessionLeadOut : kLaterSessionLeadOut;
                lba += leadOut + kSessionLeadIn;
                CueSessionPlace next;
                next.firstTrack = uint32_t(k);
                next.programStart = uint32_t(std::min<uint64_t>(lba, UINT32_MAX));
                plan->sessions.push_back(next);
                const uint64_t given = storedPregap + t.pregap;
                lba += given < kSessionPregap ? kSessionPregap - given : 0;
            }
            addRun(t.pregap, kCueNoFile, 0, 0, false);
            plan->tracks[k].index01 = uint32_t(lba + storedPregap);
            if (end - start[j] > UINT32_MAX || lba > maxSectors) {
                *error = "The disc the sheet describes is longer than a disc can be";
                return false;
            }
            addRun(storedPregap, fileIndex, CueModeStride(mode), bytes[j], true);
            addRun(end - t.index01, fileIndex, CueModeStride(mode),
                   bytes[j] + storedPregap * CueModeStride(mode), false);
            addRun(t.postgap, kCueNoFile, 0, 0, false);
        }
        first = last + 1;
    }
    if (lba > maxSectors) {
        *error = "The disc the sheet describes is longer than a disc can be";
        return false;
    }
    plan->totalSectors = uint32_t(lba);
    plan->sessions.back().leadOut = plan->totalSectors;
    return true;
}

} // namespace vostrale
