// Writes seed inputs for one of the format fuzzers (chosen by this program's name) into the
// folder given as the first argument, from images made by the test-side writers.
#include "common/bytes.h"
#include "tests/0support/image_writers.h"

#include <cstring>
#include <fstream>
#include <string>

namespace t = vostrale::testing;

namespace {

std::vector<uint8_t> ReadAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

std::vector<t::DiscSpec> Discs() {
    std::vector<t::DiscSpec> discs(4);
    discs[0].sessions.push_back({{t::Track(t::Mode::Mode1, 20), t::Track(t::Mode::Audio, 10, 5)}});
    discs[1].sessions.push_back(
        {{t::Track(t::Mode::Audio, 8, 0, "One", "A"), t::Track(t::Mode::Audio, 8, 2, "Two", "B")}});
    discs[1].title = "Album";
    discs[1].performer = "Band";
    discs[2].sessions.push_back({{t::Track(t::Mode::Audio, 6)}});
    discs[2].sessions.push_back({{t::Track(t::Mode::Mode2Form1, 6)}});
    discs[3].sessions.push_back({{t::Track(t::Mode::Mode2Form2, 12)}});
    return discs;
}

// A CD-Extra dumped one BIN per track: audio in session 1, data in session 2, and a third
// session over the same file.
std::string CdExtraSheet() {
    return "REM SESSION 01\nFILE \"t1.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
           "FILE \"t2.bin\" BINARY\n  TRACK 02 AUDIO\n    INDEX 00 00:00:00\n"
           "    INDEX 01 00:00:10\nREM SESSION 02\nFILE \"t3.bin\" BINARY\n"
           "  TRACK 03 MODE2/2352\n    INDEX 01 00:00:00\nREM SESSION 03\n"
           "  TRACK 04 MODE1/2352\n    INDEX 00 00:00:20\n    INDEX 01 00:00:30\n";
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    const std::string self = argv[0];
    const std::filesystem::path out = argv[1];
    const std::filesystem::path work = t::MakeTempFolder("vostrale-seeds");
    int n = 0;
    auto emit = [&](const std::vector<uint8_t>& bytes) {
        t::WriteFile(out / ("seed-" + std::to_string(n++)), bytes);
    };
    const auto discs = Discs();
    if (self.find("_cue_") != std::string::npos) {
        for (const auto& d : discs) {
            t::CueOptions c;
            c.disc = d;
            c.disc.sessions.resize(1);
            c.wave = d.sessions[0].tracks[0].mode == t::Mode::Audio;
            t::WriteCueImage(work / "s.cue", c);
            emit(ReadAll(work / "s.cue"));
        }
        const std::string extra = CdExtraSheet();
        emit(std::vector<uint8_t>(extra.begin(), extra.end()));
    } else if (self.find("_cuelayout_") != std::string::npos) {
        // Sheets of one file per track, then hand-made ones with gaps, flags and identity;
        // each followed by the four bytes that seed the files' sizes.
        std::vector<std::vector<uint8_t>> sheets;
        for (const auto& d : discs) {
            t::CueOptions c;
            c.disc = d;
            c.disc.sessions.resize(1);
            c.filePerTrack = true;
            c.wave = d.sessions[0].tracks[0].mode == t::Mode::Audio;
            t::WriteCueImage(work / "s.cue", c);
            sheets.push_back(ReadAll(work / "s.cue"));
        }
        const std::string text =
            "CATALOG 0000010271955\nFILE \"a.bin\" BINARY\n TRACK 01 MODE1/2048\n"
            "  INDEX 01 00:00:00\n  POSTGAP 00:02:00\n TRACK 02 AUDIO\n  FLAGS DCP PRE\n"
            "  ISRC USABC1234567\n  PREGAP 00:01:00\n  INDEX 00 00:10:00\n  INDEX 01 00:12:00\n"
            "FILE \"b.wav\" WAVE\n TRACK 03 AUDIO\n  INDEX 01 00:00:00\n";
        sheets.emplace_back(text.begin(), text.end());
        const std::string extra = CdExtraSheet();
        sheets.emplace_back(extra.begin(), extra.end());
        for (auto& s : sheets) {
            for (uint8_t b : {0x10, 0x27, 0x00, 0x01})
                s.push_back(b);
            emit(s);
        }
    } else if (self.find("_nrg_") != std::string::npos) {
        for (const auto& d : discs) {
            for (int form = 0; form < 4; ++form) {
                t::NrgOptions o;
                o.disc = d;
                o.ner5 = form & 1;
                o.cuex = form & 2;
                o.tao = form == 3;
                if (form == 1)
                    o.cdTextPacks = t::SampleCdTextPacks("Album", {"One"});
                t::WriteNrgImage(work / "s.nrg", o);
                const auto image = ReadAll(work / "s.nrg");
                const uint64_t list = o.ner5 ? vostrale::LoadBe64(&image[image.size() - 8])
                                             : vostrale::LoadBe32(&image[image.size() - 4]);
                emit(std::vector<uint8_t>(image.begin() + std::ptrdiff_t(list),
                                          image.end() - (o.ner5 ? 12 : 8)));
            }
        }
    } else if (self.find("_mds_") != std::string::npos) {
        for (const auto& d : discs) {
            t::MdsOptions o;
            o.disc = d;
            o.subchannel = d.sessions.size() > 1;
            t::WriteMdsImage(work / "s.mds", o);
            emit(ReadAll(work / "s.mds"));
        }
    } else if (self.find("_ccd_") != std::string::npos) {
        for (const auto& d : discs) {
            t::CcdOptions o;
            o.disc = d;
            o.version = d.sessions.size() > 1 ? 3 : 1;
            o.cdTextPacks = t::SampleCdTextPacks("Album", {"One"});
            t::WriteCcdImage(work / "s.ccd", o);
            emit(ReadAll(work / "s.ccd"));
        }
    } else if (self.find("_isz_") != std::string::npos) {
        const t::IszChunk kinds[] = {t::IszChunk::Stored, t::IszChunk::Zlib, t::IszChunk::Zero,
                                     t::IszChunk::Bzip2};
        for (int i = 0; i < 5; ++i) {
            t::IszOptions o;
            o.sectors = 24;
            o.chunkSize = 8192;
            o.kinds.assign(kinds, kinds + 4);
            o.noTable = i == 4;
            o.sectorSize = i % 2 ? 2352 : 2048;
            t::WriteIszImage(work / "s.isz", o);
            emit(ReadAll(work / "s.isz"));
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(work, ec);
    return n > 0 ? 0 : 1;
}
