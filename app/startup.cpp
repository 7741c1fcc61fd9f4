#include "app/startup.h"

#include "app/history.h"
#include "app/settings.h"

namespace vostrale::app {

constexpr uint32_t kErrorAlreadyExists = 183;

MutexResult ClassifyMutexResult(bool gotHandle, uint32_t lastError) {
    if (gotHandle)
        return lastError == kErrorAlreadyExists ? MutexResult::AlreadyRunning
                                                : MutexResult::Created;
    return lastError == kErrorAccessDenied ? MutexResult::AlreadyRunning : MutexResult::Failed;
}

void DeleteLeftoverFiles(System* system) {
    std::wstring folder = ProgramFolder(system);
    if (folder.empty())
        return;
    for (const wchar_t* name : kLeftoverFiles)
        system->RemoveFile(folder + L"\\" + name);
}

int RunProgram(AppContext& ctx, const std::vector<std::wstring>& args, OneShotJobs* jobs,
               TrayHost* host) {
    CommandLine line = ReadCommandLine(ctx, args, jobs);
    int code = RunCommandLine(ctx, line);
    if (code != kStartTray)
        return code;

    if (!CheckDriverVersion(&ctx.channel, ctx.s.ui))
        return kExitNoDriver;
    DeleteLeftoverFiles(ctx.s.system);
    host->InitialiseUi();
    if (host->CreateInstanceMutex() == MutexResult::AlreadyRunning) {
        host->Shutdown();
        return kExitNormal;
    }
    ctx.settings = Settings{};
    LoadConfig(ctx.s.registry, &ctx.settings);
    ctx.language.Create(ctx.s.registry, ctx.s.system, kLanguagePrefix);
    if (ctx.settings.config & kConfigRemount)
        RemountAll(ctx);
    host->RunWindow();
    host->Shutdown();
    return kExitNormal;
}

} // namespace vostrale::app
