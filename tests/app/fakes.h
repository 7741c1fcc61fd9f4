// Fakes of the tray program's interfaces: a driver that answers the control protocol byte for
// byte (refusals copy nothing back, as buffered device control does), a device namespace, a
// registry with RegQueryValueExW's rules, an MRU list with either platform's quirks, and
// recorders for what the user would see.
#pragma once

#include "app/context.h"
#include "app/interfaces.h"
#include "platform/platform.h"

#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace vostrale::app::test {

struct FakeDriver {
    uint32_t driveCount = 2;
    uint8_t versionMajor = 1;
    uint8_t versionMinor = 0;
    uint32_t layoutMountSize = 128;
    uint32_t layoutTrackSize = 24;
    bool refuseMount = false;
    bool refuseFindFree = false;
    bool mounted[kMaxDrives] = {};
    bool trayOpen[kMaxDrives] = {}; // reported by QueryDrive for a mounted drive
    std::vector<uint32_t> ejects;   // drive index of every eject request
    std::vector<uint32_t> loads;    // and of every load request
    // Replies that a misbehaving driver might give.
    bool overrideDriveCount = false;
    uint32_t driveCountReply = 0;
    std::vector<uint32_t> codes;           // every request code received
    std::vector<uint32_t> values;          // and its header value
    std::vector<uint32_t> mountDrives;     // drive index of every accepted mount
    std::vector<MountRecord> mountRecords; // the record of every accepted mount

    bool Handle(uint8_t* buffer, uint32_t size);
    void Reset() { *this = FakeDriver(); }
};

class FakeDevice final : public Device {
  public:
    FakeDevice(FakeDriver* driver, bool hasAddress, uint8_t target)
        : m_driver(driver), m_hasAddress(hasAddress) {
        m_address.targetId = target;
    }
    bool Control(void* buffer, uint32_t size) override {
        return m_driver && m_driver->Handle(static_cast<uint8_t*>(buffer), size);
    }
    bool GetScsiAddress(ScsiAddress* address) override {
        if (!m_hasAddress)
            return false;
        *address = m_address;
        return true;
    }
    bool EjectMedia() override {
        if (m_driver)
            m_driver->ejects.push_back(m_address.targetId);
        return true;
    }
    bool LoadMedia() override {
        if (m_driver)
            m_driver->loads.push_back(m_address.targetId);
        return true;
    }

  private:
    FakeDriver* m_driver;
    bool m_hasAddress;
    ScsiAddress m_address;
};

class FakeNamespace final : public DeviceNamespace {
  public:
    struct Letter {
        uint32_t type = kDriveCdRom;
        FakeDriver* driver = nullptr; // null: a drive that is not ours
        uint8_t target = 0;
    };
    std::vector<std::pair<std::wstring, std::wstring>> dosDevices; // name, target
    std::map<std::wstring, FakeDriver*> ports;                     // "\\.\ScsiN:" -> what answers
    std::map<wchar_t, Letter> letters;
    int listCalls = 0;
    std::vector<std::wstring> opened;

    bool ListDosDevices(std::vector<std::wstring>* names) override;
    bool QueryDosTarget(const std::wstring& name, std::wstring* target) override;
    std::unique_ptr<Device> Open(const std::wstring& path) override;
    uint32_t DriveType(wchar_t letter) override;

    // One adapter of ours at "Scsi<number>:".
    void AddAdapter(uint32_t number, FakeDriver* driver,
                    const std::wstring& target = L"\\Device\\RaidPort");
};

class FakeRegistry final : public Registry {
  public:
    struct Value {
        uint32_t type = 0;
        std::vector<uint8_t> data;
    };
    bool KeyExists(RegistryRoot root, const std::wstring& key) override;
    uint32_t QueryValue(RegistryRoot root, const std::wstring& key, const std::wstring& name,
                        uint32_t* type, void* data, uint32_t* size) override;
    uint32_t SetValue(RegistryRoot root, const std::wstring& key, const std::wstring& name,
                      uint32_t type, const void* data, uint32_t size) override;
    uint32_t DeleteValue(RegistryRoot root, const std::wstring& key,
                         const std::wstring& name) override;
    uint32_t DeleteKey(RegistryRoot root, const std::wstring& key) override;

    // Test access.
    void SetString(const std::wstring& key, const std::wstring& name, const std::wstring& text);
    bool GetString(const std::wstring& key, const std::wstring& name, std::wstring* text) const;
    bool Has(const std::wstring& key, const std::wstring& name) const;
    std::map<std::tuple<RegistryRoot, std::wstring, std::wstring>, Value> values;
    std::map<std::pair<RegistryRoot, std::wstring>, bool> keys;
    int writes = 0;
};

