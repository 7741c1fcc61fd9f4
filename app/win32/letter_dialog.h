// The change-letter dialog of a virtual drive: picks a free letter and moves the drive there
// through the /Y one-shot, elevated when the user needs it.
#pragma once

#include "app/context.h"

#include <cstdint>

namespace vostrale::app {

// Control of the dialog's letter list.
constexpr int kLetterListControl = 50;

// The tray's menu hook (AppContext::changeDriveLetter): finds the letter of the virtual drive
// with index `drive` (0 to 6) and shows the dialog for it. `ownerWindow` is an HWND.
void ChangeDriveLetter(AppContext& ctx, void* ownerWindow, uint32_t drive);

// The dialog for the drive at `letter`; when another letter is chosen, runs the move and shows
// a message if it failed.
void ChangeDriveLetterAt(AppContext& ctx, void* ownerWindow, wchar_t letter);

} // namespace vostrale::app
