#include "codecs/sector.h"

#include "common/bytes.h"
#include "common/disc.h"
#include "common/wire.h"

namespace vostrale {
namespace {

constexpr uint32_t kEdcPolynomial = 0xD8018001u; // x^32+x^31+x^16+x^15+x^4+x^3+x+1, reflected
constexpr uint32_t kGfPolynomial = 0x11D;        // x^8+x^4+x^3+x^2+1

// Slice-by-8 tables: [0] is the byte table, [k] advances a byte k further.
struct EdcTables {
    uint32_t v[8][256];
};

constexpr EdcTables MakeEdcTables() {
    EdcTables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t e = i;
        for (int k = 0; k < 8; ++k)
            e = (e & 1) ? (e >> 1) ^ kEdcPolynomial : e >> 1;
        t.v[0][i] = e;
    }
    for (uint32_t k = 1; k < 8; ++k) {
        for (uint32_t i = 0; i < 256; ++i)
            t.v[k][i] = (t.v[k - 1][i] >> 8) ^ t.v[0][t.v[k - 1][i] & 0xFF];
    }
    return t;
}

// GF(2^8) helpers for the ECC: forward[x] = alpha * x, backward[x ^ alpha * x] = x, which lets
// each P/Q code word be finished with two lookups.
struct EccTables {
    uint8_t forward[256];
    uint8_t backward[256];
};

constexpr EccTables MakeEccTables() {
    EccTables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t j = (i << 1) ^ ((i & 0x80) ? kGfPolynomial : 0);
        t.forward[i] = uint8_t(j);
        t.backward[i ^ (j & 0xFF)] = uint8_t(i);
    }
    return t;
}

struct ScramblerTable {
    uint8_t v[kScrambledSize];
};

constexpr ScramblerTable MakeScramblerTable() {
    ScramblerTable t{};
    uint32_t reg = 1;
    for (uint32_t i = 0; i < kScrambledSize; ++i) {
        uint8_t out = 0;
        for (int bit = 0; bit < 8; ++bit) {
            out = uint8_t(out | ((reg & 1) << bit));
            uint32_t feedback = (reg ^ (reg >> 1)) & 1;
            reg = (reg >> 1) | (feedback << 14);
        }
        t.v[i] = out;
    }
    return t;
}

