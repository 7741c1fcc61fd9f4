// Opening time of images made by the test-side writers. The reference, measured in the same
// run, is reading the image's descriptive file (or header) whole with plain file calls: a
// parser should cost a small multiple of that.
#include "formats/image_parsers.h"
#include "formats/layout.h"
#include "formats/trace.h"
#include "platform/platform.h"
#include "tests/0support/image_writers.h"

#include <chrono>
#include <cstdio>
#include <vector>

namespace t = vostrale::testing;

namespace {

double SecondsPer(int runs, const auto& body) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; ++i)
        body();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / runs;
}

void ReadWhole(const std::filesystem::path& p, size_t limit) {
    uint32_t error = 0;
    auto f = vostrale::platform::OpenForRead(p, &error);
    uint64_t size = 0;
    vostrale::platform::FileSize(f, &size);
    std::vector<uint8_t> bytes(size_t(std::min<uint64_t>(size, limit)));
    vostrale::platform::ReadExactlyAt(f, 0, bytes.data(), bytes.size());
    vostrale::platform::CloseFile(f);
}

} // namespace

int main() {
    vostrale::SetParserTraceStream(nullptr);
    const auto dir = t::MakeTempFolder("vostrale-bench");
    t::DiscSpec disc;
    // 99 tracks over two sessions: the largest descriptions the formats allow for a CD.
    disc.sessions.resize(2);
    for (int i = 0; i < 99; ++i)
        disc.sessions[i < 60 ? 0 : 1].tracks.push_back(
            t::Track(i % 3 ? t::Mode::Audio : t::Mode::Mode1, 30, i ? 2 : 0));
    t::DiscSpec single = disc;
    single.sessions.resize(1);

    t::CueOptions cue;
    cue.disc = single;
    t::WriteCueImage(dir / "d.cue", cue);
    t::NrgOptions nrg;
    nrg.disc = disc;
    nrg.cdTextPacks = t::SampleCdTextPacks("Album", std::vector<std::string>(99, "A track title"));
    t::WriteNrgImage(dir / "d.nrg", nrg);
    t::MdsOptions mds;
    mds.disc = disc;
    t::WriteMdsImage(dir / "d.mds", mds);
    t::CcdOptions ccd;
    ccd.disc = disc;
    t::WriteCcdImage(dir / "d.ccd", ccd);
    t::IszOptions isz;
    isz.sectors = 100000;
    isz.chunkSize = 65536;
    isz.kinds = {t::IszChunk::Zero, t::IszChunk::Stored};
    t::WriteIszImage(dir / "d.isz", isz);

    struct Case {
        const char* name;
        std::filesystem::path image, description;
        size_t describedBytes;
    } cases[] = {
        {"CUE/BIN", dir / "d.cue", dir / "d.cue", SIZE_MAX},
        {"NRG", dir / "d.nrg", dir / "d.nrg", 64 * 1024},
        {"MDS/MDF", dir / "d.mds", dir / "d.mds", SIZE_MAX},
        {"CCD/IMG", dir / "d.ccd", dir / "d.ccd", SIZE_MAX},
        {"ISZ", dir / "d.isz", dir / "d.isz", 64 + 3 * 3200},
    };
    std::printf("%-8s %12s %14s %10s\n", "format", "opens/s", "reference/s", "ratio");
    for (const Case& c : cases) {
        constexpr int kRuns = 200;
        const double open = SecondsPer(kRuns, [&] {
            vostrale::MountRecord record{};
            std::wstring message;
            vostrale::ParserIo io;
            io.message = &message;
            if (vostrale::OpenImage(&record, c.image, io) == vostrale::kParseOk)
                vostrale::ReleaseLayout(&record);
        });
        const double reference =
            SecondsPer(kRuns, [&] { ReadWhole(c.description, c.describedBytes); });
        std::printf("%-8s %12.0f %14.0f %9.1fx   (%.3f ms per open)\n", c.name, 1 / open,
                    1 / reference, open / reference, open * 1000);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
