#include "codecs/flac.h"
#include "tests/codecs/flac_test_util.h"
#include "tests/codecs/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>

namespace vostrale {
namespace {

using test::DecodedStream;
using test::DecodeWholeStream;
using test::ReadWholeFile;
using test::StreamInfo;

const std::filesystem::path kFlacSamples =
    std::filesystem::path(VOSTRALE_SHARED_DIR) / "testdata" / "flac";

// file name -> SHA-256 of the reference decoder's PCM, from the samples' SOURCES.md table.
std::map<std::string, std::string> ReferencePcmHashes() {
    std::map<std::string, std::string> hashes;
    std::ifstream in(std::filesystem::path(VOSTRALE_SHARED_DIR) / "testdata" / "SOURCES.md");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("| ", 0) != 0 || line.find(".flac |") == std::string::npos)
            continue;
        std::vector<std::string> cells;
        std::stringstream ss(line);
        std::string cell;
        while (std::getline(ss, cell, '|'))
            cells.push_back(cell);
        if (cells.size() < 9)
            continue;
        auto trim = [](std::string s) {
            s.erase(std::remove_if(s.begin(), s.end(), [](char c) { return c == ' ' || c == '`'; }),
                    s.end());
            return s;
        };
        hashes[trim(cells[1])] = trim(cells[8]);
    }
    return hashes;
}

TEST(FlacRealSamples, DecodeBitExactToReference) {
    std::map<std::string, std::string> hashes = ReferencePcmHashes();
    ASSERT_GE(hashes.size(), 20u);
    int checked = 0;
    // Rice codes decoded with LZCNT/BMI2 and with the baseline instructions must agree.
    for (bool bitInstructions : {true, false}) {
        SCOPED_TRACE(bitInstructions ? "LZCNT/BMI2" : "baseline instructions");
        FlacAllowBitInstructions(bitInstructions);
        for (const auto& [name, hash] : hashes) {
            std::vector<uint8_t> file = ReadWholeFile(kFlacSamples / name);
            ASSERT_FALSE(file.empty()) << name;
            DecodedStream d = DecodeWholeStream(file);
            ASSERT_TRUE(d.ok) << name << " stopped after " << d.frameOffsets.size() << " frames";
            EXPECT_EQ(test::Sha256Hex(d.pcm.data(), d.pcm.size()), hash) << name;
            ++checked;
        }
    }
    FlacAllowBitInstructions(true);
    EXPECT_EQ(checked, 2 * int(hashes.size()));
}

// ---- Streams encoded now by the reference encoder -------------------------------------------

struct Encoded {
    std::vector<uint8_t> flac;
    std::vector<uint8_t> reference; // `flac -d` output, raw s16le
};