// The MRU list functions as Windows (size in characters, terminated) or Wine (size in bytes,
// no terminator) implement them.
class FakeMru final : public MruStore {
  public:
    enum class Quirks { Windows, Wine };
    explicit FakeMru(Quirks quirks = Quirks::Windows) : m_quirks(quirks) {}
    void* Open(uint32_t maxEntries) override {
        m_max = maxEntries;
        return this;
    }
    int Add(void* list, const wchar_t* text) override;
    int Enum(void* list, int item, wchar_t* buffer, uint32_t size) override;
    void Close(void* list) override {}
    std::vector<std::wstring> entries; // newest first

  private:
    Quirks m_quirks;
    uint32_t m_max = 0;
};

class FakeUi final : public Ui {
  public:
    struct Message {
        std::wstring text;
        bool hasCaption = false;
        std::wstring caption;
        MessageIcon icon = MessageIcon::None;
        bool topmost = false;
    };
    void ShowMessage(const std::wstring& text, const wchar_t* caption, MessageIcon icon,
                     bool topmost) override {
        messages.push_back({text, caption != nullptr, caption ? caption : L"", icon, topmost});
    }
    void ShowMountFailure(const std::wstring& path, const std::wstring& text) override {
        failures.emplace_back(path, text);
    }
    LogonResult NetworkLogon(const std::wstring& path) override {
        logonPaths.push_back(path);
        return logonResult;
    }
    std::vector<Message> messages;
    std::vector<std::pair<std::wstring, std::wstring>> failures;
    std::vector<std::wstring> logonPaths;
    LogonResult logonResult = LogonResult::Unavailable;
};

class FakeSystem final : public System {
  public:
    std::wstring currentFolder = L"C:\\work\\";
    std::map<std::wstring, uint32_t> files;         // path -> attributes
    std::map<std::wstring, std::wstring> longNames; // short -> long
    uint32_t fullPathResult = 0;                    // non-zero: GetFullPathNameW returns this as is
    std::vector<std::wstring> removed;
    std::filesystem::path logPath;

    uint32_t FullPathName(const std::wstring& path, wchar_t* out, uint32_t outChars) override;
    uint32_t LongPathName(const std::wstring& path, wchar_t* out, uint32_t outChars) override;
    uint32_t FileAttributes(const std::wstring& path) override;
    bool RemoveFile(const std::wstring& path) override;
    std::wstring ErrorText(uint32_t error) override {
        return L"system error " + std::to_wstring(error);
    }
    std::wstring ProgramPath() override { return L"C:\\Program Files\\Vostrale\\vostrale.exe"; }
    uint32_t ProcessId() override { return 4242; }
    uint32_t ThreadId() override { return 77; }
    std::filesystem::path LogPath() override { return logPath; }

    void AddFile(const std::wstring& path) { files[path] = 0x20; }
    void AddFolder(const std::wstring& path) { files[path] = kAttributeDirectory; }
};

// A scripted image parser entry. Each call takes the next outcome (or the default one).
struct OpenerOutcome {
    int result = 1;
    ImageOpenFailure::Kind kind = ImageOpenFailure::kNone;
    uint32_t systemError = 0;
    std::string message; // parser's error text, reported as parsers do
};
struct OpenerScript {
    std::deque<OpenerOutcome> outcomes;
    OpenerOutcome fallback;
    std::vector<std::wstring> paths;
    // On success the record gets a track-table block and, when set, an open handle of this file.
    std::filesystem::path backingFile;
    platform::NativeFile lastHandle = 0;
};
extern OpenerScript g_opener;
int ScriptedOpener(MountRecord* record, const std::filesystem::path& path, const ParserIo& io,
                   ImageOpenFailure* failure);

// Whether a platform file handle is still open.
bool IsFileOpen(platform::NativeFile file);

// One application context over fresh fakes, a temporary folder for the log, and a driver
// reachable as "Scsi2:".
struct Harness {
    Harness();
    ~Harness();
    FakeDriver driver;
    FakeNamespace devices;
    FakeRegistry registry;
    FakeMru history;
    FakeUi ui;
    FakeSystem system;
    std::filesystem::path folder;
    std::unique_ptr<AppContext> ctx;

    std::string ReadLog() const;
};

} // namespace vostrale::app::test
