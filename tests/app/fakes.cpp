#include "tests/app/fakes.h"

#include "app/text.h"
#include "common/bytes.h"
#include "formats/layout.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace vostrale::app::test {

namespace {
constexpr uint32_t kHeader = 16;
constexpr uint32_t kStatusAfterMount = kStatusLoaded | kStatusAttached | kStatusUnitAttention;
} // namespace

bool FakeDriver::Handle(uint8_t* buffer, uint32_t size) {
    if (size < kHeader)
        return false;
    // Work on a copy: a refused request returns nothing.
    std::vector<uint8_t> io(buffer, buffer + size);
    uint32_t magic = LoadLe32(&io[0]);
    uint32_t code = LoadLe32(&io[4]);
    uint32_t bodyLength = LoadLe32(&io[8]);
    uint32_t value = LoadLe32(&io[12]);
    codes.push_back(code);
    values.push_back(value);
    if (magic != kControlMagic || bodyLength > size - kHeader || value >= kMaxDrives)
        return false;
    uint8_t* body = io.data() + kHeader;
    switch (code) {
    case kCtlPing:
        break;
    case kCtlSetDriveCount:
        if (bodyLength != 4 || body[0] > kMaxDrives)
            return false;
        driveCount = body[0];
        break;
    case kCtlGetDriveCount:
        StoreLe32(&io[12], overrideDriveCount ? driveCountReply : driveCount);
        break;
    case kCtlQueryDrive:
        if (bodyLength != 8 || !mounted[value])
            return false;
        body[2] = 1;
        body[3] = trayOpen[value] ? 1 : 0;
        StoreLe32(&io[12], trayOpen[value] ? kStatusAttached : kStatusLoaded | kStatusAttached);
        break;
    case kCtlGetLayoutSizes:
        if (bodyLength == 8) {
            StoreLe32(body, layoutMountSize);
            StoreLe32(body + 4, layoutTrackSize);
        }
        break;
    case kCtlMount: {
        if (refuseMount || value >= driveCount || size < kMountRequestSize)
            return false;
        MountRecord record;
        std::memcpy(static_cast<void*>(&record), body, sizeof(record));
        mountRecords.push_back(record);
        mountDrives.push_back(value);
        mounted[value] = true;
        StoreLe32(&io[12], kStatusAfterMount);
        break;
    }
    case kCtlUnmount:
        if (!mounted[value])
            return false;
        mounted[value] = false;
        break;
    case kCtlUnmountAll:
        std::fill(std::begin(mounted), std::end(mounted), false);
        break;
    case kCtlFindFreeDrive: {
        if (refuseFindFree)
            return false;
        uint32_t index = 0;
        while (index < kMaxDrives && mounted[index])
            ++index;
        StoreLe32(&io[12], index);
        break;
    }
    case kCtlGetVersion:
        if (bodyLength == 4) {
            body[2] = versionMajor;
            body[3] = versionMinor;
        }
        break;
    default:
        return false;
    }
    std::memcpy(buffer, io.data(), size);
    return true;
}

bool FakeNamespace::ListDosDevices(std::vector<std::wstring>* names) {
    ++listCalls;
    names->clear();
    for (const auto& entry : dosDevices)
        names->push_back(entry.first);
    return true;
}

bool FakeNamespace::QueryDosTarget(const std::wstring& name, std::wstring* target) {
    for (const auto& entry : dosDevices) {
        if (entry.first == name) {
            *target = entry.second;
            return true;
        }
    }
    return false;
}

std::unique_ptr<Device> FakeNamespace::Open(const std::wstring& path) {
    opened.push_back(path);
    auto port = ports.find(path);
    if (port != ports.end())
        return std::make_unique<FakeDevice>(port->second, false, 0);
    // "\\.\X:"
    if (path.size() == 6 && path.compare(0, 4, L"\\\\.\\") == 0 && path[5] == L':') {
        auto letter = letters.find(path[4]);
        if (letter != letters.end())
            return std::make_unique<FakeDevice>(letter->second.driver, true, letter->second.target);
    }
    return nullptr;
}

uint32_t FakeNamespace::DriveType(wchar_t letter) {
    auto found = letters.find(letter);
    return found == letters.end() ? 1 : found->second.type;
}

void FakeNamespace::AddAdapter(uint32_t number, FakeDriver* driver, const std::wstring& target) {
    std::wstring name = L"Scsi" + std::to_wstring(number) + L":";
    dosDevices.emplace_back(name, target + std::to_wstring(number));
    ports[L"\\\\.\\" + name] = driver;
}

