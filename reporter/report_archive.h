// Reading the report archive the tray program wrote, for the uploader's consent steps: the
// detail view (entries unscrambled into a folder) and sending without the screenshots. Every
// field is checked against the archive's bounds; nothing here trusts the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vostrale {

struct ArchiveEntry {
    std::string name; // as stored (UTF-8)
    uint16_t flags = 0, method = 0;
    uint32_t crc = 0, compressedSize = 0, size = 0;
    uint32_t localOffset = 0; // local header
    size_t recordSize = 0;    // local header, name, extra field and data
};

// The central directory's entries, each checked against its local header.
bool ReadArchiveDirectory(const std::vector<uint8_t>& zip, std::vector<ArchiveEntry>* entries);

// The entry's bytes (deflated or stored), checked against size and CRC; at most `maxSize`.
bool ExtractEntry(const std::vector<uint8_t>& zip, const ArchiveEntry& entry, size_t maxSize,
                  std::vector<uint8_t>* data);

// "sc<n>.bin"
bool IsScreenshotEntry(const std::string& name);

// The archive without its screenshot entries (records copied as they are).
bool WithoutScreenshots(const std::vector<uint8_t>& zip, std::vector<uint8_t>* out);

// The name a detail-view file gets ("sc1.bin" -> "screen1.jpg", "sy.bin" -> "system.xml"), and
// whether it is unscrambled. Empty for a name that is not a plain file name.
std::string DetailFileName(const std::string& entryName, bool* scrambled);

} // namespace vostrale
