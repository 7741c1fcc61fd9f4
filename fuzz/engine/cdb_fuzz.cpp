// The CDB dispatcher over arbitrary commands on a mounted sample disc: a CD with a data run,
// an audio run, a gap run, a full TOC and CD-Text. Each input is a sequence of records:
// 16 CDB bytes, a 16-bit transfer length, and a flag byte (bit 0: advance the clock 4 s).
#include "driver/host/host_adapter.h"
#include "driver/host/host_services.h"
#include "fuzz/engine/fuzz_disc.h"

namespace {

using namespace vostrale;

struct Fixture {
    HostAdapter adapter;
    std::vector<uint8_t> table;
    std::vector<uint8_t> toc;
    std::vector<uint8_t> cdText;

    MountRecord Record() {
        MountRecord r{};
        r.imageHandle = fuzz::SampleImage();
        r.bytesPerSector = 2352;
        r.mediumKind = kMediumCd;
        r.readerKind = kReaderNrg;
        r.sessions = 1;
        r.totalSectors = 60;
        r.trackTable = uint64_t(uintptr_t(table.data()));
        r.fullToc = uint64_t(uintptr_t(toc.data()));
        r.cdText = uint64_t(uintptr_t(cdText.data()));
        return r;
    }

    Fixture() {
        table.assign(4 + 3 * 24, 0);
        StoreLe16(table.data(), 3);
        auto put = [&](int i, uint8_t type, uint8_t parts, uint32_t first, uint32_t end,
                       uint32_t stride, uint64_t offset) {
            uint8_t* e = table.data() + 4 + 24 * i;
            e[0] = type;
            e[1] = parts;
            StoreLe32(e + 4, first);
            StoreLe32(e + 8, end);
            StoreLe32(e + 12, stride);
            StoreLe64(e + 16, offset);
        };
        put(0, kSectorMode1, 0x0F, 0, 16, 2352, 0);
        put(1, kSectorMode1, 0, 16, 20, 0, 0);
        put(2, kSectorCdda, 0, 20, 52, 2352, 16 * 2352); // the file ends at 48: short reads
        toc.resize(FullTocSize(5));
        uint32_t starts[2] = {0, 20};
        WriteSingleSessionToc(starts, 2, 60, 0x14, 0, toc.data());
        cdText.assign(4 + 18, 0x20);
        StoreBe16(cdText.data(), 20);
        Mount();
    }
    void Mount() {
        std::vector<uint8_t> b(16 + sizeof(MountRecord));
        StoreLe32(b.data(), kControlMagic);
        StoreLe32(b.data() + 4, kCtlMount);
        StoreLe32(b.data() + 8, sizeof(MountRecord));
        MountRecord r = Record();
        std::memcpy(b.data() + 16, &r, sizeof(r));
        if (!adapter.Control(b.data(), b.size()))
            std::abort();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Fixture* fixture = new Fixture();
    std::vector<uint8_t> buffer;
    constexpr size_t kRecord = 19;
    for (size_t off = 0; size - off >= kRecord; off += kRecord) {
        uint16_t length = LoadLe16(data + off + 16);
        buffer.assign(length, 0);
        fixture->adapter.Scsi(0, 0, 0, data + off, 16, length ? buffer.data() : nullptr, length);
        if (data[off + 18] & 1)
            host::AdvanceClock(4000);
    }
    // Leave the drive loaded and ready for the next input.
    const uint8_t load[6] = {0x1B, 0, 0, 0, 0x03, 0};
    fixture->adapter.Scsi(0, 0, 0, load, 6, nullptr, 0);
    return 0;
}
