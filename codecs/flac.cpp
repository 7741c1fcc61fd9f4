#include "codecs/flac.h"
#include "codecs/flac_lpc.h"

#include "common/bytes.h"

// Rice codes may be decoded with LZCNT and BMI2 after checking the CPU: instructions on the
// general registers, which the driver may use as freely as user mode.
#if defined(__x86_64__) && defined(__GNUC__) &&                                                    \
    !(defined(VOSTRALE_SCALAR_CODECS) && VOSTRALE_SCALAR_CODECS)
#include <cpuid.h>
#define VOSTRALE_FLAC_FAST_BITS 1
namespace vostrale {
namespace {
bool g_fastBitsAllowed = true; // FlacAllowBitInstructions
} // namespace
} // namespace vostrale
#else
#define VOSTRALE_FLAC_FAST_BITS 0
#endif

namespace vostrale {
namespace {

constexpr uint32_t kFrameSync = 0x7FFC; // 14-bit sync 0x3FFE followed by the reserved 0 bit
constexpr uint32_t kMaxFixedOrder = 4;
constexpr uint32_t kMaxLpcOrder = flac::kMaxLpcOrder;
constexpr uint32_t kLpcPrecisionInvalid = 15;
constexpr uint32_t kSubframeConstant = 0;
constexpr uint32_t kSubframeVerbatim = 1;
constexpr uint32_t kSubframeFixedFirst = 8;
constexpr uint32_t kSubframeFixedLast = 12;
constexpr uint32_t kSubframeLpcFirst = 32;

// Most-significant-bit-first reader over one buffer. The cache is left-aligned; bits past
// m_count are either zero or the true following bits, so refills may OR whole words in.
// Reading past the end sets m_over and yields zeros from then on.
class BitReader {
  public:
    BitReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    bool Over() const { return m_over; }

    // Bytes consumed so far, counting a partial byte as consumed.
    size_t BytePosition() const { return m_next - m_count / 8; }

    void AlignToByte() { Skip(m_count % 8); }

    uint32_t Read(uint32_t n) {
        if (n == 0)
            return 0;
        if (m_count < n && !Refill(n))
            return 0;
        uint32_t v = uint32_t(m_cache >> (64 - n));
        m_cache <<= n;
        m_count -= n;
        return v;
    }

    int32_t ReadSigned(uint32_t n) {
        if (n == 0)
            return 0;
        uint32_t v = Read(n);
        uint32_t shift = 32 - n;
        return int32_t(v << shift) >> shift;
    }

    void Skip(uint32_t n) {
        while (n > 32) {
            Read(32);
            n -= 32;
        }
        Read(n);
    }

    // Zero bits before the next 1 bit (which is consumed). Fails at the end of the data.
    uint32_t ReadUnary() {
        uint32_t zeros = 0;
        for (;;) {
            if (m_count == 0 && !Refill(1))
                return 0;
            if (m_cache != 0) {
                uint32_t lz = uint32_t(__builtin_clzll(m_cache));
                if (lz < m_count) {
                    m_cache <<= lz;
                    m_cache <<= 1;
                    m_count -= lz + 1;
                    return zeros + lz;
                }
            }
            // Every valid bit is zero: drop them; bits beyond m_count come back on refill.
            zeros += m_count;
            m_cache = 0;
            m_count = 0;
        }
    }

    // Decodes `count` Rice codes with parameter k into out (zig-zag folded). False at the end
    // of the data. While eight bytes remain, every code starts with a branch-free refill to at
    // least 56 bits, and a code that fits them (nearly all) is cut out with one count of
    // leading zeros and two shifts; any other code goes the general way.
    bool ReadRiceBlock(int32_t* out, uint32_t count, uint32_t k) {
#if VOSTRALE_FLAC_FAST_BITS
        if (g_fastBitsAllowed && HostHasFastBits())
            return ReadRiceBlockFastBits(out, count, k);
#endif
        return ReadRiceBlockAs(out, count, k);
    }

#if VOSTRALE_FLAC_FAST_BITS
    // The same with LZCNT and BMI2 shifts (one-cycle count and shifts without CL), on CPUs
    // that have them.
    __attribute__((target("lzcnt,bmi2"))) bool ReadRiceBlockFastBits(int32_t* out, uint32_t count,
                                                                     uint32_t k) {
        return ReadRiceBlockAs(out, count, k);
    }

