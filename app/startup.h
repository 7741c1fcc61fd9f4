// The program's start: the command line first, then, for the tray instance, the driver check,
// leftover files, the single-instance mutex, the settings, the remount and the message loop.
#pragma once

#include "app/command_line.h"
#include "app/context.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vostrale::app {

inline constexpr const wchar_t* kInstanceMutexName = L"Vostrale_Mutex";
inline constexpr const wchar_t* kLeftoverFiles[] = {L"vostrale.tmp", L"vostrale32.tmp"};

enum class MutexResult { Created, AlreadyRunning, Failed };

// CreateMutexW's outcome: an existing mutex comes back as a handle with ERROR_ALREADY_EXISTS,
// or, when an elevated instance created it, as no handle with ERROR_ACCESS_DENIED.
MutexResult ClassifyMutexResult(bool gotHandle, uint32_t lastError);

// The window side of the tray instance.
class TrayHost {
  public:
    virtual ~TrayHost() = default;
    // Common controls and the COM apartment.
    virtual void InitialiseUi() = 0;
    virtual MutexResult CreateInstanceMutex() = 0;
    // Creates the hidden main window and runs the message loop until it ends.
    virtual void RunWindow() = 0;
    // Undoes InitialiseUi and closes the mutex.
    virtual void Shutdown() = 0;
};

void DeleteLeftoverFiles(System* system);

// The whole program: returns the process exit code.
int RunProgram(AppContext& ctx, const std::vector<std::wstring>& args, OneShotJobs* jobs,
               TrayHost* host);

} // namespace vostrale::app
