#include "app/progress.h"

#include <algorithm>

namespace vostrale::app {

uint32_t ProgressPercent(uint64_t done, uint64_t total) {
    if (total == 0)
        return 0;
    if (done >= total)
        return 100;
    if (done <= UINT64_MAX / 100)
        return uint32_t(done * 100 / total);
    // done * 100 would overflow; done < total keeps this below 100.
    return uint32_t(done / (total / 100 + 1));
}

TaskbarEdge TaskbarEdgeOf(const ScreenRect& monitor, const ScreenRect& work) {
    if (work.left > monitor.left)
        return TaskbarEdge::kLeft;
    if (work.top > monitor.top)
        return TaskbarEdge::kTop;
    if (work.right < monitor.right)
        return TaskbarEdge::kRight;
    return TaskbarEdge::kBottom;
}

void ProgressWindowOrigin(const ScreenRect& work, TaskbarEdge edge, int width, int height,
                          int* x, int* y) {
    int left = work.left;
    int top = work.top;
    int right = std::max(work.left, work.right - width);
    int bottom = std::max(work.top, work.bottom - height);
    switch (edge) {
    case TaskbarEdge::kLeft:
        *x = left;
        *y = bottom;
        break;
    case TaskbarEdge::kTop:
        *x = right;
        *y = top;
        break;
    case TaskbarEdge::kBottom:
    case TaskbarEdge::kRight:
        *x = right;
        *y = bottom;
        break;
    }
}

} // namespace vostrale::app