bool RunFlac(const std::string& args) {
    std::string cmd = "flac " + args + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

Encoded EncodeWithTool(const test::TempFolder& dir, const std::vector<int16_t>& pcm,
                       const std::string& options, int index) {
    auto raw = dir.Path() / ("in" + std::to_string(index) + ".raw");
    auto flac = dir.Path() / ("out" + std::to_string(index) + ".flac");
    auto back = dir.Path() / ("back" + std::to_string(index) + ".raw");
    std::vector<uint8_t> bytes(pcm.size() * 2);
    std::memcpy(bytes.data(), pcm.data(), bytes.size());
    test::WriteWholeFile(raw, bytes);
    const std::string rawFormat = "--force-raw-format --endian=little --sign=signed ";
    Encoded e;
    if (!RunFlac("-f -s " + rawFormat + "--channels=2 --bps=16 --sample-rate=44100 " + options +
                 " -o " + flac.string() + " " + raw.string()))
        return e;
    if (!RunFlac("-d -f -s " + rawFormat + "-o " + back.string() + " " + flac.string()))
        return e;
    e.flac = test::ReadWholeFile(flac);
    e.reference = test::ReadWholeFile(back);
    return e;
}

TEST(FlacEncoderMatrix, BitExactAgainstReferenceDecoder) {
#ifdef _WIN32
    GTEST_SKIP() << "needs the flac tool";
#endif
    if (!test::HaveTool("flac"))
        GTEST_SKIP() << "flac tool not installed";
    test::TempFolder dir;
    const std::vector<int16_t> audio = test::MakeTestAudio(44100 * 2, 17);
    const char* configs[] = {
        "-0",
        "-1",
        "-2",
        "-3",
        "-4",
        "-5",
        "-6",
        "-7",
        "-8",
        "-5 -b 192",
        "-5 -b 576",
        "-5 -b 1152",
        "-5 -b 2304",
        "-8 -b 4608",
        "--lax -8 -b 16384",
        "--lax -l 32 -q 15 -b 4096",
        "--lax -l 32 -b 8192 -r 15",
        "-8 -p -e",
        "--no-mid-side -5",
        "-m -5",
        "-M -5",
        "-8 -r 8 -b 4096",
        "--lax -l 12 -q 15 -b 65535",
    };
    uint32_t assignments = 0;
    int index = 0;
    for (const char* config : configs) {
        Encoded e = EncodeWithTool(dir, audio, config, index++);
        ASSERT_FALSE(e.flac.empty()) << config;
        ASSERT_EQ(e.reference.size(), audio.size() * 2) << config;
        ASSERT_EQ(std::memcmp(e.reference.data(), audio.data(), e.reference.size()), 0) << config;
        DecodedStream d = DecodeWholeStream(e.flac);
        ASSERT_TRUE(d.ok) << config;
        EXPECT_TRUE(d.pcm == e.reference) << config;
        assignments |= d.assignmentsSeen;
    }
    // The matrix reached every stereo coding.
    EXPECT_TRUE(assignments & (1u << 1)) << "independent";
    EXPECT_TRUE(assignments & (1u << kFlacLeftSide)) << "left/side";
    EXPECT_TRUE(assignments & (1u << kFlacRightSide)) << "right/side";
    EXPECT_TRUE(assignments & (1u << kFlacMidSide)) << "mid/side";
}

// ---- Group decoding into 16-bit stereo PCM --------------------------------------------------

class FlacGroupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_file = ReadWholeFile(kFlacSamples / "subset-10-blocksize-2304.flac");
        ASSERT_TRUE(test::ParseFlacHeader(m_file, &m_info));
        m_stream = DecodeWholeStream(m_file);
        ASSERT_TRUE(m_stream.ok);
        m_params = FlacStreamParams{m_info.maxBlock, 16, 2};
        m_left.assign(m_info.maxBlock, 0);
        m_right.assign(m_info.maxBlock, 0);
    }

    size_t FrameEnd(size_t frame) const {
        return frame + 1 < m_stream.frameOffsets.size() ? m_stream.frameOffsets[frame + 1]
                                                        : m_file.size();
    }

    // Decodes frames [first, first + count) through a group buffer holding exactly their bytes.
    uint32_t DecodeGroup(size_t first, uint32_t count, std::vector<uint8_t>* pcm,
                         size_t trimBytes = 0, uint32_t capacity = 0xFFFFFFFF) {
        size_t begin = m_stream.frameOffsets[first];
        size_t end = FrameEnd(first + count - 1) - trimBytes;
        std::vector<uint8_t> group(m_file.begin() + begin, m_file.begin() + end);
        if (capacity == 0xFFFFFFFF)
            capacity = count * m_params.blockSize;
        pcm->assign(size_t(capacity) * 4 + 64, 0xCD);
        uint32_t got = DecodeFlacGroup(group.data(), group.size(), count, m_params, m_left.data(),
                                       m_right.data(), pcm->data(), capacity);
        for (size_t i = size_t(capacity) * 4; i < pcm->size(); ++i)
            EXPECT_EQ((*pcm)[i], 0xCD) << "write past the PCM buffer";
        pcm->resize(size_t(got) * 4);
        return got;
    }

    std::vector<uint8_t> m_file;
    StreamInfo m_info;
    DecodedStream m_stream;
    FlacStreamParams m_params{};
    std::vector<int32_t> m_left, m_right;
};

