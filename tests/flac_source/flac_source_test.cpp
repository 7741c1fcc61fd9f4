#include "codecs/flac.h"
#include "formats/audio_source.h"
#include "formats/flac_seek_cache.h"
#include "formats/layout.h"
#include "tests/codecs/flac_test_util.h"
#include "tests/codecs/sha256.h"
#include "tests/0support/scoped_environment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace vostrale {
namespace {

using test::ReadWholeFile;

const std::filesystem::path kSamples =
    std::filesystem::path(VOSTRALE_SHARED_DIR) / "testdata" / "flac";

struct MountResult {
    int result = -1;
    MountRecord record{};
    std::string message;
    std::string log;
    std::vector<SeekPoint> table;
};

// Runs the FLAC source over a file with its own log and cache folder.
class FlacSourceTest : public ::testing::Test {
  protected:
    void SetUp() override {
#ifndef _WIN32
        setenv("XDG_CACHE_HOME", (m_dir.Path() / "cache").c_str(), 1);
        m_privateCache = true;
#endif
    }

    MountResult Mount(const std::filesystem::path& path, ProgressRecord* progress = nullptr) {
        MountResult r;
        uint32_t error = 0;
        platform::NativeFile file = platform::OpenForRead(path, &error);
        EXPECT_NE(file, 0u) << path;
        if (!file)
            return r;
        std::filesystem::path logPath =
            m_dir.Path() / ("log" + std::to_string(m_mounts++) + ".txt");
        std::wstring message;
        {
            ActivityLog log;
            log.Open(logPath);
            ParserIo io;
            io.log = &log;
            io.message = &message;
            io.progress = progress;
            r.result = OpenFlacSource(file, &r.record, path, io);
        }
        platform::CloseFile(file);
        for (wchar_t c : message)
            r.message.push_back(char(c));
        std::vector<uint8_t> logBytes = ReadWholeFile(logPath);
        r.log.assign(logBytes.begin(), logBytes.end());
        if (r.result == kParseOk) {
            const SeekPoint* t = PointerOf<SeekPoint>(r.record.kindPointer);
            r.table.assign(t, t + r.record.kindCount);
        }
        MountRecord owned = r.record; // released here; r keeps the field values
        ReleaseLayout(&owned);
        return r;
    }

    std::filesystem::path Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        std::filesystem::path p = m_dir.Path() / name;
        test::WriteWholeFile(p, bytes);
        return p;
    }

    test::TempFolder m_dir;
    int m_mounts = 0;
    bool m_privateCache =
        false; // Windows keeps the shared cache folder: earlier runs may have filled it
};

// Decodes a whole disc the way the driver will: group by group from the record's seek table,
// into a group buffer of largest frame x frames per entry.
std::vector<uint8_t> DecodeThroughTable(const std::vector<uint8_t>& file, const MountResult& m) {
    const MountRecord& rec = m.record;
    const uint32_t step = rec.param80;
    const uint32_t blockSize = rec.param96;
    std::vector<uint8_t> group(size_t(rec.param100) * step);
    std::vector<int32_t> left(blockSize), right(blockSize);
    std::vector<uint8_t> pcm(size_t(blockSize) * step * 4);
    std::vector<uint8_t> all;
    for (size_t i = 0; i + 1 < m.table.size(); ++i) {
        const SeekPoint& a = m.table[i];
        const SeekPoint& b = m.table[i + 1];
        size_t bytes = b.fileOffset - a.fileOffset;
        EXPECT_LE(bytes, group.size()) << "group " << i << " does not fit the group buffer";
        if (bytes > group.size())
            return {};
        std::memcpy(group.data(), file.data() + a.fileOffset, bytes);
        uint32_t frames =
            std::min<uint32_t>(step, (b.sample - a.sample + blockSize - 1) / blockSize);
        uint32_t got =
            DecodeFlacGroup(group.data(), bytes, frames, FlacStreamParams{blockSize, 16, 2},
                            left.data(), right.data(), pcm.data(), blockSize * step);
        EXPECT_EQ(got, b.sample - a.sample) << "group " << i;
        all.insert(all.end(), pcm.begin(), pcm.begin() + size_t(got) * 4);
    }
    return all;
}

