#include "codecs/sector.h"
#include "common/bytes.h"
#include "common/wire.h"
#include "tests/codecs/sha256.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace vostrale {
namespace {

using Sector = std::vector<uint8_t>;

Sector ZeroSector() {
    return Sector(kRawSectorSize, 0);
}

// ---- Slow references, written straight from the definitions -----------------------------

uint32_t BitwiseEdc(const uint8_t* data, size_t length) {
    uint32_t edc = 0;
    for (size_t i = 0; i < length; ++i) {
        edc ^= data[i];
        for (int k = 0; k < 8; ++k)
            edc = (edc & 1) ? (edc >> 1) ^ 0xD8018001u : edc >> 1;
    }
    return edc;
}

struct Gf {
    uint8_t exp[512];
    uint8_t log[256];
    Gf() {
        uint32_t x = 1;
        for (int i = 0; i < 255; ++i) {
            exp[i] = uint8_t(x);
            log[x] = uint8_t(i);
            x <<= 1;
            if (x & 0x100)
                x ^= 0x11D;
        }
        for (int i = 255; i < 512; ++i)
            exp[i] = exp[i - 255];
    }
    uint8_t Mul(uint8_t a, uint8_t b) const {
        return (a == 0 || b == 0) ? 0 : exp[log[a] + log[b]];
    }
    uint8_t Div(uint8_t a, uint8_t b) const { return a == 0 ? 0 : exp[log[a] + 255 - log[b]]; }
    uint8_t Pow(int n) const { return exp[n % 255]; }
};

// Solves each code word's two parity symbols from sum(v) = 0 and sum(alpha^(last - i) v_i) = 0.
void SlowParity(const Gf& gf, uint8_t* sector, int dataCount, int words, int parityWords,
                int (*wordOf)(int codeword, int i)) {
    for (int cw = 0; cw < words; ++cw) {
        for (int half = 0; half < 2; ++half) {
            uint8_t s0 = 0, s1 = 0;
            int last = dataCount + 1;
            for (int i = 0; i < dataCount; ++i) {
                uint8_t v = sector[12 + 2 * wordOf(cw, i) + half];
                s0 ^= v;
                s1 ^= gf.Mul(gf.Pow(last - i), v);
            }
            // v_a * alpha + v_b = s1 and v_a + v_b = s0 (both sums including the parity are 0).
            uint8_t va = gf.Div(uint8_t(s0 ^ s1), uint8_t(2 ^ 1));
            uint8_t vb = uint8_t(s0 ^ va);
            sector[12 + 2 * wordOf(cw, dataCount) + half] = va;
            sector[12 + 2 * wordOf(cw, dataCount + 1) + half] = vb;
        }
    }
    (void)parityWords;
}

void SlowEcc(uint8_t* sector) {
    static const Gf gf;
    SlowParity(gf, sector, 24, 43, 2, [](int col, int row) { return 43 * row + col; });
    SlowParity(gf, sector, 43, 26, 2, [](int d, int k) {
        if (k < 43)
            return (44 * k + 43 * d) % 1118;
        return k == 43 ? 1118 + d : 1144 + d;
    });
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

std::string Hex(const uint8_t* p, size_t n) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof(buf), "%02X", p[i]);
        s += buf;
    }
    return s;
}

// ---- Published and independently computed vectors -----------------------------------------

TEST(SectorVectors, ZeroMode1SectorAtLbaZero) {
    Sector s(kRawSectorSize, 0);
    ASSERT_TRUE(BuildRawSector(s.data(), 0, kSectorMode1, s.data() + 16));
    EXPECT_EQ(Hex(s.data(), 16), "00FFFFFFFFFFFFFFFFFFFF0000020001");
    EXPECT_EQ(Hex(s.data() + kMode1EdcOffset, 4), "C513682B");
    EXPECT_EQ(Hex(s.data() + kEccPOffset, 4), "00F700F5");
    EXPECT_EQ(Hex(s.data() + kEccQOffset, 2), "0041");
    std::string pq = test::Sha256Hex(s.data() + kEccPOffset, kEccPSize + kEccQSize);
    EXPECT_EQ(pq.substr(0, 8), "619e335e");
    EXPECT_EQ(pq.substr(56), "85705394");
    std::string whole = test::Sha256Hex(s.data(), s.size());
    EXPECT_EQ(whole.substr(0, 8), "b4f18ab6");
    EXPECT_EQ(whole.substr(56), "89222250");
}