TEST_F(FlacGroupTest, GroupsConcatenateToTheWholeStream) {
    const uint32_t perGroup = 10;
    std::vector<uint8_t> all;
    size_t frames = m_stream.frameOffsets.size();
    for (size_t first = 0; first < frames; first += perGroup) {
        uint32_t count = uint32_t(std::min<size_t>(perGroup, frames - first));
        std::vector<uint8_t> pcm;
        uint32_t got = DecodeGroup(first, count, &pcm);
        ASSERT_GT(got, 0u) << first;
        all.insert(all.end(), pcm.begin(), pcm.end());
    }
    // The last frame is short (309133 is not a multiple of 2304).
    EXPECT_EQ(all.size(), size_t(m_info.totalSamples) * 4);
    EXPECT_TRUE(all == m_stream.pcm);
}

TEST_F(FlacGroupTest, BadGroupsFailWithoutOverrun) {
    std::vector<uint8_t> pcm;
    EXPECT_EQ(DecodeGroup(0, 5, &pcm, 1), 0u) << "group bytes end inside the last frame";
    EXPECT_EQ(DecodeGroup(0, 5, &pcm, 0, 5 * m_params.blockSize - 1), 0u)
        << "output buffer too small";

    // More frames asked for than the bytes hold.
    std::vector<uint8_t> group(m_file.begin() + m_stream.frameOffsets[0],
                               m_file.begin() + FrameEnd(2));
    std::vector<uint8_t> out(10 * m_params.blockSize * 4);
    EXPECT_EQ(DecodeFlacGroup(group.data(), group.size(), 4, m_params, m_left.data(),
                              m_right.data(), out.data(), 10 * m_params.blockSize),
              0u);

    // A stream whose block size disagrees with the frames (the frames are larger).
    FlacStreamParams smaller = m_params;
    smaller.blockSize = 1152;
    EXPECT_EQ(DecodeFlacGroup(group.data(), group.size(), 3, smaller, m_left.data(), m_right.data(),
                              out.data(), 10 * m_params.blockSize),
              0u);

    // A short frame that is not the last of the group.
    size_t lastFrame = m_stream.frameOffsets.size() - 1;
    std::vector<uint8_t> tailThenAgain(m_file.begin() + m_stream.frameOffsets[lastFrame],
                                       m_file.end());
    tailThenAgain.insert(tailThenAgain.end(), m_file.begin() + m_stream.frameOffsets[0],
                         m_file.begin() + FrameEnd(0));
    EXPECT_EQ(DecodeFlacGroup(tailThenAgain.data(), tailThenAgain.size(), 2, m_params,
                              m_left.data(), m_right.data(), out.data(), 10 * m_params.blockSize),
              0u);

    // Corrupted sync code.
    std::vector<uint8_t> badSync = group;
    badSync[1] ^= 0x04;
    EXPECT_EQ(DecodeFlacGroup(badSync.data(), badSync.size(), 1, m_params, m_left.data(),
                              m_right.data(), out.data(), 10 * m_params.blockSize),
              0u);

    // Only 16-bit stereo groups are decoded.
    FlacStreamParams mono = m_params;
    mono.channels = 1;
    EXPECT_EQ(DecodeFlacGroup(group.data(), group.size(), 1, mono, m_left.data(), m_right.data(),
                              out.data(), 10 * m_params.blockSize),
              0u);
}

// A mono file's frames are refused by a stereo group decode.
TEST(FlacGroup, ChannelCountMustMatch) {
    std::vector<uint8_t> file = ReadWholeFile(kFlacSamples / "subset-60-mono-audio.flac");
    StreamInfo si;
    ASSERT_TRUE(test::ParseFlacHeader(file, &si));
    std::vector<int32_t> l(si.maxBlock), r(si.maxBlock);
    std::vector<uint8_t> out(size_t(si.maxBlock) * 4);
    FlacStreamParams params{si.maxBlock, 16, 2};
    EXPECT_EQ(DecodeFlacGroup(file.data() + si.firstFrame, file.size() - si.firstFrame, 1, params,
                              l.data(), r.data(), out.data(), si.maxBlock),
              0u);
}

