// Probe speed and memory on a UDF 2.50 metadata-partition disc with 20,000 files in 2,000
// folders, against a plain read of the file-system area of the same image; and the reads an
// ISO 9660-only disc costs.
#include "common/bytes.h"
#include "formats/probe.h"
#include "formats/udf_reader.h"
#include "platform/platform.h"
#include "tests/probe/udf_writer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace vostrale;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFolders = 2000;
constexpr int kFilesPerFolder = 10;
constexpr int kRuns = 15;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::filesystem::path WriteImage(const std::string& name, const std::vector<uint8_t>& bytes) {
    auto path = std::filesystem::temp_directory_path() / name;
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

class CountingDevice final : public BlockCommandDevice {
  public:
    explicit CountingDevice(BlockCommandDevice* inner) : m_inner(inner) {}
    bool IsPhysicalDrive() const override { return false; }
    bool IsReady() const override { return true; }
    bool IsReadOnly() const override { return true; }
    void Close() override {}
    bool Execute(DeviceCommand* c) override {
        ++commands;
        if (c->cdb[0] == kScsiRead10)
            sectors += LoadBe16(c->cdb + 7);
        return m_inner->Execute(c);
    }
    uint64_t commands = 0, sectors = 0;

  private:
    BlockCommandDevice* m_inner;
};

} // namespace

int main() {
    testing::UdfImageWriter writer({.partition = testing::UdfPartition::Metadata});
    for (int f = 0; f < kFolders; ++f) {
        int folder = writer.AddFolder(0, "FOLDER" + std::to_string(f));
        for (int i = 0; i < kFilesPerFolder; ++i)
            writer.AddFile(folder, "file-" + std::to_string(i) + ".dat", {uint8_t(i)});
    }
    std::vector<uint8_t> image = writer.Build();
    auto path = WriteImage("vostrale-probe-bench.img", image);
    uint32_t error = 0;
    platform::NativeFile file = platform::OpenForRead(path, &error);
    uint64_t size = image.size();

    // Reference: reading the file-system area (partition start to the last file entry) in
    // 64 KiB requests, the least any reader of this tree has to fetch.
    const uint64_t fsFirst = 272ull * 2048;
    const uint64_t fsBytes =
        uint64_t(writer.EntrySector(kFolders * (kFilesPerFolder + 1))) * 2048 + 2048 - fsFirst;
    std::vector<uint8_t> buffer(65536);
    double referenceMs = 1e9;
    for (int r = 0; r < kRuns; ++r) {
        auto t0 = Clock::now();
        for (uint64_t off = 0; off < fsBytes; off += buffer.size())
            platform::ReadExactlyAt(file, fsFirst + off, buffer.data(),
                                    size_t(std::min<uint64_t>(buffer.size(), fsBytes - off)));
        referenceMs = std::min(referenceMs, Ms(Clock::now() - t0));
    }

    double probeMs = 1e9;
    uint8_t kind = 0, region = 0;
    for (int r = 0; r < kRuns; ++r) {
        auto t0 = Clock::now();
        kind = ProbeVolume(file, size, 2048, &region);
        probeMs = std::min(probeMs, Ms(Clock::now() - t0));
    }
    UdfReader reader;
    bool opened = reader.Open(file, size, 2048);
    uint32_t nodes = reader.NodeCount();
    std::printf("UDF 2.50 metadata disc: %d folders, %d files, image %.1f MiB, kind %u\n", kFolders,
                kFolders * kFilesPerFolder, double(size) / 1048576.0, kind);
    std::printf("  probe      %8.2f ms  (%.0f nodes/ms)  open %s, %u nodes, truncated %s\n",
                probeMs, nodes / probeMs, opened ? "ok" : "FAILED", nodes,
                reader.TreeTruncated() ? "yes" : "no");
    std::printf("  reference  %8.2f ms  (%.0f MiB/s plain read of %.1f MiB file-system area)\n",
                referenceMs, double(fsBytes) / 1048576.0 / (referenceMs / 1000.0),
                double(fsBytes) / 1048576.0);
    std::printf("  ratio probe/reference %.2f; target under 50 ms: %s\n", probeMs / referenceMs,
                probeMs < 50.0 ? "met" : "MISSED");
    std::printf("  memory: tree arena %zu KiB in 1 MiB chunks, read-ahead run %zu KiB\n",
                reader.ArenaBytes() / 1024, reader.CacheBytes() / 1024);
    reader.Close();
    platform::CloseFile(file);
    std::filesystem::remove(path);

    // ISO 9660 only (with a Joliet descriptor): a 64 MiB image of which the probe should read
    // the recognition sectors and nothing else.
    std::vector<uint8_t> iso(64u << 20, 0);
    const uint8_t types[] = {1, 2, 255};
    for (int i = 0; i < 3; ++i) {
        uint8_t* d = iso.data() + (16 + i) * 2048;
        d[0] = types[i];
        std::memcpy(d + 1, "CD001", 5);
        d[6] = 1;
    }
    auto isoPath = WriteImage("vostrale-probe-bench.iso", iso);
    platform::NativeFile isoFile = platform::OpenForRead(isoPath, &error);
    ImageBlockDevice device(isoFile, iso.size(), 2048);
    CountingDevice counter(&device);
    auto t0 = Clock::now();
    uint8_t isoKind = ClassifyVolume(&counter, &region);
    double isoMs = Ms(Clock::now() - t0);
    std::printf("ISO 9660 disc of 64 MiB: kind %u in %.3f ms, %llu command(s), %llu sector(s) read "
                "(recognition area: 10)\n",
                isoKind, isoMs, (unsigned long long)counter.commands,
                (unsigned long long)counter.sectors);
    platform::CloseFile(isoFile);
    std::filesystem::remove(isoPath);
    return 0;
}