constexpr uint8_t kSync[kSyncSize] = {0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
constexpr EdcTables kEdc = MakeEdcTables();
constexpr EccTables kEcc = MakeEccTables();
constexpr ScramblerTable kScrambler = MakeScramblerTable();

static_assert(kEdc.v[0][1] == 0x90910101u && kEdc.v[0][128] == kEdcPolynomial &&
              kEdc.v[0][255] == 0x7070FF00u);
static_assert(kScrambler.v[0] == 0x01 && kScrambler.v[1] == 0x80 &&
              kScrambler.v[kScrambledSize - 1] == 0x99);

// ECC layout over the bytes from offset 12, counted as in ECMA-130's product code. P has 86
// code words of 24 bytes: code word m takes bytes m + 86 * k, so one row of 86 bytes feeds all
// of them at once. Q has 52 code words of 43 bytes: code word m starts at
// (m >> 1) * 86 + (m & 1) and steps by 88, wrapping at 2236 (bytes 12..2247).
constexpr uint32_t kPMajors = 86;
constexpr uint32_t kPMinors = 24;
constexpr uint32_t kPWords = 11; // 88 bytes per row; the last two lanes are ignored
constexpr uint32_t kQMajors = 52;
constexpr uint32_t kQMinors = 43;
constexpr uint32_t kQMajorStep = 86;
constexpr uint32_t kQMinorStep = 88;
constexpr uint32_t kQSpan = kQMajors * kQMinors;

// Q code words 2j and 2j + 1 read two adjacent bytes, so each of the 43 steps gathers 26 byte
// pairs (never split by the wrap: every start is even) into one row that is then processed
// eight code words at a time.
constexpr uint32_t kQPairs = kQMajors / 2;
constexpr uint32_t kQWords = 7; // 28 pairs per row; the last two are padding

struct QPairTable {
    uint16_t v[kQMinors][kQPairs];
};

constexpr QPairTable MakeQPairTable() {
    QPairTable t{};
    for (uint32_t j = 0; j < kQPairs; ++j) {
        for (uint32_t k = 0; k < kQMinors; ++k)
            t.v[k][j] = uint16_t((j * kQMajorStep + k * kQMinorStep) % kQSpan);
    }
    return t;
}

constexpr QPairTable kQPair = MakeQPairTable();

// Multiplies eight GF(2^8) elements by alpha at once.
inline uint64_t MulAlpha8(uint64_t x) {
    uint64_t high = x & 0x8080808080808080ull;
    uint64_t low = (x & 0x7F7F7F7F7F7F7F7Full) << 1;
    return low ^ ((high >> 7) * (kGfPolynomial & 0xFF));
}

inline uint64_t Load64(const uint8_t* p) {
    uint64_t v;
    __builtin_memcpy(&v, p, sizeof(v));
    return v;
}

// Each code word accumulates a = alpha * (a ^ v) and b ^= v over its bytes; its two parity
// bytes are then a' = backward[alpha * a ^ b] and a' ^ b.
void ComputeP(const uint8_t* src, uint8_t* out) {
    uint64_t a[kPWords] = {};
    uint64_t b[kPWords] = {};
    // The last row's 88-byte read ends at byte 2078 of the sector, inside the buffer.
    for (uint32_t row = 0; row < kPMinors; ++row) {
        const uint8_t* p = src + row * kPMajors;
        for (uint32_t w = 0; w < kPWords; ++w) {
            uint64_t v = Load64(p + 8 * w);
            a[w] = MulAlpha8(a[w] ^ v);
            b[w] ^= v;
        }
    }
    uint8_t aBytes[kPWords * 8];
    uint8_t bBytes[kPWords * 8];
    for (uint32_t w = 0; w < kPWords; ++w) {
        uint64_t fa = MulAlpha8(a[w]);
        __builtin_memcpy(aBytes + 8 * w, &fa, 8);
        __builtin_memcpy(bBytes + 8 * w, &b[w], 8);
    }
    for (uint32_t m = 0; m < kPMajors; ++m) {
        uint8_t parity = kEcc.backward[aBytes[m] ^ bBytes[m]];
        out[m] = parity;
        out[m + kPMajors] = uint8_t(parity ^ bBytes[m]);
    }
}

void ComputeQ(const uint8_t* src, uint8_t* out) {
    uint64_t a[kQWords] = {};
    uint64_t b[kQWords] = {};
    for (uint32_t k = 0; k < kQMinors; ++k) {
        uint16_t row[kQWords * 4] = {};
        for (uint32_t j = 0; j < kQPairs; ++j)
            __builtin_memcpy(&row[j], src + kQPair.v[k][j], 2);
        for (uint32_t w = 0; w < kQWords; ++w) {
            uint64_t v;
            __builtin_memcpy(&v, &row[4 * w], 8);
            a[w] = MulAlpha8(a[w] ^ v);
            b[w] ^= v;
        }
    }
    uint8_t aBytes[kQWords * 8];
    uint8_t bBytes[kQWords * 8];
    for (uint32_t w = 0; w < kQWords; ++w) {
        uint64_t fa = MulAlpha8(a[w]);
        __builtin_memcpy(aBytes + 8 * w, &fa, 8);
        __builtin_memcpy(bBytes + 8 * w, &b[w], 8);
    }
    for (uint32_t m = 0; m < kQMajors; ++m) {
        uint8_t parity = kEcc.backward[aBytes[m] ^ bBytes[m]];
        out[m] = parity;
        out[m + kQMajors] = uint8_t(parity ^ bBytes[m]);
    }
}

uint8_t ToBcd(uint32_t value) {
    return uint8_t(((value / 10) % 10) << 4 | (value % 10));
}

struct FieldRow {
    ReadCdSpan span[32];
};

constexpr ReadCdSpan kInvalid = {0xFFFF, 0xFFFF};

// Field selection index: bit 4 sync, bits 3-2 header code (1 header, 2 sub-header, 3 both),
// bit 1 user data, bit 0 EDC/ECC. That is READ CD byte 9 shifted right by 3.
constexpr uint32_t kSelSync = 0x10;
constexpr uint32_t kSelHeader = 0x04;
constexpr uint32_t kSelSubheader = 0x08;
constexpr uint32_t kSelAll = 0x0C;
constexpr uint32_t kSelUser = 0x02;
constexpr uint32_t kSelEdc = 0x01;

struct FieldCell {
    uint32_t selection;
    uint16_t start;
    uint16_t length;
};

// One data row: everything not listed is invalid.
template <size_t N> constexpr FieldRow MakeRow(const FieldCell (&cells)[N]) {
    FieldRow row{};
    for (uint32_t i = 0; i < 32; ++i)
        row.span[i] = kInvalid;
    for (size_t i = 0; i < N; ++i)
        row.span[cells[i].selection] = ReadCdSpan{cells[i].start, cells[i].length};
    return row;
}

constexpr FieldRow MakeCddaRow() {
    FieldRow row{};
    for (uint32_t i = 0; i < 32; ++i)
        row.span[i] = ReadCdSpan{0, uint16_t(kRawSectorSize)};
    row.span[0] = ReadCdSpan{0, 0};
    row.span[kSelEdc] = kInvalid;
    row.span[kSelSync] = kInvalid;
    row.span[kSelSync | kSelEdc] = kInvalid;
    return row;
}

constexpr FieldCell kMode1Cells[] = {
    {0, 0, 0},
    {kSelUser, 16, 2048},
    {kSelUser | kSelEdc, 16, 2336},
    {kSelHeader, 12, 4},
    {kSelHeader | kSelUser, 12, 2052},
    {kSelHeader | kSelUser | kSelEdc, 12, 2340},
    {kSelSubheader, 0, 0},
    {kSelSubheader | kSelUser, 16, 2048},
    {kSelSubheader | kSelUser | kSelEdc, 16, 2336},
    {kSelAll, 12, 4},
    {kSelAll | kSelUser, 12, 2052},
    {kSelAll | kSelUser | kSelEdc, 12, 2340},
    {kSelSync | kSelHeader, 0, 16},
    {kSelSync | kSelHeader | kSelUser, 0, 2064},
    {kSelSync | kSelHeader | kSelUser | kSelEdc, 0, 2352},
    {kSelSync | kSelAll, 0, 16},
    {kSelSync | kSelAll | kSelUser, 0, 2064},
    {kSelSync | kSelAll | kSelUser | kSelEdc, 0, 2352},
};

// Mode 2 formless has no sub-header: "all headers" is the header alone, so with user data it
// spans the header and the 2336 bytes after it.
constexpr FieldCell kFormlessCells[] = {
    {0, 0, 0},
    {kSelUser, 16, 2336},
    {kSelUser | kSelEdc, 16, 2336},
    {kSelHeader, 12, 4},
    {kSelHeader | kSelUser, 12, 2340},
    {kSelHeader | kSelUser | kSelEdc, 12, 2340},
    {kSelSubheader, 0, 0},
    {kSelSubheader | kSelUser, 16, 2336},
    {kSelSubheader | kSelUser | kSelEdc, 16, 2336},
    {kSelAll, 12, 4},
    {kSelAll | kSelUser, 12, 2340},
    {kSelAll | kSelUser | kSelEdc, 12, 2340},
    {kSelSync | kSelHeader, 0, 16},
    {kSelSync | kSelHeader | kSelUser, 0, 2352},
    {kSelSync | kSelHeader | kSelUser | kSelEdc, 0, 2352},
    {kSelSync | kSelAll, 0, 16},
    {kSelSync | kSelAll | kSelUser, 0, 2352},
    {kSelSync | kSelAll | kSelUser | kSelEdc, 0, 2352},
};

constexpr FieldCell kForm1Cells[] = {
    {0, 0, 0},
    {kSelUser, 24, 2048},
    {kSelUser | kSelEdc, 24, 2328},
    {kSelHeader, 12, 4},
    {kSelSubheader, 16, 8},
    {kSelSubheader | kSelUser, 16, 2056},
    {kSelSubheader | kSelUser | kSelEdc, 16, 2336},
    {kSelAll, 12, 12},
    {kSelAll | kSelUser, 12, 2060},
    {kSelAll | kSelUser | kSelEdc, 12, 2340},
    {kSelSync | kSelHeader, 0, 16},
    {kSelSync | kSelAll, 0, 24},
    {kSelSync | kSelAll | kSelUser, 0, 2072},
    {kSelSync | kSelAll | kSelUser | kSelEdc, 0, 2352},
};

constexpr FieldCell kForm2Cells[] = {
    {0, 0, 0},
    {kSelUser, 24, 2328},
    {kSelUser | kSelEdc, 24, 2328},
    {kSelHeader, 12, 4},
    {kSelSubheader, 16, 8},
    {kSelSubheader | kSelUser, 16, 2336},
    {kSelSubheader | kSelUser | kSelEdc, 16, 2336},
    {kSelAll, 12, 12},
    {kSelAll | kSelUser, 12, 2340},
    {kSelAll | kSelUser | kSelEdc, 12, 2340},
    {kSelSync | kSelHeader, 0, 16},
    {kSelSync | kSelAll, 0, 24},
    {kSelSync | kSelAll | kSelUser, 0, 2352},
    {kSelSync | kSelAll | kSelUser | kSelEdc, 0, 2352},
};

// Rows in SectorType order from CD-DA (1) to Form 2 (5).
constexpr FieldRow kFieldTable[5] = {
    MakeCddaRow(),        MakeRow(kMode1Cells), MakeRow(kFormlessCells),
    MakeRow(kForm1Cells), MakeRow(kForm2Cells),
};

} // namespace

