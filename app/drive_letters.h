// Moving a virtual drive to another drive letter: the letters the dialog offers, the move the
// /Y<from><to> one-shot performs (with the volume put back where it was when the new letter
// cannot be set), and the tray side's request for it.
#pragma once

#include "app/command_line.h"
#include "app/context.h"
#include "app/launcher.h"
#include "app/setup_interfaces.h"

#include <string>
#include <vector>

namespace vostrale {
class ActivityLog;
}

namespace vostrale::app {

// C to Z: free according to `logicalDrives` (bit 0 is A), or the drive's own letter.
std::vector<wchar_t> OfferedLetters(uint32_t logicalDrives, wchar_t own);

// The letter of the virtual drive with index `index`: the first letter in `logicalDrives`
// (bit 0 is A) that the driver answers for with that index; 0 when there is none.
wchar_t LetterOfDrive(DriverChannel* channel, uint32_t logicalDrives, uint32_t index);

// The work of /Y<from><to>. Both letters upper case C to Z and different, `from` a CD-ROM drive
// with a DOS device, `to` free. Every failure is logged.
JobResult MoveDriveLetter(DeviceNamespace* devices, VolumeMounts* mounts, wchar_t from,
                          wchar_t to, ActivityLog* log);

// The parameters of the one-shot that moves `from` to `to`: "-Y" and the two letters.
std::wstring MoveLetterParameters(wchar_t from, wchar_t to);

// What the user sees after choosing `to` for the drive at `from` in the dialog: nothing when
// it is the same letter or the elevation was refused, a message when the move failed.
struct LetterChangeServices {
    Launcher* launcher = nullptr;
    Elevation* elevation = nullptr;
};
OneShotOutcome RequestLetterChange(AppContext& ctx, const LetterChangeServices& services,
                                   wchar_t from, wchar_t to, void* owner);

// Default text of the message shown when a move failed.
inline constexpr const wchar_t* kLetterMoveFailedDefault =
    L"The drive letter could not be changed.";

} // namespace vostrale::app
