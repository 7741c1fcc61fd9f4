// The /XI, /XU and /Y one-shots over the real setup layer. Each runs here when the user holds
// the rights, else in an elevated copy whose exit code it passes on.
#include "app/associations.h"
#include "app/drive_letters.h"
#include "app/driver_install.h"
#include "app/launcher.h"
#include "app/win32/associations_win32.h"
#include "app/win32/setup_win32.h"
#include "app/win32/win32_services.h"
#include "formats/activity_log.h"

#include <string>

namespace vostrale::app {

namespace {

JobResult RunDriverJob(AppContext& ctx, const std::wstring& parameters, bool install,
                       uint64_t owner) {
    Win32Launcher launcher;
    Win32Elevation elevation;
    return RunWithRights(ctx.s.registry, &elevation, &launcher, ctx.s.system, parameters, [&] {
        Win32DeviceSetup setup;
        Win32InstallSystem files;
        InstallServices services;
        services.setup = &setup;
        services.files = &files;
        Win32AssociationShell shell;
        ProgramAssociationSteps associations(ctx.s.registry, ctx.s.system, &shell);
        services.associations = &associations;
        services.publisherCertificate = PublisherCertificate(&services.publisherCertificateSize);
        services.uiLanguage = GetUserDefaultUILanguage();
        services.defaultLanguage = GetUserDefaultLangID();
        return install ? InstallDriverJob(ctx, services, owner) : UninstallDriverJob(ctx, services);
    });
}

} // namespace

JobResult Win32OneShotJobs::InstallDriver(uint64_t owner) {
    std::wstring parameters = owner ? L"/XI:" + std::to_wstring(owner) : std::wstring(L"/XI");
    return RunDriverJob(m_ctx, parameters, true, owner);
}

JobResult Win32OneShotJobs::UninstallDriver() {
    return RunDriverJob(m_ctx, L"/XU", false, 0);
}

JobResult Win32OneShotJobs::MoveDriveLetter(wchar_t from, wchar_t to) {
    Win32Launcher launcher;
    Win32Elevation elevation;
    return RunWithRights(m_ctx.s.registry, &elevation, &launcher, m_ctx.s.system,
                         MoveLetterParameters(from, to), [&] {
                             Win32VolumeMounts mounts;
                             ActivityLog log;
                             log.Open(m_ctx.s.system->LogPath());
                             log.WriteDateHeader();
                             return app::MoveDriveLetter(m_ctx.s.devices, &mounts, from, to,
                                                         &log);
                         });
}

} // namespace vostrale::app
