#include "tests/probe/probe_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

namespace vostrale::testing {

TempFolder::TempFolder() {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = std::filesystem::temp_directory_path() /
                         ("vostrale-probe-" + std::to_string(rd()) + std::to_string(attempt));
        if (std::filesystem::create_directory(candidate)) {
            m_path = candidate;
            return;
        }
    }
}

TempFolder::~TempFolder() {
    std::error_code ec;
    if (!m_path.empty())
        std::filesystem::remove_all(m_path, ec);
}

std::filesystem::path TempFolder::Write(const std::string& name,
                                        const std::vector<uint8_t>& bytes) const {
    auto path = m_path / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

ProbeOutcome ProbeFile(const std::filesystem::path& path, uint32_t bytesPerSector) {
    uint32_t error = 0;
    platform::NativeFile file = platform::OpenForRead(path, &error);
    ProbeOutcome outcome{0xEE, 0xEE};
    if (file == 0)
        return outcome;
    uint64_t size = 0;
    platform::FileSize(file, &size);
    outcome.kind = ProbeVolume(file, size, bytesPerSector, &outcome.region);
    platform::CloseFile(file);
    return outcome;
}

ProbeOutcome ProbeImage(const std::vector<uint8_t>& image, uint32_t bytesPerSector) {
    TempFolder folder;
    return ProbeFile(folder.Write("image.bin", image), bytesPerSector);
}

bool HaveTool(const char* name) {
#ifdef _WIN32
    (void)name;
    return false;
#else
    return RunCommand(std::string("command -v ") + name + " >/dev/null 2>&1") == 0;
#endif
}

int RunCommand(const std::string& command) {
    return std::system(command.c_str());
}

namespace {
void ListInto(const DirectoryNode* dir, const std::string& prefix, std::string* out) {
    for (const DirectoryNode* n = dir->firstChild; n != nullptr; n = n->nextSibling) {
        std::string path = prefix + "/" + n->name;
        if (!out->empty())
            out->push_back(' ');
        if (n->isDirectory) {
            *out += path + "/";
            ListInto(n, path, out);
        } else {
            *out += path + "(" + std::to_string(n->informationLength) + ")";
        }
    }
}
} // namespace

std::string Listing(const DirectoryNode* root) {
    std::string out;
    if (root != nullptr)
        ListInto(root, "", &out);
    return out;
}

ImageOnDisk::ImageOnDisk(const std::vector<uint8_t>& image, uint32_t bytesPerSector)
    : m_bytesPerSector(bytesPerSector) {
    m_path = m_folder.Write("image.bin", image);
    uint32_t error = 0;
    m_file = platform::OpenForRead(m_path, &error);
    m_size = image.size();
}

ImageOnDisk::~ImageOnDisk() {
    if (m_file != 0)
        platform::CloseFile(m_file);
}

bool ImageOnDisk::Open(UdfReader* reader) {
    return reader->Open(m_file, m_size, m_bytesPerSector);
}

} // namespace vostrale::testing