static std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text)
        c = FoldAscii(c);
    return text;
}

bool FakeRegistry::KeyExists(RegistryRoot root, const std::wstring& key) {
    return keys.count({root, Lower(key)}) != 0;
}

uint32_t FakeRegistry::QueryValue(RegistryRoot root, const std::wstring& key,
                                  const std::wstring& name, uint32_t* type, void* data,
                                  uint32_t* size) {
    if (!KeyExists(root, key))
        return kErrorFileNotFound;
    auto found = values.find({root, Lower(key), Lower(name)});
    if (found == values.end())
        return kErrorFileNotFound;
    const Value& value = found->second;
    *type = value.type;
    uint32_t needed = uint32_t(value.data.size());
    if (data && *size < needed) {
        *size = needed;
        return kErrorMoreData;
    }
    if (data && needed)
        std::memcpy(data, value.data.data(), needed);
    *size = needed;
    return 0;
}

uint32_t FakeRegistry::SetValue(RegistryRoot root, const std::wstring& key,
                                const std::wstring& name, uint32_t type, const void* data,
                                uint32_t size) {
    ++writes;
    keys[{root, Lower(key)}] = true;
    Value value;
    value.type = type;
    value.data.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    values[{root, Lower(key), Lower(name)}] = value;
    return 0;
}

uint32_t FakeRegistry::DeleteValue(RegistryRoot root, const std::wstring& key,
                                   const std::wstring& name) {
    return values.erase({root, Lower(key), Lower(name)}) ? 0 : kErrorFileNotFound;
}