// Checks a successful mount against a straight decode of the file.
void ExpectConsistentMount(const std::vector<uint8_t>& file, const MountResult& m,
                           uint64_t expectTotal) {
    ASSERT_EQ(m.result, kParseOk) << m.message;
    const MountRecord& rec = m.record;
    test::StreamInfo si;
    ASSERT_TRUE(test::ParseFlacHeader(file, &si));
    test::DecodedStream d = test::DecodeWholeStream(file);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(uint64_t(rec.readerKind), kReaderFlac);
    EXPECT_EQ(uint64_t(rec.param84), 44100u);
    EXPECT_EQ(uint64_t(rec.param88), 2u);
    EXPECT_EQ(uint64_t(rec.param92), 16u);
    EXPECT_EQ(uint64_t(rec.param96), si.maxBlock);
    EXPECT_EQ(uint64_t(rec.param104), expectTotal);
    uint32_t step = si.maxBlock < 44100 ? 44100 / si.maxBlock : 1;
    EXPECT_EQ(uint64_t(rec.param80), step);
    size_t n = d.frameOffsets.size() + 1; // the full list holds the end entry too
    size_t expectEntries = step == 1 ? n : (step + n - 2) / step + 1;
    ASSERT_EQ(m.table.size(), expectEntries);
    for (size_t k = 0; k + 1 < m.table.size(); ++k) {
        EXPECT_EQ(m.table[k].fileOffset, d.frameOffsets[k * step]) << k;
        EXPECT_EQ(m.table[k].sample, uint32_t(k * step * si.maxBlock)) << k;
    }
    EXPECT_EQ(m.table.back().sample, expectTotal);
    EXPECT_EQ(m.table.back().fileOffset, file.size());
    std::vector<uint8_t> pcm = DecodeThroughTable(file, m);
    EXPECT_TRUE(pcm == d.pcm) << "decoding through the seek table differs from a straight decode";
}

TEST_F(FlacSourceTest, RealCdStreamsMountAndDecode) {
    const char* names[] = {
        "subset-01-blocksize-4096.flac",
        "subset-03-blocksize-16.flac",
        "subset-07-blocksize-725.flac",
        "subset-10-blocksize-2304.flac",
        "subset-11-partition-order-8.flac",
        "subset-12-qlp-precision-15-bit.flac",
        "subset-13-qlp-precision-2-bit.flac",
        "subset-14-wasted-bits.flac",
        "subset-15-only-verbatim-subframes.flac",
        "subset-16-partition-order-8-containing-escaped-partitions.flac",
        "subset-17-all-fixed-orders.flac",
        "subset-18-precision-search.flac",
        "encoded-lpc32-lax-16bit-stereo.flac",
        "uncommon-08-blocksize-65535.flac",
    };
    for (const char* name : names) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> file = ReadWholeFile(kSamples / name);
        test::StreamInfo si;
        ASSERT_TRUE(test::ParseFlacHeader(file, &si));
        MountResult first = Mount(kSamples / name);
        ExpectConsistentMount(file, first, si.totalSamples);
        if (m_privateCache) {
            EXPECT_NE(first.log.find("Generate seektable"), std::string::npos);
        }
        EXPECT_NE(first.log.find("max_framesize=" + std::to_string(si.maxFrame)),
                  std::string::npos);
        MountResult second = Mount(kSamples / name);
        EXPECT_NE(second.log.find("Seektable from cache"), std::string::npos);
        ASSERT_EQ(second.table.size(), first.table.size());
        EXPECT_EQ(0, std::memcmp(second.table.data(), first.table.data(),
                                 first.table.size() * sizeof(SeekPoint)));
        EXPECT_EQ(uint64_t(second.record.param104), uint64_t(first.record.param104));
        EXPECT_EQ(uint64_t(second.record.param100), uint64_t(first.record.param100));
    }
}

