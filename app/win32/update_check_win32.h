// The update check's thread and the updater's start (Windows side).
#pragma once

#include "app/context.h"
#include "app/update_check.h"

namespace vostrale::app {

// Starts the daily check on a short-lived thread of its own; the main window calls this from
// WM_CREATE with forced false and automatic true. `ctx` must outlive the thread (it lives as
// long as the process).
void StartUpdateThread(AppContext& ctx, bool forced, bool automatic);

// The thread's work, run in the calling thread.
void RunUpdateCheck(AppContext& ctx, bool forced, bool automatic);

// Starts the updater with the block in its start-up information; a missing or failing
// updater is not reported.
bool LaunchUpdater(const UpdaterStart& start);

} // namespace vostrale::app