uint32_t SectorEdc(uint32_t edc, const uint8_t* data, size_t length) {
    while (length >= 8) {
        uint32_t lo = edc ^ LoadLe32(data);
        uint32_t hi = LoadLe32(data + 4);
        edc = kEdc.v[7][lo & 0xFF] ^ kEdc.v[6][(lo >> 8) & 0xFF] ^ kEdc.v[5][(lo >> 16) & 0xFF] ^
              kEdc.v[4][lo >> 24] ^ kEdc.v[3][hi & 0xFF] ^ kEdc.v[2][(hi >> 8) & 0xFF] ^
              kEdc.v[1][(hi >> 16) & 0xFF] ^ kEdc.v[0][hi >> 24];
        data += 8;
        length -= 8;
    }
    while (length--)
        edc = (edc >> 8) ^ kEdc.v[0][(edc ^ *data++) & 0xFF];
    return edc;
}

void WriteSync(uint8_t* sector) {
    sector[0] = 0;
    FillBytes(sector + 1, 0xFF, 10);
    sector[kSyncSize - 1] = 0;
}

bool HasSync(const uint8_t* sector) {
    return CompareBytes(sector, kSync, kSyncSize) == 0;
}

void WriteHeader(uint8_t* sector, int32_t lba, uint8_t mode) {
    Msf msf = LbaToMsf(lba);
    uint8_t* h = sector + kHeaderOffset;
    h[0] = ToBcd(msf.minute);
    h[1] = ToBcd(msf.second);
    h[2] = ToBcd(msf.frame);
    h[3] = mode;
}

