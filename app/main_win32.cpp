// Tray program entry: the real services around the portable start-up sequence.
#include "app/image_entry.h"
#include "app/startup.h"
#include "app/win32/settings_sheet.h"
#include "app/win32/win32_services.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    using namespace vostrale::app;
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
    AppContext ctx(services);
    ui.Attach(&ctx);
    ctx.showSettings = static_cast<void (*)(AppContext&, void*)>(ShowSettingsSheet);
    Win32OneShotJobs jobs;
    Win32TrayHost host(instance, &ctx);
    return RunProgram(ctx, ProcessArguments(), &jobs, &host);
}