TEST_F(FlacSourceTest, RefusedStreams) {
    struct Case {
        const char* name;
        const char* message;
    } cases[] = {
        {"subset-24-variable-blocksize-flake-r264.flac",
         "Only support fixed-blocksize flac stream"},
        {"subset-27-old-format-variable-blocksize-flake-0.11.flac",
         "Only support fixed-blocksize flac stream"},
        {"subset-23-8-bit-per-sample.flac",
         "Unsupported format: channels=2 samplerate=44100 bps=8"},
        {"subset-63-predictor-overflow-check-24-bit.flac",
         "Unsupported format: channels=1 samplerate=44100 bps=24"},
        {"subset-60-mono-audio.flac", "Unsupported format: channels=1 samplerate=44100 bps=16"},
        {"subset-38-3-channels-3.0.flac", "Unsupported format: channels=3 samplerate=44100 bps=16"},
        {"subset-45-no-total-number-of-samples-set.flac",
         "Unsupported format: channels=2 samplerate=48000 bps=16"},
        {"faulty-05-wrong-total-number-of-samples.flac",
         "Unsupported format: channels=1 samplerate=24000 bps=16"},
    };
    for (const Case& c : cases) {
        MountResult m = Mount(kSamples / c.name);
        EXPECT_EQ(m.result, kParseFailed) << c.name;
        EXPECT_EQ(m.message, c.message) << c.name;
        EXPECT_EQ(uint64_t(m.record.kindPointer), 0u) << c.name;
        EXPECT_EQ(uint64_t(m.record.readerKind), 0u) << c.name;
    }
}

// ---- Streams made here: unknown STREAMINFO fields, retagging, damage ------------------------

class FlacSourceToolTest : public FlacSourceTest {
  protected:
    void SetUp() override {
        FlacSourceTest::SetUp();
#ifdef _WIN32
        GTEST_SKIP() << "needs the flac tool";
#endif
        if (!test::HaveTool("flac"))
            GTEST_SKIP() << "flac tool not installed";
    }

    std::vector<uint8_t> Encode(uint32_t seconds, uint32_t seed, const std::string& options) {
        std::vector<int16_t> audio = test::MakeTestAudio(44100 * seconds, seed);
        std::vector<uint8_t> raw(audio.size() * 2);
        std::memcpy(raw.data(), audio.data(), raw.size());
        auto in = Write("in.raw", raw);
        auto out = m_dir.Path() / "enc.flac";
        std::string cmd =
            "flac -f -s --force-raw-format --endian=little --sign=signed --channels=2 --bps=16 "
            "--sample-rate=44100 " +
            options + " -o " + out.string() + " " + in.string() + " >/dev/null 2>&1";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        return ReadWholeFile(out);
    }

    // STREAMINFO body offset (after "fLaC" and the block header).
    static constexpr size_t kSi = 8;
};

TEST_F(FlacSourceToolTest, UnknownStreamInfoFields) {
    std::vector<uint8_t> file = Encode(3, 1, "-5 -b 1152");
    test::StreamInfo si;
    ASSERT_TRUE(test::ParseFlacHeader(file, &si));
    uint64_t realTotal = si.totalSamples;
    // Minimum and maximum frame size, total samples and MD5 all 0 ("unknown").
    std::fill(file.begin() + kSi + 4, file.begin() + kSi + 10, 0);
    file[kSi + 13] &= 0xF0;
    std::fill(file.begin() + kSi + 14, file.begin() + kSi + 34, 0);
    ASSERT_TRUE(test::ParseFlacHeader(file, &si));
    ASSERT_EQ(si.totalSamples, 0u);
    ASSERT_EQ(si.maxFrame, 0u);
    auto path = Write("unknown.flac", file);
    MountResult m = Mount(path);
    ExpectConsistentMount(file, m, realTotal);
    EXPECT_GT(uint64_t(m.record.param100), 0u);
    MountResult again = Mount(path);
    EXPECT_NE(again.log.find("Seektable from cache"), std::string::npos);
    ExpectConsistentMount(file, again, realTotal);

    // Another stream without MD5 must not pick up the first one's cache.
    std::vector<uint8_t> other = Encode(2, 9, "-5 -b 1152");
    ASSERT_TRUE(test::ParseFlacHeader(other, &si));
    uint64_t otherTotal = si.totalSamples;
    std::fill(other.begin() + kSi + 18, other.begin() + kSi + 34, 0);
    MountResult m2 = Mount(Write("other.flac", other));
    EXPECT_NE(m2.log.find("Generate seektable"), std::string::npos);
    ExpectConsistentMount(other, m2, otherTotal);
}

