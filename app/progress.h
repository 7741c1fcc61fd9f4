// The progress window's arithmetic: the percent shown, its text, and where the window goes.
#pragma once

#include "app/language.h"

#include <cstdint>
#include <string>

namespace vostrale::app {

// done * 100 / total from 64-bit counts, 0 to 100; 0 while the total is unknown.
uint32_t ProgressPercent(uint64_t done, uint64_t total);

struct ScreenRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

enum class TaskbarEdge { kBottom, kRight, kLeft, kTop };

// Where the taskbar is, from the monitor's rectangle and its work area (bottom when no edge is
// taken).
TaskbarEdge TaskbarEdgeOf(const ScreenRect& monitor, const ScreenRect& work);
// The window's top-left corner in the work area's corner beside the taskbar: bottom-right for a
// taskbar at the bottom or on the right, bottom-left for one on the left, top-right for one at
// the top; always inside the work area (its top-left when the window is larger).
void ProgressWindowOrigin(const ScreenRect& work, TaskbarEdge edge, int width, int height,
                          int* x, int* y);

} // namespace vostrale::app