TEST(SectorVectors, EdcOfPatternedMode1Sector) {
    Sector s = ZeroSector();
    WriteSync(s.data());
    const uint8_t header[4] = {0x12, 0x34, 0x56, 0x01};
    std::copy(header, header + 4, s.begin() + kHeaderOffset);
    for (uint32_t i = 0; i < kUserDataSize; ++i)
        s[kMode1UserOffset + i] = uint8_t(i + 16);
    WriteEdcEcc(s.data(), kSectorMode1);
    EXPECT_EQ(Hex(s.data() + kMode1EdcOffset, 4), "EE9C2A0E");
    EXPECT_EQ(CheckRawSector(s.data()), kSectorCheckOk);
}

TEST(SectorVectors, Mode2FormEdcs) {
    struct Case {
        uint8_t type;
        uint8_t submode;
        uint32_t edcOffset;
        const char* edc;
    } cases[] = {
        {kSectorMode2Form1, 0x08, kForm1EdcOffset, "0B888194"},
        {kSectorMode2Form2, 0x20, kForm2EdcOffset, "3F13B0BE"},
    };
    for (const Case& c : cases) {
        Sector s = ZeroSector();
        WriteSync(s.data());
        WriteHeader(s.data(), 0, 2);
        s[kSubmodeOffset] = c.submode;
        s[kSubmodeOffset + 4] = c.submode;
        WriteEdcEcc(s.data(), c.type);
        EXPECT_EQ(Hex(s.data() + c.edcOffset, 4), c.edc) << int(c.type);
        EXPECT_EQ(DetectSectorType(s.data()), c.type);
        EXPECT_EQ(CheckRawSector(s.data()), kSectorCheckOk);
    }
}

TEST(SectorVectors, HeaderAddresses) {
    struct Case {
        int32_t lba;
        const char* msf;
    } cases[] = {
        {0, "000200"},    {-150, "000000"},   {-151, "995974"}, {75, "000300"},
        {4350, "010000"}, {449849, "995974"}, {-1, "000174"},
    };
    for (const Case& c : cases) {
        Sector s = ZeroSector();
        WriteHeader(s.data(), c.lba, 1);
        EXPECT_EQ(Hex(s.data() + kHeaderOffset, 3), c.msf) << c.lba;
    }
}

TEST(SectorVectors, ScramblerSequence) {
    const uint8_t* seq = ScramblerSequence();
    EXPECT_EQ(Hex(seq, 16), "018000600028001E80086006A802FE81");
    EXPECT_EQ(Hex(seq + kScrambledSize - 4, 4), "72DDE599");
    Sector s = ZeroSector();
    ScrambleSector(s.data());
    EXPECT_EQ(s[1000], 0x7C);
    EXPECT_EQ(s[2351], 0x99);
    EXPECT_EQ(Hex(s.data(), kSyncSize), std::string(24, '0'));
    ScrambleSector(s.data());
    EXPECT_EQ(s, ZeroSector());
}

// ---- Fast code against the slow references --------------------------------------------------

TEST(SectorFastVsSlow, EdcOverRandomData) {
    std::mt19937 rng(1234);
    std::vector<uint8_t> data(32 * 1024);
    for (auto& b : data)
        b = uint8_t(rng());
    for (size_t length :
         {size_t(0), size_t(1), size_t(3), size_t(4), size_t(7), size_t(2064), data.size()}) {
        EXPECT_EQ(SectorEdc(0, data.data(), length), BitwiseEdc(data.data(), length)) << length;
    }
    // Chaining matches one pass.
    uint32_t chained = SectorEdc(SectorEdc(0, data.data(), 1001), data.data() + 1001, 3000);
    EXPECT_EQ(chained, BitwiseEdc(data.data(), 4001));
}

TEST(SectorFastVsSlow, EccOverRandomSectors) {
    std::mt19937 rng(99);
    for (int round = 0; round < 50; ++round) {
        Sector fast(kRawSectorSize);
        for (auto& b : fast)
            b = uint8_t(rng());
        Sector slow = fast;
        WriteEccPq(fast.data());
        SlowEcc(slow.data());
        ASSERT_EQ(Hex(fast.data() + kEccPOffset, kEccPSize + kEccQSize),
                  Hex(slow.data() + kEccPOffset, kEccPSize + kEccQSize))
            << round;
    }
}