TEST_F(FlacSourceToolTest, StreamInfoTotalSmallerThanTheStream) {
    std::vector<uint8_t> file = Encode(3, 2, "-5");
    test::StreamInfo si;
    ASSERT_TRUE(test::ParseFlacHeader(file, &si));
    uint64_t realTotal = si.totalSamples;
    // Total samples = 39842.
    file[kSi + 13] &= 0xF0;
    file[kSi + 14] = 0;
    file[kSi + 15] = 0;
    file[kSi + 16] = 0x9B;
    file[kSi + 17] = 0xA2;
    MountResult m = Mount(Write("short-total.flac", file));
    ExpectConsistentMount(file, m, realTotal);
}

// Retagging moves the frames but keeps the MD5: the cached offsets must not be reused.
TEST_F(FlacSourceToolTest, RetaggedFileIsReindexed) {
    std::vector<uint8_t> file = Encode(2, 3, "-5");
    test::StreamInfo si;
    ASSERT_TRUE(test::ParseFlacHeader(file, &si));
    auto path = Write("tagged.flac", file);
    ExpectConsistentMount(file, Mount(path), si.totalSamples);
    // Clear every last-block flag and add a 1000-byte PADDING block before the frames.
    size_t pos = 4;
    for (;;) {
        bool last = file[pos] & 0x80;
        file[pos] &= 0x7F;
        size_t length = size_t(file[pos + 1]) << 16 | size_t(file[pos + 2]) << 8 | file[pos + 3];
        pos += 4 + length;
        if (last)
            break;
    }
    std::vector<uint8_t> padding = {0x81, 0x00, 0x03, 0xE8};
    padding.resize(4 + 1000, 0);
    file.insert(file.begin() + std::ptrdiff_t(pos), padding.begin(), padding.end());
    test::WriteWholeFile(path, file);
    MountResult m = Mount(path);
    EXPECT_NE(m.log.find("Generate seektable"), std::string::npos);
    ExpectConsistentMount(file, m, si.totalSamples);
}

TEST_F(FlacSourceToolTest, DamagedCacheIsRewritten) {
    std::vector<uint8_t> file = Encode(2, 4, "-5");
    test::StreamInfo si;
    ASSERT_TRUE(test::ParseFlacHeader(file, &si));
    auto path = Write("cached.flac", file);
    MountResult first = Mount(path);
    ASSERT_EQ(first.result, kParseOk);
    std::filesystem::path cacheFolder = m_dir.Path() / "cache" / "Vostrale";
    std::vector<std::filesystem::path> caches;
    for (const auto& e : std::filesystem::directory_iterator(cacheFolder))
        caches.push_back(e.path());
    ASSERT_EQ(caches.size(), 1u);
    std::vector<uint8_t> good = ReadWholeFile(caches[0]);
    for (size_t at : {size_t(5), size_t(9), size_t(40), good.size() - 1}) {
        std::vector<uint8_t> bad = good;
        bad[at] ^= 0x10;
        test::WriteWholeFile(caches[0], bad);
        MountResult m = Mount(path);
        EXPECT_NE(m.log.find("Generate seektable"), std::string::npos) << at;
        ExpectConsistentMount(file, m, si.totalSamples);
        EXPECT_TRUE(ReadWholeFile(caches[0]) == good)
            << "cache not rewritten after damage at " << at;
    }
}

