// The report archive: entries are deflated as they are added and kept in memory, then the zip
// is written in one pass (local headers, central directory, end record; no extensions).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vostrale::app {

struct LocalTime {
    int year = 1980, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

// MS-DOS date and time; a time outside what the fields can hold (1980-2107) gives 1980-01-01.
void DosDateTime(const LocalTime& time, uint16_t* dosDate, uint16_t* dosTime);

class ZipBuilder {
  public:
    // Deflates `data` and appends it under `name` (UTF-16; "\" becomes "/"). False, and no
    // entry, when compression fails or a size or the name does not fit the zip fields.
    bool Add(std::wstring_view name, const uint8_t* data, size_t size, const LocalTime& time);
    // The whole archive; false when the entry count or the offsets do not fit the fields.
    bool Build(std::vector<uint8_t>* out) const;

    size_t Count() const { return m_entries.size(); }
    const std::string& Name(size_t i) const { return m_entries[i].name; }

  private:
    struct Entry {
        std::string name; // UTF-8
        std::vector<uint8_t> compressed;
        uint16_t dosTime = 0, dosDate = 0;
        uint32_t crc = 0;
        uint32_t size = 0;
    };
    std::vector<Entry> m_entries;
};

} // namespace vostrale::app