// ---- Hand-made frames for the details encoders rarely produce --------------------------------

// Writes bits most-significant first.
class BitWriter {
  public:
    void Put(uint64_t value, uint32_t bits) {
        for (uint32_t i = bits; i-- > 0;) {
            m_acc = uint8_t(m_acc << 1 | ((value >> i) & 1));
            if (++m_used == 8) {
                m_bytes.push_back(m_acc);
                m_used = 0;
                m_acc = 0;
            }
        }
    }
    void PutSigned(int64_t value, uint32_t bits) {
        Put(uint64_t(value) & ((uint64_t(1) << bits) - 1), bits);
    }
    std::vector<uint8_t> Finish() {
        while (m_used != 0)
            Put(0, 1);
        return m_bytes;
    }

  private:
    std::vector<uint8_t> m_bytes;
    uint8_t m_acc = 0;
    uint32_t m_used = 0;
};

// Frame header for a 16-sample (code 6: 8-bit value + 1) frame, 44.1 kHz, given assignment and
// sample size code; CRC-8 written as zero (not checked).
void PutHeader(BitWriter* w, uint32_t assignment, uint32_t sizeCode, uint32_t blockSize) {
    w->Put(0x7FFC, 15);
    w->Put(0, 1);
    w->Put(6, 4);
    w->Put(9, 4);
    w->Put(assignment, 4);
    w->Put(sizeCode, 3);
    w->Put(0, 1);
    w->Put(0, 8); // frame number 0
    w->Put(blockSize - 1, 8);
    w->Put(0, 8); // CRC-8
}

std::vector<uint8_t> EndFrame(BitWriter* w) {
    std::vector<uint8_t> bytes = w->Finish();
    bytes.push_back(0); // CRC-16
    bytes.push_back(0);
    return bytes;
}

size_t DecodeMono(const std::vector<uint8_t>& frame, std::vector<int32_t>* out, FlacFrameInfo* info,
                  uint32_t streamBits = 16) {
    out->assign(64, 0x55555555);
    int32_t* buffers[1] = {out->data()};
    return DecodeFlacFrame(frame.data(), frame.size(), streamBits, buffers, 1, 64, info);
}

TEST(FlacFrames, EscapeWidthZeroMeansZeroResiduals) {
    BitWriter w;
    PutHeader(&w, 0, 4, 16);
    w.Put(0, 1);
    w.Put(8 + 1, 6); // FIXED order 1
    w.Put(0, 1);
    w.PutSigned(-300, 16); // warm-up
    w.Put(0, 2);           // Rice, 4-bit parameters
    w.Put(1, 4);           // partition order 1: 8 samples each
    w.Put(15, 4);          // escape
    w.Put(0, 5);           // width 0: 7 zero residuals, no bits
    w.Put(15, 4);
    w.Put(3, 5); // width 3: 8 raw residuals
    for (int i = 0; i < 8; ++i)
        w.PutSigned(i - 4, 3);
    std::vector<int32_t> out;
    FlacFrameInfo info;
    ASSERT_GT(DecodeMono(EndFrame(&w), &out, &info), 0u);
    int32_t expect = -300;
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(out[i], -300) << i;
    for (int i = 0; i < 8; ++i) {
        expect += i - 4;
        EXPECT_EQ(out[8 + i], expect) << i;
    }
    EXPECT_EQ(out[16], 0x55555555) << "wrote past the block";
}