    // Asked once (CPUID is slow under a hypervisor); a race only asks twice.
    static bool HostHasFastBits() {
        static int known; // 0: not asked yet, 1: yes, 2: no
        int answer = __atomic_load_n(&known, __ATOMIC_RELAXED);
        if (answer == 0) {
            unsigned a = 0, b = 0, c = 0, d = 0;
            bool has = __get_cpuid(0x80000001u, &a, &b, &c, &d) && (c & (1u << 5)) && // LZCNT
                       __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & (1u << 8)) != 0; // BMI2
            answer = has ? 1 : 2;
            __atomic_store_n(&known, answer, __ATOMIC_RELAXED);
        }
        return answer == 1;
    }
#endif

    __attribute__((always_inline)) inline bool ReadRiceBlockAs(int32_t* out, uint32_t count,
                                                               uint32_t k) {
        const size_t fastEnd = m_size >= 8 ? m_size - 8 : 0;
        const bool fastPossible = m_size >= 8;
        uint64_t cache = m_cache;
        uint32_t have = m_count;
        size_t next = m_next;
        uint32_t i = 0;
        while (i < count) {
            if (fastPossible && next <= fastEnd) {
                // The next eight bytes are loaded one code ahead, so the load is not part of
                // the chain from one code's length to the next code's start.
                uint64_t ahead = LoadBe64(m_data + next);
                bool general = false;
                for (;;) {
                    cache |= ahead >> have;
                    next += (63 - have) >> 3;
                    have |= 56; // 56 + have % 8: whole bytes were added
                    const uint32_t lz = uint32_t(__builtin_clzll(cache | 1));
                    if (lz + 1 + k > have) {
                        general = true;
                        break;
                    }
                    const uint64_t top = cache << lz; // the terminating 1 bit at the top
                    // (1 << k | r) - (1 << k) + (q << k), wrapping as (q << k) | r does
                    const uint32_t u = uint32_t(top >> (63 - k)) - (uint32_t(1) << k) + (lz << k);
                    cache = top << (k + 1);
                    have -= lz + 1 + k;
                    out[i++] = int32_t(u >> 1) ^ -int32_t(u & 1);
                    if (i == count || next > fastEnd)
                        break;
                    ahead = LoadBe64(m_data + next);
                }
                if (!general)
                    continue;
            }
            m_cache = cache;
            m_count = have;
            m_next = next;
            const uint32_t q = ReadUnary();
            const uint32_t r = Read(k);
            if (m_over)
                return false;
            const uint32_t u = (q << k) | r; // wraps only for streams that are broken anyway
            out[i++] = int32_t(u >> 1) ^ -int32_t(u & 1);
            cache = m_cache;
            have = m_count;
            next = m_next;
        }
        m_cache = cache;
        m_count = have;
        m_next = next;
        return true;
    }

  private:
    // Brings at least `need` (<= 57) bits into the cache. False (and the end flag) when the
    // data runs out first.
    bool Refill(uint32_t need) {
        if (m_size - m_next >= 8) {
            uint64_t word = LoadBe64(m_data + m_next);
            m_cache |= word >> m_count;
            uint32_t take = (63 - m_count) >> 3;
            m_next += take;
            m_count += take * 8;
        } else {
            while (m_count <= 56 && m_next < m_size) {
                m_cache |= uint64_t(m_data[m_next++]) << (56 - m_count);
                m_count += 8;
            }
        }
        if (m_count >= need)
            return true;
        m_over = true;
        m_cache = 0;
        m_count = 0;
        m_next = m_size;
        return false;
    }

