// Uploader entry: it never runs on its own, only with the tray program's hand-over block.
#include "reporter/handover.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    GetStartupInfoW(&si);
    vostrale::Handover handover;
    if (!vostrale::ParseHandover(si.lpReserved2, si.cbReserved2, &handover))
        return 1;
    // Dialogs and upload arrive with the uploader's own work.
    return 0;
}
