// Work areas from what the desktop tells: the arithmetic both systems share
// (platform.h, "Monitors"). Rectangles are screen pixels, right and bottom
// exclusive; strut spans are inclusive, as the window manager hints give them.
#include <algorithm>

#include "platform/platform.h"

namespace {

// Whether the inclusive span [first, last] meets the half-open [from, to).
bool span_meets(long first, long last, int from, int to) { return first <= last && first < to && last >= from; }
// The exclusive end of an inclusive span that ends at last, clamped to limit
// (a span may claim the edge's whole length as LONG_MAX).
long span_end(long last, int limit) { return last >= limit ? limit : last + 1; }

// Shrink work (inside monitor m) to keep off the screen strip [x0, x1) x [y0, y1)
// from the given side, unless that would leave less than half of m.
enum Side { LEFT, RIGHT, TOP, BOTTOM };
void keep_off(PlatformRect& work, const PlatformRect& m, Side side, long x0, long y0, long x1, long y1) {
    if (x0 >= x1 || y0 >= y1) return;
    // The strip must overlap the monitor itself, not merely its row or column.
    if (x1 <= m.left || x0 >= m.right || y1 <= m.top || y0 >= m.bottom) return;
    x0 = std::max<long>(x0, m.left), x1 = std::min<long>(x1, m.right);
    y0 = std::max<long>(y0, m.top), y1 = std::min<long>(y1, m.bottom);
    PlatformRect next = work;
    switch (side) {
    case LEFT: next.left = std::max<long>(next.left, x1); break;
    case RIGHT: next.right = std::min<long>(next.right, x0); break;
    case TOP: next.top = std::max<long>(next.top, y1); break;
    case BOTTOM: next.bottom = std::min<long>(next.bottom, y0); break;
    }
    const int w = m.right - m.left, h = m.bottom - m.top;
    if (2 * (next.right - next.left) < w || 2 * (next.bottom - next.top) < h) return;
    work = next;
}

}  // namespace

std::vector<PlatformRect> platform_work_areas_from_struts(int width, int height,
                                                          const std::vector<PlatformRect>& monitors,
                                                          const std::vector<PlatformStrut>& struts) {
    std::vector<PlatformRect> out;
    for (const PlatformRect& m : monitors) {
        PlatformRect work = m;
        for (const PlatformStrut& s : struts) {
            // Each strip runs along its screen edge, over its span (clamped to
            // the screen: a span past the edge counts up to the edge).
            if (s.left > 0 && span_meets(s.left_start_y, s.left_end_y, 0, height))
                keep_off(work, m, LEFT, 0, std::max(0L, s.left_start_y), s.left,
                         span_end(s.left_end_y, height));
            if (s.right > 0 && span_meets(s.right_start_y, s.right_end_y, 0, height))
                keep_off(work, m, RIGHT, width - s.right, std::max(0L, s.right_start_y), width,
                         span_end(s.right_end_y, height));
            if (s.top > 0 && span_meets(s.top_start_x, s.top_end_x, 0, width))
                keep_off(work, m, TOP, std::max(0L, s.top_start_x), 0, span_end(s.top_end_x, width),
                         s.top);
            if (s.bottom > 0 && span_meets(s.bottom_start_x, s.bottom_end_x, 0, width))
                keep_off(work, m, BOTTOM, std::max(0L, s.bottom_start_x), height - s.bottom,
                         span_end(s.bottom_end_x, width), height);
        }
        out.push_back(work);
    }
    return out;
}

std::vector<PlatformRect> platform_work_areas_within(const PlatformRect& area,
                                                     const std::vector<PlatformRect>& monitors) {
    std::vector<PlatformRect> out;
    for (const PlatformRect& m : monitors) {
        PlatformRect work{std::max(m.left, area.left), std::max(m.top, area.top), std::min(m.right, area.right),
                          std::min(m.bottom, area.bottom)};
        const int w = m.right - m.left, h = m.bottom - m.top;
        const bool believed = 2 * (work.right - work.left) >= w && 2 * (work.bottom - work.top) >= h;
        out.push_back(believed ? work : m);
    }
    return out;
}

std::vector<PlatformRect> platform_work_areas_match(const std::vector<PlatformRect>& monitors,
                                                    const std::vector<PlatformRect>& told_monitors,
                                                    const std::vector<PlatformRect>& told_work) {
    std::vector<PlatformRect> out;
    for (const PlatformRect& m : monitors) {
        PlatformRect work = m;
        for (size_t i = 0; i < told_monitors.size() && i < told_work.size(); i++) {
            const PlatformRect& t = told_monitors[i];
            if (t.left != m.left || t.top != m.top || t.right != m.right || t.bottom != m.bottom) continue;
            // Only a work area inside its monitor is believed.
            const PlatformRect& w = told_work[i];
            if (w.left >= m.left && w.top >= m.top && w.right <= m.right && w.bottom <= m.bottom &&
                w.right > w.left && w.bottom > w.top)
                work = w;
            break;
        }
        out.push_back(work);
    }
    return out;
}