TEST_F(FlacSourceToolTest, TrailingTagAndDamagedFrames) {
    std::vector<uint8_t> file = Encode(2, 5, "-5");
    test::StreamInfo si;
    ASSERT_TRUE(test::ParseFlacHeader(file, &si));
    test::DecodedStream d = test::DecodeWholeStream(file);
    ASSERT_TRUE(d.ok);

    // An ID3v1 tag after the last frame ends the audio; the end entry is the file size.
    std::vector<uint8_t> tagged = file;
    std::vector<uint8_t> tag(128, ' ');
    std::memcpy(tag.data(), "TAG", 3);
    tagged.insert(tagged.end(), tag.begin(), tag.end());
    MountResult m = Mount(Write("id3.flac", tagged));
    ASSERT_EQ(m.result, kParseOk) << m.message;
    EXPECT_EQ(m.table.back().sample, si.totalSamples);
    EXPECT_EQ(m.table.back().fileOffset, tagged.size());

    // A frame that starts like one but does not decode fails the mount with a message.
    std::vector<uint8_t> broken = file;
    size_t frame = d.frameOffsets[d.frameOffsets.size() / 2];
    broken[frame + 3] = 0xFF; // channel assignment 15 (reserved)
    MountResult b = Mount(Write("broken.flac", broken));
    EXPECT_EQ(b.result, kParseFailed);
    EXPECT_EQ(b.message, "Cannot decode the FLAC frame at offset " + std::to_string(frame));

    // Metadata longer than the file.
    std::vector<uint8_t> cut(file.begin(), file.begin() + 30);
    MountResult c = Mount(Write("cut.flac", cut));
    EXPECT_EQ(c.result, kParseFailed);
    EXPECT_FALSE(c.message.empty());

    // Not FLAC at all: failure without a message.
    MountResult n = Mount(Write("not.flac", std::vector<uint8_t>(100, 'x')));
    EXPECT_EQ(n.result, kParseFailed);
    EXPECT_TRUE(n.message.empty());
}

TEST_F(FlacSourceToolTest, ProgressAndCancel) {
    std::vector<uint8_t> file = Encode(2, 6, "-5");
    auto path = Write("progress.flac", file);
    ProgressRecord progress;
    MountResult m = Mount(path, &progress);
    ASSERT_EQ(m.result, kParseOk);
    EXPECT_EQ(progress.total.load(), file.size());
    EXPECT_EQ(progress.done.load(), file.size());

    std::filesystem::remove_all(m_dir.Path() / "cache");
    ProgressRecord cancelled;
    cancelled.cancel = true;
    MountResult c = Mount(path, &cancelled);
    EXPECT_EQ(c.result, kParseCancelled);
    EXPECT_EQ(uint64_t(c.record.kindPointer), 0u);
}

TEST_F(FlacSourceTest, FileOf4GiBIsRefused) {
    auto path = m_dir.Path() / "huge.flac";
    test::WriteWholeFile(path, {'f', 'L', 'a', 'C'});
    std::error_code ec;
    std::filesystem::resize_file(path, 0x100000000ull, ec);
    if (ec)
        GTEST_SKIP() << "cannot make a sparse 4 GiB file here";
    MountResult m = Mount(path);
    EXPECT_EQ(m.result, kParseFailed);
    EXPECT_EQ(m.message, "File size is too big, abort");
}

// ---- The .ids reader on its own -------------------------------------------------------------

