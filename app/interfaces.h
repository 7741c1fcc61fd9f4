// The tray program's view of the operating system: small interfaces with the same meanings as
// the Win32 calls behind them, so the program's logic runs and is tested natively with fakes,
// while app/win32/ holds the thin real implementations.
#pragma once

#include "common/wire.h"
#include "formats/parser.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vostrale::app {

// Win32 values the logic compares against; identical on every platform so fakes can use them.
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kInvalidAttributes = 0xFFFFFFFFu;
constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kDriveCdRom = 5;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;

constexpr size_t kMaxPath = 260; // characters, terminator included

// IOCTL_SCSI_GET_ADDRESS output.
struct ScsiAddress {
    uint32_t length = 0;
    uint8_t portNumber = 0;
    uint8_t pathId = 0;
    uint8_t targetId = 0;
    uint8_t lun = 0;
};

// An open adapter or drive handle. Closing is destruction.
class Device {
  public:
    virtual ~Device() = default;
    // DeviceIoControl with the private control code, `buffer` as input and output of `size`
    // bytes. A failed request copies nothing back (buffered transfer).
    virtual bool Control(void* buffer, uint32_t size) = 0;
    virtual bool GetScsiAddress(ScsiAddress* address) = 0;
    virtual bool EjectMedia() = 0;
    virtual bool LoadMedia() = 0;
};

// DOS device names and device opening.
class DeviceNamespace {
  public:
    virtual ~DeviceNamespace() = default;
    // Every DOS device name; false when the list cannot be had.
    virtual bool ListDosDevices(std::vector<std::wstring>* names) = 0;
    // The first target of one name (at most 128 characters); false when unknown.
    virtual bool QueryDosTarget(const std::wstring& name, std::wstring* target) = 0;
    // Opens "\\.\Scsi3:" or "\\.\E:" for reading; null when it cannot be opened.
    virtual std::unique_ptr<Device> Open(const std::wstring& path) = 0;
    // GetDriveTypeW of "X:\".
    virtual uint32_t DriveType(wchar_t letter) = 0;
    // GetLogicalDrives: bit n set for the letter 'A' + n. Without it every letter is tried.
    virtual uint32_t LogicalDrives() { return (1u << 26) - 1; }
};

enum class RegistryRoot { CurrentUser, LocalMachine, ClassesRoot };

// Raw registry access with RegQueryValueExW's rules: sizes in bytes, strings as UTF-16LE bytes
// with no promise of a terminator, the type reported but not checked, kErrorMoreData when the
// value does not fit. Results are Win32 error codes (0 success).
class Registry {
  public:
    virtual ~Registry() = default;
    virtual bool KeyExists(RegistryRoot root, const std::wstring& key) = 0;
    virtual uint32_t QueryValue(RegistryRoot root, const std::wstring& key,
                                const std::wstring& name, uint32_t* type, void* data,
                                uint32_t* size) = 0;
    // Creates the key when missing.
    virtual uint32_t SetValue(RegistryRoot root, const std::wstring& key, const std::wstring& name,
                              uint32_t type, const void* data, uint32_t size) = 0;
    virtual uint32_t DeleteValue(RegistryRoot root, const std::wstring& key,
                                 const std::wstring& name) = 0;
    // Removes the key with all its sub-keys and values (SHDeleteKeyW); kErrorFileNotFound
    // when it does not exist.
    virtual uint32_t DeleteKey(RegistryRoot root, const std::wstring& key) = 0;
};

// The shell's most-recently-used string list over the history key, with the list functions'
// own rules (EnumMRUListW: a null buffer or a negative item gives the count, past the end -1).
class MruStore {
  public:
    virtual ~MruStore() = default;
    // The history list with at most `maxEntries` entries and cached writes; null on failure.
    virtual void* Open(uint32_t maxEntries) = 0;
    virtual int Add(void* list, const wchar_t* text) = 0;
    virtual int Enum(void* list, int item, wchar_t* buffer, uint32_t size) = 0;
    virtual void Close(void* list) = 0;
};

enum class MessageIcon { None, Stop, Information };

enum class LogonResult {
    Unavailable, // no logon possible: the caller reports the open error
    Cancelled,   // the user gave up: nothing more is shown
    Connected,   // the share accepted the credentials: open again
};

// What the user sees.
class Ui {
  public:
    virtual ~Ui() = default;
    // A null caption is the system's default caption.
    virtual void ShowMessage(const std::wstring& text, const wchar_t* caption, MessageIcon icon,
                             bool topmost) = 0;
    // The mount failure dialog: the image path and the reason.
    virtual void ShowMountFailure(const std::wstring& path, const std::wstring& text) = 0;
    // Credentials for the share of `path` after an access-denied open.
    virtual LogonResult NetworkLogon(const std::wstring& path) = 0;
    // The progress window for a parse that may index audio (shown once the parser reports
    // work; its Cancel sets the record's cancel flag), and its end.
    virtual void BeginProgress(ProgressRecord* record, const std::wstring& subject) {}
    virtual void EndProgress() {}
};

// Files, paths and the process, with the Win32 calls' return conventions.
class System {
  public:
    virtual ~System() = default;
    // GetFullPathNameW: characters written (no terminator), the size needed (with terminator)
    // when `outChars` is too small, 0 on error.
    virtual uint32_t FullPathName(const std::wstring& path, wchar_t* out, uint32_t outChars) = 0;
    // GetLongPathNameW, same conventions.
    virtual uint32_t LongPathName(const std::wstring& path, wchar_t* out, uint32_t outChars) = 0;
    // GetFileAttributesW: kInvalidAttributes when the path does not exist.
    virtual uint32_t FileAttributes(const std::wstring& path) = 0;
    virtual bool RemoveFile(const std::wstring& path) = 0;
    // The system's text for an error code.
    virtual std::wstring ErrorText(uint32_t error) = 0;
    // The program file's full path.
    virtual std::wstring ProgramPath() = 0;
    virtual uint32_t ProcessId() = 0;
    virtual uint32_t ThreadId() = 0;
    // Where "log.txt" lives (empty when the folder cannot be made).
    virtual std::filesystem::path LogPath() = 0;
};

// Why an image could not be opened, for the messages the mount flow shows.
struct ImageOpenFailure {
    enum Kind { kNone, kOpenError, kUnsupportedFormat, kParser } kind = kNone;
    uint32_t systemError = 0; // kOpenError
};

// The image parsers' entry: fills the record from the image at `path`. Returns 1 complete, 0
// failed (and has released what it opened), 2 cancelled by the user.
using ImageOpener = int (*)(MountRecord* record, const std::filesystem::path& path,
                            const ParserIo& io, ImageOpenFailure* failure);

} // namespace vostrale::app