void WriteSubheader(uint8_t* sector, bool form2) {
    uint8_t* s = sector + kSubheaderOffset;
    ZeroBytes(s, kSubheaderSize);
    if (form2) {
        s[2] = uint8_t(kSubmodeForm2);
        s[6] = uint8_t(kSubmodeForm2);
    }
}

void WriteEccPq(uint8_t* sector) {
    ComputeP(sector + kHeaderOffset, sector + kEccPOffset);
    ComputeQ(sector + kHeaderOffset, sector + kEccQOffset);
}

void WriteEdcEcc(uint8_t* sector, uint8_t sectorType) {
    switch (sectorType) {
    case kSectorMode1:
        StoreLe32(sector + kMode1EdcOffset, SectorEdc(0, sector, kMode1EdcOffset));
        ZeroBytes(sector + kMode1ZeroOffset, kEccPOffset - kMode1ZeroOffset);
        WriteEccPq(sector);
        break;
    case kSectorMode2Form1: {
        StoreLe32(sector + kForm1EdcOffset,
                  SectorEdc(0, sector + kSubheaderOffset, kForm1EdcOffset - kSubheaderOffset));
        // Form 1 parity treats the header as zero, so that it survives re-addressing.
        uint8_t header[kHeaderSize];
        CopyBytes(header, sector + kHeaderOffset, kHeaderSize);
        ZeroBytes(sector + kHeaderOffset, kHeaderSize);
        WriteEccPq(sector);
        CopyBytes(sector + kHeaderOffset, header, kHeaderSize);
        break;
    }
    case kSectorMode2Form2:
        StoreLe32(sector + kForm2EdcOffset,
                  SectorEdc(0, sector + kSubheaderOffset, kForm2EdcOffset - kSubheaderOffset));
        break;
    default:
        break;
    }
}

uint32_t UserDataSizeOf(uint8_t sectorType) {
    switch (sectorType) {
    case kSectorCdda:
        return kRawSectorSize;
    case kSectorMode1:
    case kSectorMode2Form1:
        return kUserDataSize;
    case kSectorMode2Formless:
        return kMode2FormlessUserSize;
    case kSectorMode2Form2:
        return kForm2UserSize;
    default:
        return 0;
    }
}