uint32_t FakeRegistry::DeleteKey(RegistryRoot root, const std::wstring& key) {
    std::wstring base = Lower(key);
    auto within = [&](const std::wstring& k) {
        return k == base || (k.size() > base.size() && k.compare(0, base.size(), base) == 0 &&
                             k[base.size()] == L'\\');
    };
    bool found = false;
    for (auto it = keys.begin(); it != keys.end();) {
        if (it->first.first == root && within(it->first.second)) {
            found = true;
            it = keys.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = values.begin(); it != values.end();) {
        if (std::get<0>(it->first) == root && within(std::get<1>(it->first)))
            it = values.erase(it);
        else
            ++it;
    }
    return found ? 0 : kErrorFileNotFound;
}

void FakeRegistry::SetString(const std::wstring& key, const std::wstring& name,
                             const std::wstring& text) {
    std::vector<uint8_t> bytes = Utf16Bytes(text, true);
    SetValue(RegistryRoot::CurrentUser, key, name, kRegSz, bytes.data(), uint32_t(bytes.size()));
}

bool FakeRegistry::GetString(const std::wstring& key, const std::wstring& name,
                             std::wstring* text) const {
    auto found = values.find({RegistryRoot::CurrentUser, Lower(key), Lower(name)});
    if (found == values.end() || found->second.type != kRegSz)
        return false;
    *text = FromUtf16Bytes(found->second.data.data(), found->second.data.size());
    return true;
}

bool FakeRegistry::Has(const std::wstring& key, const std::wstring& name) const {
    return values.count({RegistryRoot::CurrentUser, Lower(key), Lower(name)}) != 0;
}

int FakeMru::Add(void* list, const wchar_t* text) {
    std::wstring entry(text);
    entries.erase(std::remove(entries.begin(), entries.end(), entry), entries.end());
    entries.insert(entries.begin(), entry);
    if (entries.size() > m_max)
        entries.resize(m_max);
    return 0;
}

int FakeMru::Enum(void* list, int item, wchar_t* buffer, uint32_t size) {
    if (item < 0 || !buffer)
        return int(entries.size());
    if (size_t(item) >= entries.size())
        return -1;
    const std::wstring& entry = entries[size_t(item)];
    if (m_quirks == Quirks::Wine) {
        // The stored string with its NUL, cut at `size` bytes of UTF-16; nothing added.
        size_t units = std::min(entry.size() + 1, size_t(size) / 2);
        for (size_t i = 0; i < units; ++i)
            buffer[i] = i < entry.size() ? entry[i] : 0;
        return int(units * 2);
    }
    if (size == 0)
        return int(entry.size());
    size_t units = std::min(entry.size(), size_t(size) - 1);
    std::copy(entry.begin(), entry.begin() + units, buffer);
    buffer[units] = 0;
    return int(entry.size());
}

static uint32_t CopyOut(const std::wstring& text, wchar_t* out, uint32_t outChars) {
    if (text.size() + 1 > outChars)
        return uint32_t(text.size() + 1);
    std::copy(text.begin(), text.end(), out);
    out[text.size()] = 0;
    return uint32_t(text.size());
}

uint32_t FakeSystem::FullPathName(const std::wstring& path, wchar_t* out, uint32_t outChars) {
    if (fullPathResult)
        return fullPathResult;
    if (path.empty())
        return 0;
    bool absolute =
        path[0] == L'/' ||
        (path.size() > 2 && (path[1] == L':' || (path[0] == L'\\' && path[1] == L'\\')));
    return CopyOut(absolute ? path : currentFolder + path, out, outChars);
}

uint32_t FakeSystem::LongPathName(const std::wstring& path, wchar_t* out, uint32_t outChars) {
    auto found = longNames.find(path);
    if (found != longNames.end())
        return CopyOut(found->second, out, outChars);
    if (FileAttributes(path) == kInvalidAttributes)
        return 0;
    return CopyOut(path, out, outChars);
}

uint32_t FakeSystem::FileAttributes(const std::wstring& path) {
    auto found = files.find(path);
    return found == files.end() ? kInvalidAttributes : found->second;
}

bool FakeSystem::RemoveFile(const std::wstring& path) {
    removed.push_back(path);
    return files.erase(path) != 0;
}

OpenerScript g_opener;

// The wide text of a path made by ToPath (UTF-8 on POSIX), without the locale.
static std::wstring WideOf(const std::filesystem::path& path) {
#ifdef _WIN32
    return path.native();
#else
    std::wstring out;
    const std::string& s = path.native();
    for (size_t i = 0; i < s.size();) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
        uint32_t u = extra == 0   ? b
                     : extra == 1 ? (b & 0x1F)
                     : extra == 2 ? (b & 0x0F)
                                  : (b & 0x07);
        for (int k = 1; k <= extra && i + k < s.size(); ++k)
            u = (u << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        out.push_back(wchar_t(u));
        i += size_t(extra) + 1;
    }
    return out;
#endif
}

int ScriptedOpener(MountRecord* record, const std::filesystem::path& path, const ParserIo& io,
                   ImageOpenFailure* failure) {
    g_opener.paths.push_back(WideOf(path));
    OpenerOutcome outcome = g_opener.fallback;
    if (!g_opener.outcomes.empty()) {
        outcome = g_opener.outcomes.front();
        g_opener.outcomes.pop_front();
    }
    if (failure) {
        failure->kind = outcome.kind;
        failure->systemError = outcome.systemError;
    }
    if (!outcome.message.empty())
        ReportError(io, "%s", outcome.message.c_str());
    if (outcome.result != kParseOk)
        return outcome.result;
    LogLine(io.log, kLogInfo, "%s", "Parsed by the test parser");
    record->bytesPerSector = uint16_t(kUserDataSize);
    record->mediumKind = kMediumCd;
    record->totalSectors = 100;
    record->trackTable = FieldOf(AllocLayoutBlock(TrackTableSize(1)));
    if (!g_opener.backingFile.empty()) {
        uint32_t error = 0;
        record->imageHandle = platform::OpenForRead(g_opener.backingFile, &error);
        g_opener.lastHandle = record->imageHandle;
    }
    return kParseOk;
}

bool IsFileOpen(platform::NativeFile file) {
#ifdef _WIN32
    DWORD flags = 0;
    return GetHandleInformation(reinterpret_cast<HANDLE>(uintptr_t(file)), &flags) != 0;
#else
    return fcntl(int(file), F_GETFD) != -1;
#endif
}

Harness::Harness() {
    static std::atomic<int> counter{0};
    folder = std::filesystem::temp_directory_path() /
             ("vostrale_app_test_" + std::to_string(system.ProcessId()) + "_" +
              std::to_string(counter++));
#ifndef _WIN32
    folder += "_" + std::to_string(getpid());
#else
    folder += "_" + std::to_string(GetCurrentProcessId());
#endif
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    system.logPath = folder / "log.txt";
    devices.AddAdapter(2, &driver);
    g_opener = OpenerScript();
    Services services;
    services.devices = &devices;
    services.registry = &registry;
    services.history = &history;
    services.ui = &ui;
    services.system = &system;
    services.openImage = ScriptedOpener;
    ctx = std::make_unique<AppContext>(services);
}

Harness::~Harness() {
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
}

std::string Harness::ReadLog() const {
    std::ifstream in(system.logPath, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    // The log is written in text mode: CR LF on Windows.
    std::string log;
    for (char c : text.str()) {
        if (c != '\r')
            log.push_back(c);
    }
    return log;
}

} // namespace vostrale::app::test