TEST(SectorCheck, DetectsDamage) {
    std::mt19937 rng(7);
    std::vector<uint8_t> user(kUserDataSize);
    for (auto& b : user)
        b = uint8_t(rng());
    for (uint8_t type : {uint8_t(kSectorMode1), uint8_t(kSectorMode2Form1)}) {
        Sector s(kRawSectorSize);
        ASSERT_TRUE(BuildRawSector(s.data(), 1234, type, user.data()));
        EXPECT_EQ(CheckRawSector(s.data()), kSectorCheckOk);
        Sector bad = s;
        bad[1000] ^= 1;
        EXPECT_EQ(CheckRawSector(bad.data()), kSectorCheckBadEdc);
        bad = s;
        bad[kEccQOffset + 5] ^= 0x40;
        EXPECT_EQ(CheckRawSector(bad.data()), kSectorCheckBadEcc);
    }
    Sector audio(kRawSectorSize, 0x11);
    EXPECT_EQ(CheckRawSector(audio.data()), kSectorCheckNoSync);
    EXPECT_FALSE(BuildRawSector(audio.data(), 0, 7, audio.data()));
}

// Form 1 parity ignores the header, so re-addressing a Form 1 sector keeps P and Q.
TEST(SectorCheck, Form1ParityIndependentOfAddress) {
    std::vector<uint8_t> user(kUserDataSize, 0x5A);
    Sector a(kRawSectorSize), b(kRawSectorSize);
    BuildRawSector(a.data(), 16, kSectorMode2Form1, user.data());
    BuildRawSector(b.data(), 300000, kSectorMode2Form1, user.data());
    EXPECT_NE(Hex(a.data() + 12, 3), Hex(b.data() + 12, 3));
    EXPECT_EQ(Hex(a.data() + kEccPOffset, kEccPSize + kEccQSize),
              Hex(b.data() + kEccPOffset, kEccPSize + kEccQSize));
}

// ---- Real raw sectors ----------------------------------------------------------------------

struct RealStats {
    int mode1 = 0;
    int form1 = 0;
    int form2 = 0;
    int form2WithEdc = 0;
};

// Finds every raw data sector in an image (BIN or NRG), rebuilds it from its user data and
// compares sync, header, EDC and ECC with what the disc carried.
RealStats RebuildRealSectors(const std::string& name) {
    RealStats stats;
    std::vector<uint8_t> image =
        ReadFile(std::string(VOSTRALE_SHARED_DIR) + "/testdata/cd/" + name);
    EXPECT_FALSE(image.empty()) << name;
    size_t pos = 0;
    while (pos + kRawSectorSize <= image.size()) {
        const uint8_t* raw = image.data() + pos;
        if (!HasSync(raw)) {
            ++pos;
            continue;
        }
        uint8_t type = DetectSectorType(raw);
        if (type == kSectorUnknown) {
            ++pos;
            continue;
        }
        Sector rebuilt(kRawSectorSize, 0xEE);
        WriteSync(rebuilt.data());
        std::copy(raw + kHeaderOffset, raw + kHeaderOffset + kHeaderSize,
                  rebuilt.begin() + kHeaderOffset);
        uint32_t userOffset = type == kSectorMode1 ? kMode1UserOffset : kMode2UserOffset;
        if (type != kSectorMode1)
            std::copy(raw + kSubheaderOffset, raw + kSubheaderOffset + kSubheaderSize,
                      rebuilt.begin() + kSubheaderOffset);
        uint32_t userSize = UserDataSizeOf(type);
        std::copy(raw + userOffset, raw + userOffset + userSize, rebuilt.begin() + userOffset);
        WriteEdcEcc(rebuilt.data(), type);
        if (type == kSectorMode2Form2) {
            ++stats.form2;
            if (LoadLe32(raw + kForm2EdcOffset) != 0) {
                ++stats.form2WithEdc;
                EXPECT_EQ(Hex(rebuilt.data() + kForm2EdcOffset, 4), Hex(raw + kForm2EdcOffset, 4))
                    << name << " @" << pos;
            }
        } else {
            (type == kSectorMode1 ? stats.mode1 : stats.form1)++;
            EXPECT_EQ(Hex(rebuilt.data(), kRawSectorSize), Hex(raw, kRawSectorSize))
                << name << " @" << pos;
        }
        EXPECT_EQ(CheckRawSector(raw), kSectorCheckOk) << name << " @" << pos;
        pos += kRawSectorSize;
    }
    return stats;
}