bool BuildRawSector(uint8_t* sector, int32_t lba, uint8_t sectorType, const uint8_t* userData) {
    uint32_t userSize = UserDataSizeOf(sectorType);
    if (userSize == 0)
        return false;
    if (sectorType == kSectorCdda) {
        CopyBytes(sector, userData, kRawSectorSize);
        return true;
    }
    WriteSync(sector);
    WriteHeader(sector, lba, sectorType == kSectorMode1 ? 1 : 2);
    uint32_t userOffset = kMode1UserOffset;
    if (sectorType == kSectorMode2Form1 || sectorType == kSectorMode2Form2) {
        WriteSubheader(sector, sectorType == kSectorMode2Form2);
        userOffset = kMode2UserOffset;
    }
    CopyBytes(sector + userOffset, userData, userSize);
    if (sectorType == kSectorMode2Form2)
        ZeroBytes(sector + kForm2EdcOffset, 4);
    WriteEdcEcc(sector, sectorType);
    return true;
}

uint8_t DetectSectorType(const uint8_t* sector) {
    return SectorTypeOf(sector);
}

#ifndef VOSTRALE_KERNEL
SectorCheck CheckRawSector(const uint8_t* sector) {
    if (!HasSync(sector))
        return kSectorCheckNoSync;
    uint8_t type = DetectSectorType(sector);
    uint8_t copy[kRawSectorSize];
    CopyBytes(copy, sector, kRawSectorSize);
    switch (type) {
    case kSectorMode1:
    case kSectorMode2Form1: {
        WriteEdcEcc(copy, type);
        uint32_t edcOffset = type == kSectorMode1 ? kMode1EdcOffset : kForm1EdcOffset;
        if (CompareBytes(copy + edcOffset, sector + edcOffset, 4) != 0)
            return kSectorCheckBadEdc;
        if (CompareBytes(copy + kEccPOffset, sector + kEccPOffset, kEccPSize + kEccQSize) != 0)
            return kSectorCheckBadEcc;
        return kSectorCheckOk;
    }
    case kSectorMode2Form2: {
        uint32_t stored = LoadLe32(sector + kForm2EdcOffset);
        if (stored == 0)
            return kSectorCheckOk;
        uint32_t edc = SectorEdc(0, sector + kSubheaderOffset, kForm2EdcOffset - kSubheaderOffset);
        return edc == stored ? kSectorCheckOk : kSectorCheckBadEdc;
    }
    default:
        return kSectorCheckBadMode;
    }
}
#endif

void ScrambleSector(uint8_t* sector) {
    uint8_t* p = sector + kSyncSize;
    for (uint32_t i = 0; i < kScrambledSize; ++i)
        p[i] ^= kScrambler.v[i];
}

const uint8_t* ScramblerSequence() {
    return kScrambler.v;
}

bool ReadCdFieldSpan(uint8_t sectorType, uint8_t fieldByte, ReadCdSpan* span) {
    uint32_t row = sectorType <= kSectorCdda ? 0 : uint32_t(sectorType) - kSectorCdda;
    if (row >= CountOf(kFieldTable))
        return false;
    ReadCdSpan s = kFieldTable[row].span[(fieldByte >> 3) & 0x1F];
    if (s.start == kInvalid.start)
        return false;
    *span = s;
    return true;
}

void InterleaveSubchannel(const uint8_t* linear96, uint8_t* raw96) {
    for (uint32_t k = 0; k < kSubchannelChannelSize; ++k) {
        for (uint32_t j = 0; j < 8; ++j) {
            uint8_t out = 0;
            for (uint32_t c = 0; c < 8; ++c) {
                if (linear96[c * kSubchannelChannelSize + k] & (0x80 >> j))
                    out = uint8_t(out | (0x80 >> c));
            }
            raw96[8 * k + j] = out;
        }
    }
}

void DeinterleaveSubchannel(const uint8_t* raw96, uint8_t* linear96) {
    ZeroBytes(linear96, kSubchannelSize);
    for (uint32_t k = 0; k < kSubchannelChannelSize; ++k) {
        for (uint32_t j = 0; j < 8; ++j) {
            uint8_t in = raw96[8 * k + j];
            for (uint32_t c = 0; c < 8; ++c) {
                if (in & (0x80 >> c))
                    linear96[c * kSubchannelChannelSize + k] |= uint8_t(0x80 >> j);
            }
        }
    }
}

void FormattedQFromLinear(const uint8_t* linear96, uint8_t* out16) {
    constexpr uint32_t kQChannel = 1;
    CopyBytes(out16, linear96 + kQChannel * kSubchannelChannelSize, kSubchannelChannelSize);
    ZeroBytes(out16 + kSubchannelChannelSize, 3);
    out16[kFormattedQSize - 1] = linear96[0] != 0 ? 0x80 : 0;
}

} // namespace vostrale
