// The volume reader and classification over whole small images held in memory.
#include "common/bytes.h"
#include "formats/udf_reader.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// The image as 2048-byte sectors; the last partial sector is not part of it.
class MemoryDevice final : public vostrale::BlockCommandDevice {
  public:
    MemoryDevice(const uint8_t* data, size_t size) : m_data(data), m_sectors(size / 2048) {}
    bool IsPhysicalDrive() const override { return false; }
    bool IsReady() const override { return true; }
    bool IsReadOnly() const override { return true; }
    void Close() override {}
    bool Execute(vostrale::DeviceCommand* c) override {
        using namespace vostrale;
        if (c->cdb[0] == kScsiReadCapacity) {
            if (m_sectors == 0 || c->transferLength < 8)
                return false;
            StoreBe32(c->data, uint32_t(m_sectors - 1));
            StoreBe32(static_cast<uint8_t*>(c->data) + 4, 2048);
            return true;
        }
        if (c->cdb[0] != kScsiRead10)
            return true;
        uint64_t lba = LoadBe32(c->cdb + 2);
        uint64_t count = LoadBe16(c->cdb + 7);
        if (lba + count > m_sectors || count * 2048 > c->transferLength)
            return false;
        std::memcpy(c->data, m_data + lba * 2048, count * 2048);
        return true;
    }

  private:
    const uint8_t* m_data;
    uint64_t m_sectors;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemoryDevice device(data, size);
    uint8_t region = 0;
    uint8_t kind = 0;
    try {
        kind = vostrale::ClassifyVolume(&device, &region);
    } catch (...) {
        kind = 0;
    }
    if (kind > 4 || (kind != 2 && region != 0))
        __builtin_trap();
    return 0;
}