    const uint8_t* m_data;
    size_t m_size;
    size_t m_next = 0; // next byte not yet counted in m_count
    uint64_t m_cache = 0;
    uint32_t m_count = 0;
    bool m_over = false;
};

constexpr uint32_t kSampleRates[12] = {0,     88200, 176400, 192000, 8000,  16000,
                                       22050, 24000, 32000,  44100,  48000, 96000};
// Sample size codes; 0 = from the stream, -1 = reserved. Code 7 is 32 bits.
constexpr int32_t kSampleSizes[8] = {0, 8, 12, -1, 16, 20, 24, 32};

bool ReadFrameHeader(BitReader* br, uint32_t streamBits, FlacFrameInfo* info) {
    if (br->Read(15) != kFrameSync || br->Over())
        return false;
    info->variableBlocking = br->Read(1) != 0;
    uint32_t blockCode = br->Read(4);
    uint32_t rateCode = br->Read(4);
    uint32_t assignment = br->Read(4);
    uint32_t sizeCode = br->Read(3);
    if (br->Read(1) != 0)
        return false;

    if (assignment <= 7)
        info->channels = assignment + 1;
    else if (assignment <= kFlacMidSide)
        info->channels = 2;
    else
        return false;
    info->assignment = assignment;

    int32_t bits = kSampleSizes[sizeCode];
    if (bits < 0)
        return false;
    info->bitsPerSample = bits == 0 ? streamBits : uint32_t(bits);
    if (info->bitsPerSample == 0 || info->bitsPerSample > kFlacMaxBitsPerSample)
        return false;

    // Frame or sample number, UTF-8-style: n leading 1 bits give n - 1 continuation bytes.
    uint32_t first = br->Read(8);
    uint32_t ones = 0;
    while (ones < 8 && (first & (0x80u >> ones)))
        ++ones;
    if (ones == 1 || ones > 7)
        return false;
    uint64_t number = ones == 0 ? first : first & ((1u << (7 - ones)) - 1);
    for (uint32_t i = 1; i < ones; ++i) {
        uint32_t next = br->Read(8);
        if ((next & 0xC0) != 0x80)
            return false;
        number = (number << 6) | (next & 0x3F);
    }
    info->number = number;

    if (blockCode == 0)
        return false;
    if (blockCode == 1)
        info->blockSize = 192;
    else if (blockCode <= 5)
        info->blockSize = 576u << (blockCode - 2);
    else if (blockCode == 6)
        info->blockSize = br->Read(8) + 1;
    else if (blockCode == 7)
        info->blockSize = br->Read(16) + 1;
    else
        info->blockSize = 256u << (blockCode - 8);

    if (rateCode < 12)
        info->sampleRate = kSampleRates[rateCode];
    else if (rateCode == 12)
        info->sampleRate = br->Read(8) * 1000;
    else if (rateCode == 13)
        info->sampleRate = br->Read(16);
    else if (rateCode == 14)
        info->sampleRate = br->Read(16) * 10;
    else
        return false;

    br->Skip(8); // CRC-8
    return !br->Over();
}

bool ReadResidual(BitReader* br, int32_t* out, uint32_t blockSize, uint32_t order) {
    uint32_t method = br->Read(2);
    if (method > 1)
        return false;
    const uint32_t paramBits = method == 0 ? 4 : 5;
    const uint32_t escape = method == 0 ? 15 : 31;
    uint32_t partitionOrder = br->Read(4);
    uint32_t partitionSize = blockSize >> partitionOrder;
    if ((partitionSize << partitionOrder) != blockSize || partitionSize < order)
        return false;
    uint32_t partitions = 1u << partitionOrder;
    for (uint32_t p = 0; p < partitions; ++p) {
        uint32_t count = p == 0 ? partitionSize - order : partitionSize;
        uint32_t param = br->Read(paramBits);
        if (param == escape) {
            uint32_t width = br->Read(5);
            if (width == 0) {
                ZeroBytes(out, size_t(count) * sizeof(int32_t));
            } else {
                for (uint32_t i = 0; i < count; ++i)
                    out[i] = br->ReadSigned(width);
            }
        } else if (!br->ReadRiceBlock(out, count, param)) {
            return false;
        }
        if (br->Over())
            return false;
        out += count;
    }
    return true;
}

void RestoreFixed(int32_t* s, uint32_t blockSize, uint32_t order) {
    // Unsigned arithmetic: exact modulo 2^32, which is all a valid stream needs.
    uint32_t* x = reinterpret_cast<uint32_t*>(s);
    switch (order) {
    case 1:
        for (uint32_t i = 1; i < blockSize; ++i)
            x[i] += x[i - 1];
        break;
    case 2:
        for (uint32_t i = 2; i < blockSize; ++i)
            x[i] += 2 * x[i - 1] - x[i - 2];
        break;
    case 3:
        for (uint32_t i = 3; i < blockSize; ++i)
            x[i] += 3 * x[i - 1] - 3 * x[i - 2] + x[i - 3];
        break;
    case 4:
        for (uint32_t i = 4; i < blockSize; ++i)
            x[i] += 4 * x[i - 1] - 6 * x[i - 2] + 4 * x[i - 3] - x[i - 4];
        break;
    default:
        break;
    }
}

bool ReadSubframe(BitReader* br, int32_t* out, uint32_t blockSize, uint32_t bits) {
    if (br->Read(1) != 0)
        return false;
    uint32_t type = br->Read(6);
    uint32_t wasted = 0;
    if (br->Read(1)) {
        wasted = br->ReadUnary() + 1;
        if (br->Over() || wasted >= bits)
            return false;
        bits -= wasted;
    }
    if (bits > kFlacMaxBitsPerSample)
        return false;

    if (type == kSubframeConstant) {
        int32_t v = br->ReadSigned(bits);
        for (uint32_t i = 0; i < blockSize; ++i)
            out[i] = v;
    } else if (type == kSubframeVerbatim) {
        for (uint32_t i = 0; i < blockSize; ++i)
            out[i] = br->ReadSigned(bits);
    } else if (type >= kSubframeFixedFirst && type <= kSubframeFixedLast) {
        uint32_t order = type - kSubframeFixedFirst;
        if (order > kMaxFixedOrder || order > blockSize)
            return false;
        for (uint32_t i = 0; i < order; ++i)
            out[i] = br->ReadSigned(bits);
        if (!ReadResidual(br, out + order, blockSize, order))
            return false;
        RestoreFixed(out, blockSize, order);
    } else if (type >= kSubframeLpcFirst) {
        uint32_t order = type - kSubframeLpcFirst + 1;
        if (order > kMaxLpcOrder || order > blockSize)
            return false;
        for (uint32_t i = 0; i < order; ++i)
            out[i] = br->ReadSigned(bits);
        uint32_t precisionCode = br->Read(4);
        if (precisionCode == kLpcPrecisionInvalid)
            return false;
        uint32_t precision = precisionCode + 1;
        int32_t shift = br->ReadSigned(5);
        if (shift < 0)
            return false;
        int32_t coefs[kMaxLpcOrder];
        for (uint32_t j = 0; j < order; ++j)
            coefs[j] = br->ReadSigned(precision);
        if (!ReadResidual(br, out + order, blockSize, order))
            return false;
        flac::RestoreLpc(out, blockSize, order, coefs, uint32_t(shift), bits);
    } else {
        return false;
    }
    if (br->Over())
        return false;
    if (wasted) {
        for (uint32_t i = 0; i < blockSize; ++i)
            out[i] = int32_t(uint32_t(out[i]) << wasted);
    }
    return true;
}

// Undoes the stereo decorrelation (assignment 8, 9 or 10) in place, modulo 2^32.
void Decorrelate(uint32_t assignment, int32_t* a, int32_t* b, uint32_t n) {
    uint32_t i = 0;
#if VOSTRALE_CODECS_SSE2
    for (; i + 4 <= n; i += 4) {
        __m128i* pa = reinterpret_cast<__m128i*>(a + i);
        __m128i* pb = reinterpret_cast<__m128i*>(b + i);
        const __m128i va = _mm_loadu_si128(pa);
        const __m128i vb = _mm_loadu_si128(pb);
        if (assignment == kFlacLeftSide) {
            _mm_storeu_si128(pb, _mm_sub_epi32(va, vb));
        } else if (assignment == kFlacRightSide) {
            _mm_storeu_si128(pa, _mm_add_epi32(va, vb));
        } else {
            const __m128i t = _mm_sub_epi32(va, _mm_srai_epi32(vb, 1));
            _mm_storeu_si128(pa, _mm_add_epi32(t, vb));
            _mm_storeu_si128(pb, t);
        }
    }
#endif
    for (; i < n; ++i) {
        if (assignment == kFlacLeftSide) {
            b[i] = int32_t(uint32_t(a[i]) - uint32_t(b[i]));
        } else if (assignment == kFlacRightSide) {
            a[i] = int32_t(uint32_t(a[i]) + uint32_t(b[i]));
        } else {
            int32_t side = b[i];
            uint32_t t = uint32_t(a[i]) - uint32_t(side >> 1);
            a[i] = int32_t(t + uint32_t(side));
            b[i] = int32_t(t);
        }
    }
}

// Interleaves the low 16 bits of each channel's samples as little-endian stereo PCM.
void StoreStereo16(uint8_t* out, const int32_t* left, const int32_t* right, uint32_t n) {
    uint32_t i = 0;
#if VOSTRALE_CODECS_SSE2
    // Sign-extending the low half first makes the saturating pack a plain truncation.
    auto low16 = [](const int32_t* p) {
        const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4));
        return _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(v0, 16), 16),
                               _mm_srai_epi32(_mm_slli_epi32(v1, 16), 16));
    };
    for (; i + 8 <= n; i += 8) {
        const __m128i l = low16(left + i);
        const __m128i r = low16(right + i);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * i), _mm_unpacklo_epi16(l, r));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * i + 16), _mm_unpackhi_epi16(l, r));
    }
