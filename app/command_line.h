// The command line: switches and paths read left to right, the last mode winning, and the
// outcome: a one-shot job that exits, or the tray instance.
#pragma once

#include "app/context.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vostrale::app {

constexpr int kExitNormal = 0;
constexpr int kExitRestartNeeded = 100;
constexpr int kExitNoDriver = 9527;
constexpr int kStartTray = -1; // the command line was not handled

// Jobs that run at once while the command line is read.
class OneShotJobs {
  public:
    virtual ~OneShotJobs() = default;
    // Both return whether a restart is needed. `owner` 0 is the desktop window.
    virtual bool InstallDriver(uint64_t owner) = 0;
    virtual bool UninstallDriver() = 0;
    // `changeFile`: the change file's full path from the command line; empty for the one in
    // the temporary folder.
    virtual void ApplyAssociations(const std::wstring& changeFile) = 0;
    virtual bool MoveDriveLetter(wchar_t from, wchar_t to) = 0;
};

enum class RequestMode { Start, Mount, Unmount, OneShot };

struct CommandLine {
    RequestMode mode = RequestMode::Start;
    std::wstring path;         // the last path argument; empty when none or refused
    std::wstring changeFile;   // the argument after /XF
    uint32_t drive = kNoDrive; // set by the drive after /M: or /U:
    bool specFailed = false;
    bool restartNeeded = false;
};

// Longest path argument taken (the terminator makes kMaxPath).
constexpr size_t kMaxPathArgument = kMaxPath - 1;

// Reads decimal digits at the start of `text` into *value; false without a digit or when the
// number does not fit 32 bits.
bool ParseDecimal(const std::wstring& text, uint32_t* value);

// `args` excludes the program name. The drive after /M: or /U: is resolved through the driver.
CommandLine ReadCommandLine(AppContext& ctx, const std::vector<std::wstring>& args,
                            OneShotJobs* jobs);

// Quotes stripped, made absolute, and required to name an existing file (not a folder).
bool NormaliseImagePath(System* system, const std::wstring& argument, std::wstring* out);

// Performs a mount or unmount request. Returns the exit code, or kStartTray.
int RunCommandLine(AppContext& ctx, const CommandLine& line);

} // namespace vostrale::app
