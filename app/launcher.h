// Starting the program itself for a privileged one-shot job (/XI, /XU, /XF, /Y...): elevated
// when the user needs it, waited for, and judged by its exit code. The tray side's letter move
// and association changes start their one-shots through here, and a one-shot started without
// the rights it needs hands itself over to an elevated copy the same way.
#pragma once

#include "app/command_line.h"
#include "app/interfaces.h"
#include "app/setup_interfaces.h"

#include <functional>
#include <string>

namespace vostrale::app {

inline constexpr const wchar_t* kPolicySystemKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
inline constexpr const wchar_t* kEnableLuaValue = L"EnableLUA";

// Elevation is needed when the user is no administrator and User Account Control is on: the
// machine's EnableLUA is non-zero or cannot be read.
bool NeedsElevation(Registry* registry, Elevation* elevation);

enum class OneShotOutcome {
    Done,          // exit code 0
    RestartNeeded, // exit code 100
    Failed,        // any other exit code, or the program could not be started
    Refused,       // the user turned the elevation prompt down
};

struct OneShotRun {
    OneShotOutcome outcome = OneShotOutcome::Failed;
    uint32_t exitCode = 0;    // when the program ran
    uint32_t launchError = 0; // when it did not
};

// Runs the program file with `parameters` ("-Y" "EF", "/XF"), verb "runas" when elevation is
// needed, else "open"; waits for it.
OneShotRun RunOneShot(Launcher* launcher, Registry* registry, Elevation* elevation,
                      System* system, const std::wstring& parameters, void* owner);

// A one-shot that lacks the rights it needs: runs an elevated copy with the same parameters
// and passes its result on (a refused prompt is a failure the caller can tell by exit code 1).
JobResult ForwardElevated(Launcher* launcher, System* system, const std::wstring& parameters);

// A privileged one-shot: runs `job` here when the user has the rights (or elevation cannot
// give more), else forwards `parameters` to an elevated copy.
JobResult RunWithRights(Registry* registry, Elevation* elevation, Launcher* launcher,
                        System* system, const std::wstring& parameters,
                        const std::function<JobResult()>& job);

} // namespace vostrale::app
