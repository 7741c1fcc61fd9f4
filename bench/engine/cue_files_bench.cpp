// A CUE sheet of 99 files (one BIN per track) against its single-BIN equivalent: parsing the
// sheet, mounting it and a first READ CD in every track, as a player or Windows does after a
// disc change. Both are measured in the same run, interleaved over three rounds, best kept.
#include "common/bytes.h"
#include "common/wire.h"
#include "driver/host/host_adapter.h"
#include "driver/host/host_services.h"
#include "formats/image_parsers.h"
#include "formats/layout.h"
#include "formats/trace.h"
#include "tests/0support/image_writers.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace t = vostrale::testing;
using namespace vostrale;

namespace {

constexpr uint32_t kTracks = 99;
constexpr uint32_t kSectorsPerTrack = 30;

bool Control(HostAdapter& a, uint32_t code, uint32_t value, const MountRecord* record) {
    std::vector<uint8_t> b(sizeof(ControlHeader) + (record ? sizeof(MountRecord) : 0));
    StoreLe32(b.data(), kControlMagic);
    StoreLe32(b.data() + 4, code);
    StoreLe32(b.data() + 8, uint32_t(b.size() - sizeof(ControlHeader)));
    StoreLe32(b.data() + 12, value);
    if (record)
        std::memcpy(b.data() + sizeof(ControlHeader), record, sizeof(*record));
    return a.Control(b.data(), b.size());
}

// Parse, mount, first sector of every track, unmount. False when any step fails.
bool OpenAndTaste(HostAdapter& a, const std::filesystem::path& sheet) {
    MountRecord record;
    PresetMountRecord(&record);
    std::wstring message;
    ParserIo io;
    io.message = &message;
    if (OpenImage(&record, sheet, io) != kParseOk)
        return false;
    bool ok = Control(a, kCtlMount, 0, &record);
    ReleaseLayout(&record);
    host::AdvanceClock(4000);
    uint8_t tur[6] = {};
    a.Scsi(0, 0, 0, tur, sizeof(tur), nullptr, 0); // the unit attention of the change
    std::vector<uint8_t> sector(2352);
    for (uint32_t k = 0; ok && k < kTracks; ++k) {
        uint8_t cdb[12] = {0xBE};
        StoreBe32(cdb + 2, k * kSectorsPerTrack);
        cdb[8] = 1;
        cdb[9] = 0xF8;
        ok = a.Scsi(0, 0, 0, cdb, sizeof(cdb), sector.data(), 2352).scsiStatus == 0;
    }
    return Control(a, kCtlUnmount, 0, nullptr) && ok;
}

} // namespace

int main() {
    SetParserTraceStream(nullptr);
    host::SetStoredDriveCount(1);
    const auto dir = t::MakeTempFolder("vostrale-bench-cue");
    t::CueOptions single;
    single.disc.sessions.resize(1);
    for (uint32_t i = 0; i < kTracks; ++i)
        single.disc.sessions[0].tracks.push_back(
            t::Track(i ? t::Mode::Audio : t::Mode::Mode1, kSectorsPerTrack));
    t::CueOptions split = single;
    split.fileName = "Game.bin";
    split.filePerTrack = true;
    if (!t::WriteCueImage(dir / "single.cue", single) || !t::WriteCueImage(dir / "split.cue", split))
        return 1;
    HostAdapter adapter;
    double best[2] = {1e9, 1e9};
    const std::filesystem::path sheets[2] = {dir / "single.cue", dir / "split.cue"};
    constexpr int kRuns = 20;
    for (int round = 0; round < 3; ++round) {
        for (int which = 0; which < 2; ++which) {
            const auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < kRuns; ++i) {
                if (!OpenAndTaste(adapter, sheets[which])) {
                    std::fprintf(stderr, "%s failed\n", sheets[which].c_str());
                    return 1;
                }
            }
            double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                           .count() / kRuns;
            best[which] = std::min(best[which], s);
        }
    }
    std::printf("open + mount + first READ CD of 99 tracks\n");
    std::printf("  single BIN       %8.3f ms\n", best[0] * 1000);
    std::printf("  one BIN per track %7.3f ms   ratio %.2fx (reference: the single BIN)\n",
                best[1] * 1000, best[1] / best[0]);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