#endif
    for (; i < n; ++i) {
        StoreLe16(out + 4 * i, uint16_t(left[i]));
        StoreLe16(out + 4 * i + 2, uint16_t(right[i]));
    }
}

} // namespace

size_t DecodeFlacFrame(const uint8_t* data, size_t size, uint32_t streamBitsPerSample,
                       int32_t* const* channelBuffers, uint32_t bufferCount, uint32_t capacity,
                       FlacFrameInfo* info) {
    BitReader br(data, size);
    FlacFrameInfo header;
    if (!ReadFrameHeader(&br, streamBitsPerSample, &header))
        return 0;
    if (header.channels > bufferCount || header.blockSize > capacity)
        return 0;
    const uint32_t n = header.blockSize;
    for (uint32_t c = 0; c < header.channels; ++c) {
        uint32_t bits = header.bitsPerSample;
        // The side channel carries one extra bit.
        if ((header.assignment == kFlacLeftSide && c == 1) ||
            (header.assignment == kFlacRightSide && c == 0) ||
            (header.assignment == kFlacMidSide && c == 1))
            ++bits;
        if (!ReadSubframe(&br, channelBuffers[c], n, bits))
            return 0;
    }
    br.AlignToByte();
    br.Skip(16); // CRC-16
    if (br.Over())
        return 0;

    int32_t* a = header.channels >= 2 ? channelBuffers[0] : nullptr;
    int32_t* b = header.channels >= 2 ? channelBuffers[1] : nullptr;
    if (header.assignment >= kFlacLeftSide)
        Decorrelate(header.assignment, a, b, n);
    *info = header;
    return br.BytePosition();
}

