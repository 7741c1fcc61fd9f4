// The settings dialog: a modal two-page property sheet (general options and language; file
// associations) built from in-memory templates.
#pragma once

#include "app/context.h"

#include <windows.h>

#include <string>

namespace vostrale::app {

// Starts the "/XF" one-shot for a written change file and waits for it; false when it could
// not be started (elevation refused or failed).
using AssociationJobStarter = bool (*)(const std::wstring& program,
                                       const std::wstring& changeFile, HWND owner);

// ShellExecuteExW of the program with "/XF <file>": "runas" unless this process is elevated.
bool StartAssociationJob(const std::wstring& program, const std::wstring& changeFile,
                         HWND owner);

// Opens the sheet, or brings an open one to the front. The hook AppContext::showSettings.
void ShowSettingsSheet(AppContext& ctx, void* ownerWindow);
void ShowSettingsSheet(AppContext& ctx, void* ownerWindow, AssociationJobStarter startJob);

// The sheet while it is open, else null.
HWND CurrentSettingsSheet();

} // namespace vostrale::app