TEST(SectorRealImages, Mode1Bin) {
    RealStats s = RebuildRealSectors("isofs-m1.bin");
    EXPECT_EQ(s.mode1, 302);
}

// The Video CD in NRG form stores its Mode 2 sectors as 2336 bytes (sub-header onward) from
// the start of the file: Form 1 EDC and parity do not cover the address, so they can be
// rebuilt from the stored sub-header and user data alone.
TEST(SectorRealImages, Mode2NrgForms) {
    constexpr uint32_t kStored = kRawSectorSize - kSubheaderOffset;
    constexpr uint32_t kSectors = 1126;
    std::vector<uint8_t> image =
        ReadFile(std::string(VOSTRALE_SHARED_DIR) + "/testdata/cd/videocd.nrg");
    ASSERT_GE(image.size(), size_t(kSectors) * kStored);
    RealStats stats;
    for (uint32_t i = 0; i < kSectors; ++i) {
        const uint8_t* stored = image.data() + size_t(i) * kStored;
        Sector raw(kRawSectorSize);
        WriteSync(raw.data());
        WriteHeader(raw.data(), int32_t(i), 2);
        std::copy(stored, stored + kStored, raw.begin() + kSubheaderOffset);
        uint8_t type = DetectSectorType(raw.data());
        Sector rebuilt(kRawSectorSize, 0xEE);
        std::copy(raw.begin(), raw.begin() + kMode2UserOffset, rebuilt.begin());
        uint32_t userSize = type == kSectorMode2Form2 ? kForm2UserSize : kUserDataSize;
        std::copy(raw.begin() + kMode2UserOffset, raw.begin() + kMode2UserOffset + userSize,
                  rebuilt.begin() + kMode2UserOffset);
        if (type == kSectorMode2Form2)
            std::fill(rebuilt.begin() + kForm2EdcOffset, rebuilt.end(), 0);
        WriteEdcEcc(rebuilt.data(), type);
        if (type == kSectorMode2Form2) {
            ++stats.form2;
            if (LoadLe32(raw.data() + kForm2EdcOffset) == 0)
                continue;
            ++stats.form2WithEdc;
        } else {
            ++stats.form1;
        }
        EXPECT_EQ(Hex(rebuilt.data(), kRawSectorSize), Hex(raw.data(), kRawSectorSize)) << i;
        EXPECT_EQ(CheckRawSector(raw.data()), kSectorCheckOk) << i;
    }
    EXPECT_GT(stats.form1, 100);
    EXPECT_GT(stats.form2WithEdc, 100);
}

// A Mode 1 sector rebuilt by BuildRawSector from its LBA and user data equals the real one.
TEST(SectorRealImages, BuildFromLbaMatchesMode1Bin) {
    std::vector<uint8_t> image =
        ReadFile(std::string(VOSTRALE_SHARED_DIR) + "/testdata/cd/isofs-m1.bin");
    ASSERT_EQ(image.size() % kRawSectorSize, 0u);
    for (size_t lba = 0; lba < image.size() / kRawSectorSize; lba += 37) {
        const uint8_t* raw = image.data() + lba * kRawSectorSize;
        Sector built(kRawSectorSize);
        ASSERT_TRUE(
            BuildRawSector(built.data(), int32_t(lba), kSectorMode1, raw + kMode1UserOffset));
        EXPECT_EQ(Hex(built.data(), kRawSectorSize), Hex(raw, kRawSectorSize)) << lba;
    }
}

// ---- READ CD field table and sub-channel layouts --------------------------------------------

