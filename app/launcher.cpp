#include "app/launcher.h"

#include "app/settings.h"

namespace vostrale::app {

bool NeedsElevation(Registry* registry, Elevation* elevation) {
    if (elevation->IsUserAdmin())
        return false;
    uint32_t enabled = 0;
    if (!ReadDwordValue(registry, RegistryRoot::LocalMachine, kPolicySystemKey, kEnableLuaValue,
                        &enabled))
        return true;
    return enabled != 0;
}

static OneShotRun Run(Launcher* launcher, System* system, const std::wstring& parameters,
                      const wchar_t* verb, void* owner) {
    OneShotRun run;
    uint32_t code = 0;
    uint32_t error = launcher->RunAndWait(system->ProgramPath(), parameters, verb, owner, &code);
    if (error != 0) {
        run.launchError = error;
        run.outcome = error == kErrorCancelled ? OneShotOutcome::Refused : OneShotOutcome::Failed;
        return run;
    }
    run.exitCode = code;
    if (code == uint32_t(kExitNormal))
        run.outcome = OneShotOutcome::Done;
    else if (code == uint32_t(kExitRestartNeeded))
        run.outcome = OneShotOutcome::RestartNeeded;
    else
        run.outcome = OneShotOutcome::Failed;
    return run;
}

OneShotRun RunOneShot(Launcher* launcher, Registry* registry, Elevation* elevation,
                      System* system, const std::wstring& parameters, void* owner) {
    const wchar_t* verb = NeedsElevation(registry, elevation) ? L"runas" : L"open";
    return Run(launcher, system, parameters, verb, owner);
}

JobResult ForwardElevated(Launcher* launcher, System* system, const std::wstring& parameters) {
    switch (Run(launcher, system, parameters, L"runas", nullptr).outcome) {
    case OneShotOutcome::Done:
        return JobResult::Done;
    case OneShotOutcome::RestartNeeded:
        return JobResult::RestartNeeded;
    case OneShotOutcome::Failed:
    case OneShotOutcome::Refused:
        break;
    }
    return JobResult::Failed;
}

JobResult RunWithRights(Registry* registry, Elevation* elevation, Launcher* launcher,
                        System* system, const std::wstring& parameters,
                        const std::function<JobResult()>& job) {
    if (!NeedsElevation(registry, elevation))
        return job();
    return ForwardElevated(launcher, system, parameters);
}

} // namespace vostrale::app
