// APE decoding throughput per compression level, and the ratio to ffmpeg decoding the same
// files in the same run. Without ffmpeg (scripts/setup installs it) the benchmark fails.
// Arguments: levels to run (1000 .. 5000, default all); --passes N decodes each file N times
// per trial (default 5); --trials N alternates ours and ffmpeg N times (default 5) and keeps
// each side's best wall and best CPU time; --sse2 keeps our filters at SSE2 width (the driver's
// form; by default a host on a CPU with AVX2 uses it); --ours-only leaves ffmpeg out, for
// instruction counts under callgrind.
#include "bench/bench_clock.h"
#include "codecs/ape/ape_decoder.h"
#include "codecs/ape/ape_nn_kernels.h"
#include "formats/audio_source.h"
#include "formats/layout.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace vostrale;

namespace {

int g_repeats = 5; // passes over each file per trial, for us and for ffmpeg alike
int g_trials = 5;
bool g_sse2 = false; // keep the filters at the driver's width

// One file's frames, read once: the timing covers decoding only.
struct LoadedFile {
    ApeStreamInfo info{};
    std::vector<std::vector<uint8_t>> inputs;
    std::vector<ApeFrameSpan> spans;
    std::vector<uint8_t> pcm;
    std::unique_ptr<ApeDecoder> decoder = std::make_unique<ApeDecoder>();
    uint64_t pcmBytesPerPass = 0;

    bool Load(const fs::path& path) {
        uint32_t error = 0;
        platform::NativeFile file = platform::OpenForRead(path, &error);
        if (!file)
            return false;
        MountRecord record{};
        std::wstring message;
        ParserIo io;
        io.message = &message;
        if (OpenApeSource(file, &record, path, io) != kParseOk) {
            platform::CloseFile(file);
            return false;
        }
        const SeekPoint* table = PointerOf<SeekPoint>(record.kindPointer);
        const uint32_t count = record.kindCount;
        info = ApeStreamInfo{uint16_t(record.param96), uint16_t(record.param96 >> 16),
                             uint16_t(record.param100), uint16_t(record.param100 >> 16)};
        bool ok = ApeInitDecoder(decoder.get(), info) && count >= 2;
        ApeAllowWideFilters(decoder.get(), !g_sse2);
        for (uint32_t i = 0; ok && i + 1 < count; ++i) {
            ApeFrameSpan span;
            ok = ApeGetFrameSpan(table, count, i, &span);
            std::vector<uint8_t> input(span.readBytes, 0);
            size_t got = 0;
            platform::ReadAt(file, span.readOffset, input.data(), span.readBytes, &got);
            spans.push_back(span);
            inputs.push_back(std::move(input));
            pcmBytesPerPass += ApePcmBytes(info, span.blocks);
        }
        pcm.resize(size_t(ApePcmBytes(info, record.param88)));
        ReleaseLayout(&record);
        platform::CloseFile(file);
        return ok;
    }

    // Decodes every frame g_repeats times; false on a frame that fails its CRC.
    bool DecodeAll() {
        bool ok = true;
        for (int r = 0; r < g_repeats; ++r) {
            for (size_t i = 0; i < spans.size(); ++i) {
                const ApeFrameSpan& s = spans[i];
                ok &= ApeDecodeFrame(decoder.get(), inputs[i].data(), s.readBytes, s.skip, s.blocks,
                                     pcm.data(), pcm.size()) == s.blocks;
            }
        }
        return ok;
    }
};

bool HaveFfmpeg() {
    return std::system("ffmpeg -version >/dev/null 2>&1") == 0;
}

// ffmpeg decodes the file g_repeats times in one process (its start-up is counted once).
std::string FfmpegCommand(const fs::path& path) {
    return "ffmpeg -v quiet -nostdin -threads 1 -stream_loop " + std::to_string(g_repeats - 1) +
           " -i '" + path.string() + "' -f s16le -y /dev/null";
}

} // namespace

int main(int argc, char** argv) {
    std::vector<int> levels;
    bool oursOnly = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--passes" && i + 1 < argc) {
            g_repeats = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--trials" && i + 1 < argc) {
            g_trials = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--sse2") {
            g_sse2 = true;
        } else if (arg == "--ours-only") {
            oursOnly = true;
        } else {
            int level = std::atoi(arg.c_str());
            if (level < 1000 || level > 5000 || level % 1000 != 0) {
                std::fprintf(stderr, "usage: bench_ape [--passes N] [--trials N] [--sse2] "
                                     "[--ours-only] [LEVEL ...]\n");
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
    const int trials = oursOnly ? 1 : g_trials;
    std::printf("filters: %s\n",
                !g_sse2 && ape::CpuHasAvx2() ? "AVX2" : "SSE2 (the driver's form)");
    std::printf("%-6s %10s %10s %12s %11s %10s\n", "level", "MB/s PCM", "x realtime", "ffmpeg MB/s",
                "wall ratio", "CPU ratio");
    for (int level : levels) {
        const fs::path path = dir / ("music10s_s16_c" + std::to_string(level) + ".ape");
        LoadedFile loaded;
        if (!loaded.Load(path)) {
            std::printf("%-6d cannot open %s\n", level, path.string().c_str());
            return 1;
        }
        const double bytes = double(loaded.pcmBytesPerPass) * g_repeats;
        bench::Best ours, theirs;
        for (int trial = 0; trial < trials; ++trial) {
            bool ok = true;
            ours.Add(bench::TimeHere([&] { ok = loaded.DecodeAll(); }));
            if (!ok) {
                std::printf("%-6d decode failed\n", level);
                return 1;
            }
            if (oursOnly)
                continue;
            bench::Timing t;
            if (!bench::TimeChild(FfmpegCommand(path), &t)) {
                std::printf("%-6d ffmpeg failed to decode the file\n", level);
                return 1;
            }
            theirs.Add(t);
        }
        const double mbps = bytes / ours.best.wall / 1e6;
        const double realtime = bytes / 176400.0 / ours.best.wall;
        if (oursOnly) {
            std::printf("%-6d %10.1f %10.1f %12s %11s %10s\n", level, mbps, realtime, "-", "-",
                        "-");
            continue;
        }
        std::printf("%-6d %10.1f %10.1f %12.1f %11.2f %10.2f\n", level, mbps, realtime,
                    bytes / theirs.best.wall / 1e6, theirs.best.wall / ours.best.wall,
                    theirs.best.cpu / ours.best.cpu);
    }
    return 0;
}
