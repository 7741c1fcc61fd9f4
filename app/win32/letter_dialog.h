// The change-letter dialog of a virtual drive: picks a free letter and moves the drive there
// through the /Y one-shot, elevated when the user needs it.
#pragma once

#include "app/context.h"

#include <cstdint>

namespace vostrale::app {

// Control of the dialog's letter list.
constexpr int kLetterListControl = 50;

// The tray's menu hook: shows the dialog for the drive with letter index `drive` (0 = A) and,
// when another letter is chosen, runs the move and shows a message if it failed. `ownerWindow`
// is the dialog's owner (an HWND).
void ChangeDriveLetter(AppContext& ctx, void* ownerWindow, uint32_t drive);

} // namespace vostrale::app
