// APE decoding throughput per compression level, and the ratio to ffmpeg decoding the same
// files in the same run. Without ffmpeg (scripts/setup installs it) the benchmark fails.
// Arguments: levels to run (1000 .. 5000, default all); --passes N decodes each file N times
// per trial (default 10); --ours-only leaves ffmpeg out, for instruction counts under callgrind.
#include "codecs/ape/ape_decoder.h"
#include "formats/audio_source.h"
#include "formats/layout.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace vostrale;

namespace {

int g_repeats = 10;         // passes over each file, for us and for ffmpeg alike
constexpr int kTrials = 3; // the best of these counts: the machine is shared

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Decodes every frame g_repeats times; returns seconds, or a negative value on a bad frame.
double TimeOurs(const fs::path& path, uint64_t* pcmBytes) {
    uint32_t error = 0;
    platform::NativeFile file = platform::OpenForRead(path, &error);
    if (!file)
        return -1;
    MountRecord record{};
    std::wstring message;
    ParserIo io;
    io.message = &message;
    if (OpenApeSource(file, &record, path, io) != kParseOk) {
        platform::CloseFile(file);
        return -1;
    }
    const SeekPoint* table = PointerOf<SeekPoint>(record.kindPointer);
    const uint32_t count = record.kindCount;
    ApeStreamInfo info{uint16_t(record.param96), uint16_t(record.param96 >> 16),
                       uint16_t(record.param100), uint16_t(record.param100 >> 16)};
    auto decoder = std::make_unique<ApeDecoder>();
    ApeInitDecoder(decoder.get(), info);
    // Frames are read once; the timing covers decoding only.
    std::vector<std::vector<uint8_t>> inputs(count - 1);
    std::vector<ApeFrameSpan> spans(count - 1);
    for (uint32_t i = 0; i + 1 < count; ++i) {
        ApeGetFrameSpan(table, count, i, &spans[i]);
        inputs[i].assign(spans[i].readBytes, 0);
        size_t got = 0;
        platform::ReadAt(file, spans[i].readOffset, inputs[i].data(), spans[i].readBytes, &got);
    }
    std::vector<uint8_t> pcm(size_t(ApePcmBytes(info, record.param88)));
    *pcmBytes = 0;
    bool ok = true;
    auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < g_repeats; ++r) {
        for (uint32_t i = 0; i + 1 < count; ++i) {
            const ApeFrameSpan& s = spans[i];
            ok &= ApeDecodeFrame(decoder.get(), inputs[i].data(), s.readBytes, s.skip, s.blocks,
                                 pcm.data(), pcm.size()) == s.blocks;
            *pcmBytes += ApePcmBytes(info, s.blocks);
        }
    }
    double seconds = Seconds(std::chrono::steady_clock::now() - start);
    ReleaseLayout(&record);
    platform::CloseFile(file);
    return ok ? seconds : -1;
}

bool HaveFfmpeg() {
    return std::system("ffmpeg -version >/dev/null 2>&1") == 0;
}

// ffmpeg decodes the file g_repeats times in one process (its start-up is counted once).
double TimeFfmpeg(const fs::path& path) {
    std::string command = "ffmpeg -v quiet -nostdin -stream_loop " + std::to_string(g_repeats - 1) +
                          " -i '" + path.string() + "' -f s16le -y /dev/null";
    auto start = std::chrono::steady_clock::now();
    int rc = std::system(command.c_str());
    double seconds = Seconds(std::chrono::steady_clock::now() - start);
    return rc == 0 ? seconds : -1;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<int> levels;
    bool oursOnly = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--passes" && i + 1 < argc) {
            g_repeats = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--ours-only") {
            oursOnly = true;
        } else {
            int level = std::atoi(arg.c_str());
            if (level < 1000 || level > 5000 || level % 1000 != 0) {
                std::fprintf(stderr, "usage: bench_ape [--passes N] [--ours-only] [LEVEL ...]\n");
                return 2;
            }
            levels.push_back(level);
        }
    }
    if (levels.empty())
        levels = {1000, 2000, 3000, 4000, 5000};
    const fs::path dir = fs::path(VOSTRALE_SHARED_DIR) / "testdata" / "ape" / "encoded";
    if (!oursOnly && !HaveFfmpeg()) {
        std::printf("ffmpeg not found: no reference to compare with (scripts/setup installs it)\n");
        return 1;
    }
    const int trials = oursOnly ? 1 : kTrials;
    std::printf("%-8s %12s %12s %12s %8s\n", "level", "MB/s PCM", "x realtime", "ffmpeg MB/s",
                "ratio");
    for (int level : levels) {
        const fs::path path = dir / ("music10s_s16_c" + std::to_string(level) + ".ape");
        uint64_t bytes = 0;
        double ours = -1;
        double theirs = -1;
        for (int trial = 0; trial < trials; ++trial) {
            double t = TimeOurs(path, &bytes);
            if (t <= 0) {
                std::printf("%-8d decode failed\n", level);
                return 1;
            }
            ours = ours < 0 ? t : std::min(ours, t);
            if (!oursOnly) {
                double f = TimeFfmpeg(path);
                if (f > 0)
                    theirs = theirs < 0 ? f : std::min(theirs, f);
            }
        }
        const double mbps = double(bytes) / ours / 1e6;
        const double realtime = double(bytes) / 176400.0 / ours;
        if (oursOnly) {
            std::printf("%-8d %12.1f %12.1f %12s %8s\n", level, mbps, realtime, "-", "-");
            continue;
        }
        if (theirs <= 0) {
            std::printf("%-8d %12.1f %12.1f: ffmpeg failed to decode the file\n", level, mbps,
                        realtime);
            return 1;
        }
        const double theirMbps = double(bytes) / theirs / 1e6;
        std::printf("%-8d %12.1f %12.1f %12.1f %8.2f\n", level, mbps, realtime, theirMbps,
                    mbps / theirMbps);
    }
    return 0;
}