void FlacAllowBitInstructions(bool allow) {
#if VOSTRALE_FLAC_FAST_BITS
    g_fastBitsAllowed = allow;
#else
    (void)allow;
#endif
}

uint32_t DecodeFlacGroup(const uint8_t* group, size_t groupSize, uint32_t frameCount,
                         const FlacStreamParams& params, int32_t* left, int32_t* right,
                         uint8_t* pcm, uint32_t pcmCapacity) {
    constexpr uint32_t kBytesPerSampleFrame = 4;
    if (params.channels != 2 || params.bitsPerSample != 16 || params.blockSize == 0 ||
        params.blockSize > kFlacMaxBlockSize)
        return 0;
    int32_t* buffers[2] = {left, right};
    size_t offset = 0;
    uint32_t written = 0;
    for (uint32_t f = 0; f < frameCount; ++f) {
        FlacFrameInfo info;
        size_t used = DecodeFlacFrame(group + offset, groupSize - offset, params.bitsPerSample,
                                      buffers, 2, params.blockSize, &info);
        if (used == 0 || info.channels != 2 || info.bitsPerSample != 16)
            return 0;
        // A short block ends a fixed-block-size stream; one in mid-group would shift every
        // later sample.
        if (info.blockSize != params.blockSize && f + 1 != frameCount)
            return 0;
        if (pcmCapacity - written < info.blockSize)
            return 0;
        StoreStereo16(pcm + size_t(written) * kBytesPerSampleFrame, left, right, info.blockSize);
        written += info.blockSize;
        offset += used;
    }
    return written;
}

} // namespace vostrale