TEST(ReadCdFields, Table) {
    struct Case {
        uint8_t type;
        uint8_t fields;
        bool valid;
        uint16_t start;
        uint16_t length;
    } cases[] = {
        {kSectorMode1, 0xF8, true, 0, 2352},
        {kSectorMode1, 0x10, true, 16, 2048},
        {kSectorMode1, 0x18, true, 16, 2336},
        {kSectorMode1, 0xB0, true, 0, 2064},
        {kSectorMode1, 0x20, true, 12, 4},
        {kSectorMode1, 0x40, true, 0, 0},
        {kSectorMode1, 0x08, false, 0, 0},
        {kSectorMode1, 0x48, false, 0, 0},
        {kSectorMode1, 0x90, false, 0, 0},
        {kSectorMode1, 0xA8, false, 0, 0},
        {kSectorMode1, 0xB8, true, 0, 2352},
        {kSectorMode2Formless, 0x70, true, 12, 2340}, // header + 2336 bytes: not cut at 2348
        {kSectorMode2Formless, 0x78, true, 12, 2340},
        {kSectorMode2Formless, 0x30, true, 12, 2340},
        {kSectorMode2Formless, 0x10, true, 16, 2336},
        {kSectorMode2Form1, 0x10, true, 24, 2048},
        {kSectorMode2Form1, 0x18, true, 24, 2328},
        {kSectorMode2Form1, 0x30, false, 0, 0},
        {kSectorMode2Form1, 0x50, true, 16, 2056},
        {kSectorMode2Form1, 0x70, true, 12, 2060},
        {kSectorMode2Form1, 0xE0, true, 0, 24},
        {kSectorMode2Form1, 0xF0, true, 0, 2072},
        {kSectorMode2Form2, 0x10, true, 24, 2328},
        {kSectorMode2Form2, 0x70, true, 12, 2340},
        {kSectorMode2Form2, 0x50, true, 16, 2336},
        {kSectorCdda, 0x10, true, 0, 2352},
        {kSectorCdda, 0x48, true, 0, 2352},
        {kSectorCdda, 0x80, false, 0, 0},
        {kSectorCdda, 0x88, false, 0, 0},
        {kSectorCdda, 0x08, false, 0, 0},
        {kSectorUnknown, 0xF8, true, 0, 2352},
        {kSectorCdda, 0x00, true, 0, 0},
        {6, 0xF8, false, 0, 0},
    };
    for (const Case& c : cases) {
        ReadCdSpan span{0xAAAA, 0xAAAA};
        bool ok =
            ReadCdFieldSpan(c.type, uint8_t(c.fields | 0x06), &span); // C2 bits are not fields
        EXPECT_EQ(ok, c.valid) << int(c.type) << " " << std::hex << int(c.fields);
        if (ok && c.valid) {
            EXPECT_EQ(span.start, c.start) << int(c.type) << " " << std::hex << int(c.fields);
            EXPECT_EQ(span.length, c.length) << int(c.type) << " " << std::hex << int(c.fields);
        }
    }
}

// Every valid span of every row stays inside the raw sector.
TEST(ReadCdFields, SpansStayInsideSector) {
    for (uint8_t type = 0; type <= kSectorMode2Form2; ++type) {
        for (uint32_t sel = 0; sel < 32; ++sel) {
            ReadCdSpan span;
            if (ReadCdFieldSpan(type, uint8_t(sel << 3), &span)) {
                EXPECT_LE(span.start + span.length, kRawSectorSize) << int(type) << " " << sel;
            }
        }
    }
}

TEST(Subchannel, InterleaveBitPositions) {
    uint8_t linear[96] = {};
    linear[0] = 0x80;           // P, byte 0, bit 7 -> raw byte 0, bit 7
    linear[12 + 2] = 0x10;      // Q, byte 2, bit 4 (j = 3) -> raw byte 19, bit 6
    linear[7 * 12 + 11] = 0x01; // W, byte 11, bit 0 (j = 7) -> raw byte 95, bit 0
    uint8_t raw[96];
    InterleaveSubchannel(linear, raw);
    for (int i = 0; i < 96; ++i) {
        uint8_t want = i == 0 ? 0x80 : i == 19 ? 0x40 : i == 95 ? 0x01 : 0;
        EXPECT_EQ(raw[i], want) << i;
    }
    uint8_t back[96];
    DeinterleaveSubchannel(raw, back);
    EXPECT_EQ(0, std::memcmp(back, linear, 96));

    std::mt19937 rng(5);
    for (auto& b : linear)
        b = uint8_t(rng());
    InterleaveSubchannel(linear, raw);
    DeinterleaveSubchannel(raw, back);
    EXPECT_EQ(0, std::memcmp(back, linear, 96));
}

TEST(Subchannel, FormattedQ) {
    uint8_t linear[96] = {};
    for (int i = 0; i < 12; ++i)
        linear[12 + i] = uint8_t(0xA0 + i);
    uint8_t q[16];
    FormattedQFromLinear(linear, q);
    EXPECT_EQ(Hex(q, 16), "A0A1A2A3A4A5A6A7A8A9AAAB00000000");
    linear[0] = 0xFF;
    FormattedQFromLinear(linear, q);
    EXPECT_EQ(q[15], 0x80);
}

} // namespace
} // namespace vostrale
