// Seek-table generation for a long CD-quality FLAC against `flac -t` on the same file, and a
// second (cached) mount.
#include "bench/codecs/bench_util.h"
#include "formats/audio_source.h"
#include "formats/layout.h"

#include <cstdio>
#include <cstdlib>

using namespace vostrale;

int main(int argc, char** argv) {
    uint32_t minutes = argc > 1 ? uint32_t(std::atoi(argv[1])) : 10;
    test::TempFolder dir;
    setenv("XDG_CACHE_HOME", (dir.Path() / "cache").c_str(), 1);
    std::filesystem::path path;
    std::vector<uint8_t> file = bench::EncodeTestFlac(dir, minutes * 60, "-5", &path);
    if (file.empty()) {
        std::printf("seek-table generation: the flac tool is missing or failed (scripts/setup installs it)\n");
        return 1;
    }
    file.clear();
    auto mount = [&](double* seconds) {
        uint32_t error = 0;
        platform::NativeFile f = platform::OpenForRead(path, &error);
        MountRecord record{};
        ParserIo io;
        double start = bench::Seconds();
        int result = OpenFlacSource(f, &record, path, io);
        *seconds = bench::Seconds() - start;
        platform::CloseFile(f);
        ReleaseLayout(&record);
        return result;
    };
    double generate = 0, cached = 0;
    if (mount(&generate) != kParseOk || mount(&cached) != kParseOk) {
        std::printf("seek-table generation: mount failed\n");
        return 1;
    }
    double tool = bench::TimeCommand("flac -t -s " + path.string(), 1);
    std::printf("seek-table generation (%u min, -5): %.2f s; flac -t %.2f s; ratio %.2f; cached mount %.1f ms\n",
                minutes, generate, tool, tool / generate, cached * 1000);
    return 0;
}
