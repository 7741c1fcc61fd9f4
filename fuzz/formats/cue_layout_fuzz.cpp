// The CUE sheet reader and the disc layout over arbitrary text. The input's last four bytes
// seed the sizes of the files the sheet names (the rest is the sheet), so layouts of files
// shorter and longer than their tracks are both reached. Every accepted layout must map each
// sector once and stay inside its file, and leave the gaps between sessions unmapped.
#include "formats/cue.h"
#include "common/disc.h"
#include "formats/cue_layout.h"
#include "formats/layout.h"
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
    // Runs follow one another, except across the gap before a later session, which no run
    // reaches.
    uint64_t next = 0;
    uint32_t session = 1;
    for (const CueRun& r : plan.runs) {
        if (r.sectors == 0 || r.track >= plan.tracks.size() || r.firstLba < next)
            std::abort();
        const uint32_t runSession = plan.tracks[r.track].session;
        if (runSession != session) {
            if (runSession != session + 1 || runSession > plan.sessions.size())
                std::abort();
            const CueSessionPlace& before = plan.sessions[session - 1];
            const CueSessionPlace& after = plan.sessions[runSession - 1];
            if (before.leadOut != next || after.programStart <= before.leadOut ||
                r.firstLba < after.programStart)
                std::abort();
            session = runSession;
        } else if (r.firstLba != next) {
            std::abort();
        }
        next = uint64_t(r.firstLba) + r.sectors;
        if (r.file != kCueNoFile &&
            (r.file >= files.size() ||
             r.offset + uint64_t(r.sectors) * r.stride > files[r.file].streamBytes))
            std::abort();
    }
    if (next != plan.totalSectors || plan.tracks.size() != sheet.tracks.size() ||
        plan.sessions.size() != session || plan.sessions.back().leadOut != plan.totalSectors)
        std::abort();
    for (const CueTrackPlace& t : plan.tracks) {
        if (t.index01 >= plan.totalSectors)
            std::abort();
    }
    // The full TOC of a disc of several sessions holds every track, and A0-A2 per session with
    // B0 after each but the last and C0 after the first.
    if (plan.sessions.size() > 1) {
        std::vector<SessionTocTrack> tracks;
        for (const CueTrackPlace& t : plan.tracks)
            tracks.push_back({uint8_t(t.session), t.adrControl, t.index01});
        std::vector<SessionTocSession> sessions;
        for (const CueSessionPlace& s : plan.sessions)
            sessions.push_back({s.programStart, s.leadOut, 0});
        uint32_t tocSize = 0;
        uint8_t* toc = BuildSessionToc(tracks.data(), uint32_t(tracks.size()), sessions.data(),
                                       uint32_t(sessions.size()), &tocSize);
        const size_t expected = tracks.size() + 4 * sessions.size();
        if (!toc || FullTocDescriptorCount(toc, tocSize) != int32_t(expected))
            std::abort();
        FreeLayoutBlock(toc);
    }
    return 0;
}
