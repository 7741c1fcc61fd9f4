// Shared helpers of the probe tests: temporary files, host tools and tree listings.
#pragma once

#include "formats/probe.h"
#include "formats/udf_reader.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vostrale::testing {

class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path Write(const std::string& name, const std::vector<uint8_t>& bytes) const;

  private:
    std::filesystem::path m_path;
};

struct ProbeOutcome {
    uint8_t kind;
    uint8_t region;
};

ProbeOutcome ProbeFile(const std::filesystem::path& path, uint32_t bytesPerSector = 2048);
ProbeOutcome ProbeImage(const std::vector<uint8_t>& image, uint32_t bytesPerSector = 2048);

// True when the host tool can be run (never on Windows builds).
bool HaveTool(const char* name);
int RunCommand(const std::string& command);

// "/A/ /A/x(12) /B/" style listing of the reader's tree in disc order.
std::string Listing(const DirectoryNode* root);

// The reader opened on an image held in memory (through a temporary file).
class ImageOnDisk {
  public:
    explicit ImageOnDisk(const std::vector<uint8_t>& image, uint32_t bytesPerSector = 2048);
    ~ImageOnDisk();
    bool Open(UdfReader* reader);

  private:
    TempFolder m_folder;
    std::filesystem::path m_path;
    platform::NativeFile m_file = 0;
    uint64_t m_size = 0;
    uint32_t m_bytesPerSector;
};

// Counts the commands that reach the image.
class CountingDevice final : public BlockCommandDevice {
  public:
    explicit CountingDevice(BlockCommandDevice* inner) : m_inner(inner) {}
    bool IsPhysicalDrive() const override { return false; }
    bool IsReady() const override { return true; }
    bool Execute(DeviceCommand* command) override {
        ++commands;
        if (command->cdb[0] == kScsiRead10)
            sectors += LoadBe16Field(command->cdb + 7);
        return m_inner->Execute(command);
    }
    bool IsReadOnly() const override { return true; }
    void Close() override {}
    uint64_t commands = 0;
    uint64_t sectors = 0;

  private:
    static uint32_t LoadBe16Field(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }
    BlockCommandDevice* m_inner;
};

} // namespace vostrale::testing
