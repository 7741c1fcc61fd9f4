#include "common/disc.h"

#include "common/bytes.h"
#include "common/wire.h"

namespace vostrale {

Msf LbaToMsf(int32_t lba) {
    // int64 so that extreme inputs cannot overflow; every valid result fits a byte.
    int64_t value = int64_t(lba) + (lba < -150 ? 450150 : 150);
    if (value < 0)
        value = 0;
    Msf msf;
    msf.minute = uint8_t(value / 4500);
    msf.second = uint8_t((value / 75) % 60);
    msf.frame = uint8_t(value % 75);
    return msf;
}

uint8_t SectorTypeOf(const uint8_t* s) {
    if (s[0] != 0 || s[11] != 0)
        return kSectorUnknown;
    for (int i = 1; i <= 10; ++i) {
        if (s[i] != 0xFF)
            return kSectorUnknown;
    }
    switch (s[15]) {
    case 1:
        return kSectorMode1;
    case 2:
        return (s[18] & 0x20) ? kSectorMode2Form2 : kSectorMode2Form1;
    default:
        return kSectorUnknown;
    }
}

uint8_t Mode2TypeOfSubheader(const uint8_t* subheader) {
    return (subheader[2] & 0x20) ? kSectorMode2Form2 : kSectorMode2Form1;
}

static void PutDescriptor(uint8_t* d, uint8_t adrControl, uint8_t point, uint8_t pmin, uint8_t psec,
                          uint8_t pframe) {
    ZeroBytes(d, kTocDescriptorSize);
    d[0] = 1;
    d[1] = adrControl;
    d[3] = point;
    d[8] = pmin;
    d[9] = psec;
    d[10] = pframe;
}

void WriteSingleSessionToc(const uint32_t* trackStarts, uint32_t trackCount, uint32_t totalSectors,
                           uint8_t adrControl, uint8_t discType, uint8_t* out) {
    const uint32_t n = trackCount + 3;
    StoreBe16(out, uint16_t(kTocDescriptorSize * n + 2));
    out[2] = 1;
    out[3] = 1;
    uint8_t* d = out + kTocHeaderSize;
    PutDescriptor(d, adrControl, kTocPointFirstTrack, 1, discType, 0);
    PutDescriptor(d + 11, adrControl, kTocPointLastTrack, uint8_t(trackCount), 0, 0);
    Msf end = LbaToMsf(int32_t(totalSectors));
    PutDescriptor(d + 22, adrControl, kTocPointLeadOut, end.minute, end.second, end.frame);
    for (uint32_t k = 0; k < trackCount; ++k) {
        Msf m = LbaToMsf(int32_t(trackStarts[k]));
        PutDescriptor(d + 33 + 11 * k, adrControl, uint8_t(k + 1), m.minute, m.second, m.frame);
    }
}

int32_t FullTocDescriptorCount(const uint8_t* block, uint32_t size) {
    if (size < kTocHeaderSize)
        return -1;
    uint32_t length = LoadBe16(block);
    if (length < 2 || (length - 2) % kTocDescriptorSize != 0 || uint64_t(length) + 2 > size)
        return -1;
    return int32_t((length - 2) / kTocDescriptorSize);
}

} // namespace vostrale
