// The CUE sheet reader and the disc layout over arbitrary text. The input's last four bytes
// seed the sizes of the files the sheet names (the rest is the sheet), so layouts of files
// shorter and longer than their tracks are both reached. Every accepted layout must map each
// sector once and stay inside its file.
#include "formats/cue.h"
#include "formats/cue_layout.h"
#include "formats/trace.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vostrale;
    SetParserTraceStream(nullptr);
    uint32_t seed = 0x9E3779B9u;
    if (size >= 4) {
        std::memcpy(&seed, data + size - 4, 4);
        size -= 4;
    }
    CueSheet sheet;
    if (!ParseCueSheet(reinterpret_cast<const char*>(data), size, &sheet))
        return 0;
    std::vector<CueFileFacts> files(sheet.files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        files[i].audio = sheet.files[i].type == kCueFileWave;
        files[i].streamBytes = uint64_t(seed % 4096) * ((seed >> 12) % 3 == 0 ? 2048 : 2352) +
                               (seed >> 24) % 7;
    }
    for (const CueTrack& t : sheet.tracks) {
        if (t.file < files.size())
            files[t.file].used = true;
    }
    CuePlan plan;
    std::string error;
    if (!PlanCueDisc(sheet, files, 449849, &plan, &error))
        return 0;
    uint64_t next = 0;
    for (const CueRun& r : plan.runs) {
        if (r.firstLba != next || r.sectors == 0 || r.track >= plan.tracks.size())
            std::abort();
        next += r.sectors;
        if (r.file != kCueNoFile &&
            (r.file >= files.size() ||
             r.offset + uint64_t(r.sectors) * r.stride > files[r.file].streamBytes))
            std::abort();
    }
    if (next != plan.totalSectors || plan.tracks.size() != sheet.tracks.size())
        std::abort();
    for (const CueTrackPlace& t : plan.tracks) {
        if (t.index01 >= plan.totalSectors)
            std::abort();
    }
    return 0;
}
