// Timing and fixture helpers shared by the codec benchmarks.
#pragma once

#include "tests/codecs/flac_test_util.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vostrale::bench {

inline double Seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Runs `fn` repeatedly for at least `minSeconds`; returns seconds per call.
template <typename Fn> double TimePerCall(Fn fn, double minSeconds = 1.0) {
    fn();  // warm up
    int calls = 0;
    double start = Seconds();
    double now = start;
    do {
        fn();
        ++calls;
        now = Seconds();
    } while (now - start < minSeconds);
    return (now - start) / calls;
}

// Encodes `seconds` of the test audio with the flac tool; empty when the tool is missing.
inline std::vector<uint8_t> EncodeTestFlac(const test::TempFolder& dir, uint32_t seconds, const std::string& options,
                                           std::filesystem::path* flacPath) {
    if (!test::HaveTool("flac"))
        return {};
    std::vector<int16_t> audio = test::MakeTestAudio(44100 * seconds, 11);
    std::vector<uint8_t> raw(audio.size() * 2);
    std::memcpy(raw.data(), audio.data(), raw.size());
    auto in = dir.Path() / "bench.raw";
    *flacPath = dir.Path() / "bench.flac";
    test::WriteWholeFile(in, raw);
    std::string cmd = "flac -f -s --force-raw-format --endian=little --sign=signed --channels=2 --bps=16 "
                      "--sample-rate=44100 " +
                      options + " -o " + flacPath->string() + " " + in.string() + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0)
        return {};
    std::filesystem::remove(in);
    return test::ReadWholeFile(*flacPath);
}

// Wall time of a shell command (best of `runs`).
inline double TimeCommand(const std::string& cmd, int runs = 3) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        double start = Seconds();
        if (std::system(cmd.c_str()) != 0)
            return -1;
        best = std::min(best, Seconds() - start);
    }
    return best;
}

} // namespace vostrale::bench
