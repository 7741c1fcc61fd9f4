// Tray program entry: the real services around the portable start-up sequence.
#include "app/crash_report.h"
#include "app/image_entry.h"
#include "app/startup.h"
#include "app/win32/letter_dialog.h"
#include "app/win32/report_win32.h"
#include "app/win32/settings_sheet.h"
#include "app/win32/update_check_win32.h"
#include "app/win32/win32_services.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    using namespace vostrale::app;
    static Win32ReportEnvironment reports(ReportIdentity{"Vostrale", "Vostrale", kReportHost});
    InstallCrashHandler(&reports);
    Win32DeviceNamespace devices;
    Win32Registry registry;
    Win32MruStore history;
    Win32Ui ui;
    Win32System system;
    Services services;
    services.devices = &devices;
    services.registry = &registry;
    services.history = &history;
    services.ui = &ui;
    services.system = &system;
    services.openImage = OpenImageFile;
    services.reporter = &reports;
    AppContext ctx(services);
    ui.Attach(&ctx);
    ctx.showSettings = static_cast<void (*)(AppContext&, void*)>(ShowSettingsSheet);
    ctx.reportMountFailure = ReportMountFailure;
    ctx.startFeedback = StartFeedback;
    ctx.changeDriveLetter = ChangeDriveLetter;
    ctx.startUpdateCheck = [](AppContext& c) { StartUpdateThread(c, false, true); };
    Win32OneShotJobs jobs(ctx);
    Win32TrayHost host(instance, &ctx);
    return RunProgram(ctx, ProcessArguments(), &jobs, &host);
}
