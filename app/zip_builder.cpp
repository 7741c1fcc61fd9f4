#include "app/zip_builder.h"

#include "app/report_text.h"

#include <zlib.h>

#include <limits>

namespace vostrale::app {

namespace {

constexpr uint32_t kLocalSignature = 0x04034B50;
constexpr uint32_t kCentralSignature = 0x02014B50;
constexpr uint32_t kEndSignature = 0x06054B50;
constexpr uint16_t kVersion = 20;
constexpr uint16_t kUtf8Flag = 0x0800;
constexpr uint16_t kMethodDeflate = 8;
constexpr uint32_t kArchiveAttribute = 0x20;
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kEndRecordSize = 22;

void Put16(std::vector<uint8_t>* out, uint32_t v) {
    out->push_back(uint8_t(v));
    out->push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t>* out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

bool RawDeflate(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
    z_stream s{};
    if (deflateInit2(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    uLong bound = deflateBound(&s, uLong(size));
    out->assign(bound, 0);
    s.next_in = const_cast<Bytef*>(data);
    s.avail_in = uInt(size);
    s.next_out = out->data();
    s.avail_out = uInt(out->size());
    // The buffer holds the bound, so one call must finish the stream; anything else would be
    // a cut stream behind a valid-looking header.
    int rc = deflate(&s, Z_FINISH);
    size_t produced = s.total_out;
    deflateEnd(&s);
    if (rc != Z_STREAM_END)
        return false;
    out->resize(produced);
    return true;
}

} // namespace

void DosDateTime(const LocalTime& t, uint16_t* dosDate, uint16_t* dosTime) {
    bool valid = t.year >= 1980 && t.year <= 2107 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
                 t.day <= 31 && t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 &&
                 t.second >= 0 && t.second <= 59;
    if (!valid) {
        *dosDate = (1 << 5) | 1;
        *dosTime = 0;
        return;
    }
    *dosDate = uint16_t(((t.year - 1980) << 9) | (t.month << 5) | t.day);
    *dosTime = uint16_t((t.hour << 11) | (t.minute << 5) | (t.second / 2));
}

bool ZipBuilder::Add(std::wstring_view name, const uint8_t* data, size_t size,
                     const LocalTime& time) {
    // zlib takes 32-bit lengths and the zip fields are 32-bit without the 64-bit extension.
    if (size >= std::numeric_limits<uint32_t>::max() || (size != 0 && data == nullptr))
        return false;
    Entry e;
    e.name = Utf8FromUtf16(name);
    for (char& c : e.name) {
        if (c == '\\')
            c = '/';
    }
    if (e.name.empty() || e.name.size() > 0xFFFF)
        return false;
    if (!RawDeflate(data, size, &e.compressed))
        return false;
    e.crc = uint32_t(crc32(crc32(0, nullptr, 0), data, uInt(size)));
    e.size = uint32_t(size);
    DosDateTime(time, &e.dosDate, &e.dosTime);
    m_entries.push_back(std::move(e));
    return true;
}

bool ZipBuilder::Build(std::vector<uint8_t>* out) const {
    out->clear();
    if (m_entries.size() > 0xFFFF)
        return false;
    uint64_t total = 0;
    for (const Entry& e : m_entries)
        total += kLocalHeaderSize + e.name.size() + e.compressed.size() + kCentralHeaderSize +
                 e.name.size();
    // Every offset and the directory size must fit 32 bits.
    if (total + kEndRecordSize > std::numeric_limits<uint32_t>::max())
        return false;
    out->reserve(size_t(total + kEndRecordSize));
    // The fields the local header and the central directory entry share, in the same order.
    auto PutSharedFields = [](std::vector<uint8_t>* out, const Entry& e) {
        Put16(out, kUtf8Flag);
        Put16(out, kMethodDeflate);
        Put16(out, e.dosTime);
        Put16(out, e.dosDate);
        Put32(out, e.crc);
        Put32(out, uint32_t(e.compressed.size()));
        Put32(out, e.size);
        Put16(out, uint32_t(e.name.size()));
    };
    std::vector<uint32_t> offsets;
    for (const Entry& e : m_entries) {
        offsets.push_back(uint32_t(out->size()));
        Put32(out, kLocalSignature);
        Put16(out, kVersion);
        PutSharedFields(out, e);
        Put16(out, 0);
        out->insert(out->end(), e.name.begin(), e.name.end());
        out->insert(out->end(), e.compressed.begin(), e.compressed.end());
    }
    uint32_t directoryOffset = uint32_t(out->size());
    for (size_t i = 0; i < m_entries.size(); ++i) {
        const Entry& e = m_entries[i];
        Put32(out, kCentralSignature);
        Put16(out, kVersion);
        Put16(out, kVersion);
        PutSharedFields(out, e);
        Put16(out, 0);
        Put16(out, 0);
        Put16(out, 0);
        Put16(out, 0);
        Put32(out, kArchiveAttribute);
        Put32(out, offsets[i]);
        out->insert(out->end(), e.name.begin(), e.name.end());
    }
    uint32_t directorySize = uint32_t(out->size()) - directoryOffset;
    Put32(out, kEndSignature);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, uint32_t(m_entries.size()));
    Put16(out, uint32_t(m_entries.size()));
    Put32(out, directorySize);
    Put32(out, directoryOffset);
    Put16(out, 0);
    return true;
}

} // namespace vostrale::app