TEST(FlacFrames, SampleSizeCode7Is32Bits) {
    BitWriter w;
    PutHeader(&w, 0, 7, 16);
    w.Put(0, 1);
    w.Put(0, 6); // CONSTANT
    w.Put(0, 1);
    w.PutSigned(-2000000000, 32);
    std::vector<int32_t> out;
    FlacFrameInfo info;
    ASSERT_GT(DecodeMono(EndFrame(&w), &out, &info), 0u);
    EXPECT_EQ(info.bitsPerSample, 32u);
    EXPECT_EQ(out[15], -2000000000);
}

// An order-32, precision-15 predictor over 16-bit samples: the sum needs 35 bits, so a 32-bit
// accumulator would wrap.
TEST(FlacFrames, LpcWideSumMatchesReference) {
    const uint32_t order = 32;
    const uint32_t n = 33;
    BitWriter w;
    PutHeader(&w, 0, 4, n);
    w.Put(0, 1);
    w.Put(32 + order - 1, 6);
    w.Put(0, 1);
    for (uint32_t i = 0; i < order; ++i)
        w.PutSigned(32767, 16);
    w.Put(14, 4);
    w.PutSigned(15, 5);
    for (uint32_t j = 0; j < order; ++j)
        w.PutSigned(16383, 15);
    // sum = 32 * 16383 * 32767 = 17178296352 (> 2^32); >> 15 = 524256; residual brings it to 7.
    int64_t predicted = (int64_t(32) * 16383 * 32767) >> 15;
    w.Put(1, 2);
    w.Put(0, 4);
    w.Put(31, 5);
    w.Put(31, 5);
    w.PutSigned(7 - predicted, 31);
    std::vector<int32_t> out;
    FlacFrameInfo info;
    ASSERT_GT(DecodeMono(EndFrame(&w), &out, &info), 0u);
    EXPECT_EQ(out[32], 7);
}

TEST(FlacFrames, MalformedFramesFail) {
    struct Case {
        const char* name;
        std::vector<uint8_t> frame;
    };
    std::vector<Case> cases;
    auto constant = [](uint32_t assignment, uint32_t sizeCode, uint32_t blockSize,
                       uint32_t wastedUnary, bool wasted, int32_t value = 1) {
        BitWriter w;
        PutHeader(&w, assignment, sizeCode, blockSize);
        uint32_t channels = assignment <= 7 ? assignment + 1 : 2;
        for (uint32_t c = 0; c < channels; ++c) {
            w.Put(0, 1);
            w.Put(0, 6);
            w.Put(wasted ? 1 : 0, 1);
            if (wasted) {
                w.Put(0, wastedUnary);
                w.Put(1, 1);
            }
            w.PutSigned(value, wasted ? 16 - (wastedUnary + 1) : 16);
        }
        return EndFrame(&w);
    };
    cases.push_back({"reserved sample size 3", constant(0, 3, 16, 0, false)});
    cases.push_back({"channel assignment 11", constant(11, 4, 16, 0, false)});
    cases.push_back({"more channels than buffers", constant(1, 4, 16, 0, false)});
    cases.push_back({"block larger than the buffer", constant(0, 4, 65, 0, false)});
    cases.push_back({"wasted bits eat the whole depth", constant(0, 4, 16, 15, true)});
    {
        BitWriter w;
        PutHeader(&w, 0, 4, 16);
        w.Put(0, 1);
        w.Put(8 + 2, 6); // FIXED order 2
        w.Put(0, 1);
        w.PutSigned(0, 16);
        w.PutSigned(0, 16);
        w.Put(0, 2);
        w.Put(4, 4); // partition order 4: partitions of 1 sample, smaller than the order
        cases.push_back({"partition smaller than the order", EndFrame(&w)});
    }
    {
        BitWriter w;
        PutHeader(&w, 0, 4, 12);
        w.Put(0, 1);
        w.Put(8, 6); // FIXED order 0
        w.Put(0, 1);
        w.Put(0, 2);
        w.Put(3, 4); // 12 is not a multiple of 8
        cases.push_back({"partition order does not divide the block", EndFrame(&w)});
    }
    {
        BitWriter w;
        PutHeader(&w, 0, 4, 16);
        w.Put(0, 1);
        w.Put(32, 6); // LPC order 1
        w.Put(0, 1);
        w.PutSigned(0, 16);
        w.Put(15, 4); // precision code 15
        cases.push_back({"LPC precision code 15", EndFrame(&w)});
    }
    {
        BitWriter w;
        PutHeader(&w, 0, 4, 16);
        w.Put(0, 1);
        w.Put(32, 6);
        w.Put(0, 1);
        w.PutSigned(0, 16);
        w.Put(3, 4);
        w.PutSigned(-1, 5); // negative shift
        cases.push_back({"negative LPC shift", EndFrame(&w)});
    }
    {
        BitWriter w;
        PutHeader(&w, 0, 4, 16);
        w.Put(0, 1);
        w.Put(2, 6); // reserved subframe type
        cases.push_back({"reserved subframe type", EndFrame(&w)});
    }
    {
        BitWriter w;
        PutHeader(&w, 0, 4, 16);
        w.Put(0, 1);
        w.Put(8, 6);
        w.Put(0, 1);
        w.Put(2, 2); // residual method 2
        cases.push_back({"reserved residual method", EndFrame(&w)});
    }
    {
        std::vector<uint8_t> f = constant(0, 4, 16, 0, false);
        f.resize(f.size() - 3);
        cases.push_back({"truncated", f});
    }
    for (const Case& c : cases) {
        std::vector<int32_t> out;
        FlacFrameInfo info;
        EXPECT_EQ(DecodeMono(c.frame, &out, &info), 0u) << c.name;
    }
    // The wasted-bits frame is fine one bit shorter.
    std::vector<int32_t> out;
    FlacFrameInfo info;
    EXPECT_GT(DecodeMono(constant(0, 4, 16, 14, true, -1), &out, &info), 0u);
    EXPECT_EQ(out[0], -32768);
    EXPECT_GT(DecodeMono(constant(0, 4, 16, 2, true, 5), &out, &info), 0u);
    EXPECT_EQ(out[15], 5 * 8);
}