// Without a cache folder each mount indexes the stream again: no cache file lands in the
// current folder.
TEST_F(FlacSourceTest, NoCacheFolderMeansNoCache) {
#ifdef _WIN32
    GTEST_SKIP() << "the shell's application data folder";
#else
    std::filesystem::path here = m_dir.Path() / "here";
    std::filesystem::create_directories(here);
    testing::ScopedEnvironment env;
    env.Set("XDG_CACHE_HOME", nullptr);
    env.Set("HOME", nullptr);
    env.EnterFolder(here);
    FlacCacheKey key{};
    EXPECT_TRUE(FlacSeekCachePath(key).empty());
    const char* name = "subset-01-blocksize-4096.flac";
    std::vector<uint8_t> file = ReadWholeFile(kSamples / name);
    test::StreamInfo si;
    ASSERT_TRUE(test::ParseFlacHeader(file, &si));
    for (int mount = 0; mount < 2; ++mount) {
        MountResult m = Mount(kSamples / name);
        ExpectConsistentMount(file, m, si.totalSamples);
        EXPECT_NE(m.log.find("Generate seektable"), std::string::npos) << mount << m.log;
        EXPECT_EQ(m.log.find("Seektable from cache"), std::string::npos) << mount;
        EXPECT_EQ(m.log.find("Cannot write seektable cache"), std::string::npos) << mount;
    }
    EXPECT_TRUE(std::filesystem::is_empty(here)) << "a cache file in the current folder";
#endif
}

TEST(FlacSeekCache, RoundTripAndEveryFieldChecked) {
    FlacCacheKey key{};
    for (int i = 0; i < 16; ++i)
        key.md5[i] = uint8_t(i * 7);
    key.blockSize = 4096;
    key.fileSize = 50000;
    key.firstFrame = 8272;
    FlacCacheContents contents;
    contents.points = {{0, 8272}, {4096, 12000}, {8192, 20000}, {10000, 50000}};
    contents.maxFrameSize = 9000;
    contents.totalSamples = 10000;
    std::vector<uint8_t> image = BuildFlacSeekCache(key, contents);
    ASSERT_EQ(image.size(), 48u + 4 * 8);
    EXPECT_EQ(0, std::memcmp(image.data(), "0SDI", 4));
    FlacCacheContents back;
    ASSERT_TRUE(ParseFlacSeekCache(image.data(), image.size(), key, &back));
    EXPECT_EQ(back.points.size(), 4u);
    EXPECT_EQ(back.points[2].fileOffset, 20000u);
    EXPECT_EQ(back.totalSamples, 10000u);

    // Any single damaged byte is caught.
    for (size_t i = 0; i < image.size(); ++i) {
        std::vector<uint8_t> bad = image;
        bad[i] ^= 0x01;
        EXPECT_FALSE(ParseFlacSeekCache(bad.data(), bad.size(), key, &back)) << i;
    }
    // A different key is refused.
    FlacCacheKey other = key;
    other.firstFrame += 1;
    EXPECT_FALSE(ParseFlacSeekCache(image.data(), image.size(), other, &back));
    EXPECT_FALSE(ParseFlacSeekCache(image.data(), image.size() - 8, key, &back));

    // A well-formed image whose list is out of order is refused too.
    FlacCacheContents shuffled = contents;
    std::swap(shuffled.points[1], shuffled.points[2]);
    std::vector<uint8_t> s = BuildFlacSeekCache(key, shuffled);
    EXPECT_FALSE(ParseFlacSeekCache(s.data(), s.size(), key, &back));
}

TEST(FlacSeekCache, CrcIsMpeg2Variant) {
    // CRC-32/MPEG-2 check value for "123456789".
    EXPECT_EQ(SeekCacheCrc(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x0376E6E7u);
}

TEST(FlacSeekCache, ZeroMd5NamesSizeAndOffset) {
    FlacCacheKey a{};
    a.fileSize = 1000;
    a.firstFrame = 42;
    FlacCacheKey b = a;
    b.fileSize = 1001;
    EXPECT_NE(FlacSeekCachePath(a), FlacSeekCachePath(b));
    a.md5[0] = 0xAB;
    EXPECT_EQ(FlacSeekCachePath(a).filename().string(), "AB000000000000000000000000000000.ids");
}

} // namespace
} // namespace vostrale
