// Codec throughput: Mode 1 sector synthesis, FLAC decoding against `flac -d` (at the default
// level and at -8), and ISZ zlib chunks against plain inflate. Each line prints the throughput
// and the ratio to its reference measured in the same run; without the flac tool (scripts/setup
// installs it) the benchmark fails. Arguments: parts to run (sectors, zlib, flac; default all);
// --seconds N of audio for FLAC (default 120); --trials N alternations of ours and flac -d
// (default 5), keeping each side's best wall and best CPU time; --baseline decodes FLAC without
// the LZCNT/BMI2 Rice path (what CPUs without those instructions run); --ours-only leaves the
// reference tools out, for instruction counts under callgrind.
#include "bench/bench_clock.h"
#include "bench/codecs/bench_util.h"
#include "codecs/flac.h"
#include "codecs/isz_chunk.h"
#include "codecs/sector.h"
#include "common/wire.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

using namespace vostrale;

namespace {

void BenchSectors() {
    const uint32_t sectors = 4096;
    std::vector<uint8_t> user(size_t(sectors) * kUserDataSize);
    std::mt19937 rng(1);
    for (auto& b : user)
        b = uint8_t(rng());
    std::vector<uint8_t> raw(size_t(sectors) * kRawSectorSize);
    double synth = bench::TimePerCall([&] {
        for (uint32_t i = 0; i < sectors; ++i)
            BuildRawSector(raw.data() + size_t(i) * kRawSectorSize, int32_t(i), kSectorMode1,
                           user.data() + size_t(i) * kUserDataSize);
    });
    // Reference: zlib's CRC-32 over the same raw bytes (a table-driven pass per byte).
    volatile uLong sink = 0;
    double crc = bench::TimePerCall([&] { sink = crc32(0, raw.data(), uInt(raw.size())); });
    double mbSynth = raw.size() / synth / 1e6;
    double mbCrc = raw.size() / crc / 1e6;
    std::printf("sector synthesis (Mode 1, raw bytes): %.0f MB/s; zlib crc32 over the same bytes %.0f MB/s; "
                "ratio %.2f; goal 300 MB/s -> %.2f\n",
                mbSynth, mbCrc, mbSynth / mbCrc, mbSynth / 300.0);
}

bool g_oursOnly = false;
uint32_t g_flacSeconds = 120;
int g_trials = 5;

// False when the reference tool is missing or fails.
bool BenchFlac(const char* level) {
    test::TempFolder dir;
    std::filesystem::path path;
    std::vector<uint8_t> file = bench::EncodeTestFlac(dir, g_flacSeconds, level, &path);
    if (file.empty()) {
        std::printf("flac decoding (%s): the flac tool is missing or failed (scripts/setup installs it)\n",
                    level);
        return false;
    }
    test::StreamInfo si;
    test::ParseFlacHeader(file, &si);
    test::DecodedStream d = test::DecodeWholeStream(file);
    const uint32_t step = 44100 / si.maxBlock;
    std::vector<int32_t> left(si.maxBlock), right(si.maxBlock);
    std::vector<uint8_t> pcm(size_t(si.maxBlock) * step * 4);
    auto decodeAll = [&] {
        size_t frames = d.frameOffsets.size();
        for (size_t f = 0; f < frames; f += step) {
            size_t last = std::min(frames, f + step);
            size_t begin = d.frameOffsets[f];
            size_t end = last < frames ? d.frameOffsets[last] : file.size();
            DecodeFlacGroup(file.data() + begin, end - begin, uint32_t(last - f),
                            FlacStreamParams{si.maxBlock, 16, 2}, left.data(), right.data(), pcm.data(),
                            si.maxBlock * step);
        }
    };
    double audioSeconds = double(si.totalSamples) / 44100.0;
    if (g_oursOnly) {
        auto start = bench::Seconds();
        decodeAll();
        std::printf("flac decoding (%u s, %s): %.0fx real time\n", g_flacSeconds, level,
                    audioSeconds / (bench::Seconds() - start));
        return true;
    }
    // Alternating trials; each side's best wall and best CPU time count (the machine is
    // shared). Ours decodes the stream three times per trial, flac -d once.
    const std::string command =
        "flac -d -f -s --force-raw-format --endian=little --sign=signed -o /dev/null " + path.string();
    constexpr int kOursPerTrial = 3;
    bench::Best ours, tool;
    decodeAll(); // warm up
    for (int trial = 0; trial < g_trials; ++trial) {
        bench::Timing t = bench::TimeHere([&] {
            for (int i = 0; i < kOursPerTrial; ++i)
                decodeAll();
        });
        ours.Add({t.wall / kOursPerTrial, t.cpu / kOursPerTrial});
        if (!bench::TimeChild(command, &t)) {
            std::printf("flac decoding (%s): flac -d failed\n", level);
            return false;
        }
        tool.Add(t);
    }
    std::printf("flac decoding (%u s, %s): %.0fx real time; flac -d %.0fx real time; wall ratio %.2f; "
                "CPU ratio %.2f\n",
                g_flacSeconds, level, audioSeconds / ours.best.wall, audioSeconds / tool.best.wall,
                tool.best.wall / ours.best.wall, tool.best.cpu / ours.best.cpu);
    return true;
}

void* Allocate(void*, size_t bytes) { return std::malloc(bytes); }
void Release(void*, void* block) { std::free(block); }

void BenchZlibChunks() {
    const uint32_t chunkSize = 128 * 1024;
    const uint32_t chunks = 64;
    std::vector<std::vector<uint8_t>> stored;
    std::mt19937 rng(3);
    std::vector<uint8_t> plain(chunkSize);
    uint32_t largest = 0;
    for (uint32_t c = 0; c < chunks; ++c) {
        for (uint32_t i = 0; i < chunkSize; ++i)
            plain[i] = (rng() % 4 == 0) ? uint8_t(rng()) : uint8_t("disc image data "[(i + c) % 16]);
        uLongf size = compressBound(chunkSize);
        std::vector<uint8_t> z(size);
        compress2(z.data(), &size, plain.data(), chunkSize, 6);
        z.resize(size);
        largest = std::max(largest, uint32_t(size));
        stored.push_back(z);
    }
    std::vector<uint8_t> input(largest);
    std::vector<uint8_t> out(chunkSize);
    CodecAllocator allocator{nullptr, Allocate, Release};
    double ours = bench::TimePerCall([&] {
        for (const auto& z : stored) {
            std::memcpy(input.data(), z.data(), z.size());
            IszChunkSource source{kChunkZlib, uint32_t(z.size()), input.data(), uint32_t(input.size())};
            uint32_t produced = 0;
            DecodeIszChunk(source, out.data(), chunkSize, allocator, &produced);
        }
    });
    double plainInflate = bench::TimePerCall([&] {
        for (const auto& z : stored) {
            std::memcpy(input.data(), z.data(), z.size());
            uLongf size = chunkSize;
            uncompress(out.data(), &size, input.data(), uLong(z.size()));
        }
    });
    double total = double(chunkSize) * chunks;
    std::printf("ISZ zlib chunks: %.0f MB/s; plain zlib uncompress %.0f MB/s; ratio %.2f\n", total / ours / 1e6,
                total / plainInflate / 1e6, plainInflate / ours);
}

} // namespace

int main(int argc, char** argv) {
    bool sectors = false, zlib = false, flac = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "sectors")
            sectors = true;
        else if (arg == "zlib")
            zlib = true;
        else if (arg == "flac")
            flac = true;
        else if (arg == "--ours-only")
            g_oursOnly = true;
        else if (arg == "--baseline")
            FlacAllowBitInstructions(false);
        else if (arg == "--trials" && i + 1 < argc)
            g_trials = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--seconds" && i + 1 < argc)
            g_flacSeconds = uint32_t(std::max(1, std::atoi(argv[++i])));
        else {
            std::fprintf(stderr, "usage: bench_codecs [sectors] [zlib] [flac] [--seconds N] [--trials N] [--baseline] [--ours-only]\n");
            return 2;
        }
    }
    if (!sectors && !zlib && !flac)
        sectors = zlib = flac = true;
    if (sectors)
        BenchSectors();
    if (zlib)
        BenchZlibChunks();
    bool ok = true;
    if (flac) {
        ok = BenchFlac("-5") && ok;
        ok = BenchFlac("-8") && ok;
    }
    return ok ? 0 : 1;
}