// Random damage to real frames: never a crash or an access outside the buffers (the sanitizers
// watch), and the decoder keeps to the block it reports.
TEST(FlacFrames, MutatedFramesStayInBounds) {
    std::vector<uint8_t> file = ReadWholeFile(
        kFlacSamples / "subset-16-partition-order-8-containing-escaped-partitions.flac");
    StreamInfo si;
    ASSERT_TRUE(test::ParseFlacHeader(file, &si));
    DecodedStream stream = DecodeWholeStream(file);
    ASSERT_GE(stream.frameOffsets.size(), 3u);
    std::vector<uint8_t> base(file.begin() + stream.frameOffsets[0],
                              file.begin() + stream.frameOffsets[2]);
    std::mt19937 rng(2024);
    std::vector<int32_t> l(4096), r(4096);
    std::vector<uint8_t> out(4096 * 4 * 2);
    ASSERT_EQ(DecodeFlacGroup(base.data(), base.size(), 2, FlacStreamParams{4096, 16, 2}, l.data(),
                              r.data(), out.data(), 4096 * 2),
              4096u * 2);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> data = base;
        int flips = 1 + int(rng() % 4);
        for (int k = 0; k < flips; ++k)
            data[rng() % std::min<size_t>(data.size(), 64 + rng() % 4000)] ^=
                uint8_t(1u << (rng() % 8));
        data.resize(rng() % data.size() + 1);
        std::vector<uint8_t> exact(data); // heap block of exactly the group's size
        uint32_t got = DecodeFlacGroup(exact.data(), exact.size(), 2, FlacStreamParams{4096, 16, 2},
                                       l.data(), r.data(), out.data(), 4096 * 2);
        ASSERT_TRUE(got == 0 || (got > 4096 && got <= 4096 * 2)) << got;
    }
}

} // namespace
} // namespace vostrale
