// Work areas from struts, from one work area over every monitor, and from
// what Windows tells per monitor: each panel narrows only the monitors its
// strip lies on, and nothing a client claims leaves a monitor without room.
#include <gtest/gtest.h>

#include <climits>
#include <ostream>

#include "platform/platform.h"

static bool operator==(const PlatformRect& a, const PlatformRect& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}
static std::ostream& operator<<(std::ostream& out, const PlatformRect& r) {
    return out << "(" << r.left << ", " << r.top << ") - (" << r.right << ", " << r.bottom << ")";
}

namespace {

using Rects = std::vector<PlatformRect>;

// A _NET_WM_STRUT_PARTIAL with one strip: side 0 left, 1 right, 2 top, 3 bottom.
PlatformStrut strip(int side, long width, long first, long last) {
    PlatformStrut s{};
    long* widths[4] = {&s.left, &s.right, &s.top, &s.bottom};
    long* firsts[4] = {&s.left_start_y, &s.right_start_y, &s.top_start_x, &s.bottom_start_x};
    long* lasts[4] = {&s.left_end_y, &s.right_end_y, &s.top_end_x, &s.bottom_end_x};
    *widths[side] = width;
    *firsts[side] = first;
    *lasts[side] = last;
    return s;
}
enum { LEFT, RIGHT, TOP, BOTTOM };

TEST(WorkAreas, StrutsNarrowOnlyTheMonitorsTheirStripsLieOn) {
    // One monitor, a 40 px dock along the bottom.
    const Rects one = {{0, 0, 1280, 800}};
    EXPECT_EQ(platform_work_areas_from_struts(1280, 800, one, {strip(BOTTOM, 40, 0, 1279)}),
              (Rects{{0, 0, 1280, 760}}));
    EXPECT_EQ(platform_work_areas_from_struts(1280, 800, one, {}), one);

    // Side by side, the right one shorter (its bottom 32 px above the screen's).
    const Rects pair = {{0, 0, 1280, 800}, {1280, 0, 2304, 768}};
    // A 30 px panel on the right monitor's bottom: its strip starts 32 + 30 px
    // above the screen's bottom and covers only that monitor's columns.
    EXPECT_EQ(platform_work_areas_from_struts(2304, 800, pair, {strip(BOTTOM, 62, 1280, 2303)}),
              (Rects{{0, 0, 1280, 800}, {1280, 0, 2304, 738}}));
    // A panel on the left monitor's bottom leaves the right one alone, and so
    // does a strip too short to reach the shorter monitor's rows.
    EXPECT_EQ(platform_work_areas_from_struts(2304, 800, pair, {strip(BOTTOM, 40, 0, 1279)}),
              (Rects{{0, 0, 1280, 760}, {1280, 0, 2304, 768}}));
    EXPECT_EQ(platform_work_areas_from_struts(2304, 800, pair, {strip(BOTTOM, 20, 0, 2303)}),
              (Rects{{0, 0, 1280, 780}, {1280, 0, 2304, 768}}));
    // Side panels: one on the left monitor's left edge, one on the right
    // monitor's right edge, only over some rows; several struts add up.
    EXPECT_EQ(platform_work_areas_from_struts(2304, 800, pair,
                                              {strip(LEFT, 48, 100, 500), strip(RIGHT, 60, 0, 767),
                                               strip(BOTTOM, 40, 0, 1279)}),
              (Rects{{48, 0, 1280, 760}, {1280, 0, 2244, 768}}));
    // A panel on the left monitor's right edge reserves, from the screen's
    // right edge, the whole right monitor too: there it is not believed.
    EXPECT_EQ(platform_work_areas_from_struts(2304, 800, pair, {strip(RIGHT, 1024 + 50, 0, 799)}),
              (Rects{{0, 0, 1230, 800}, {1280, 0, 2304, 768}}));

    // Stacked: a panel on the lower monitor's bottom, one on the upper's top.
    const Rects stack = {{0, 0, 1920, 1080}, {0, 1080, 1920, 2160}};
    EXPECT_EQ(platform_work_areas_from_struts(1920, 2160, stack, {strip(BOTTOM, 40, 0, 1919), strip(TOP, 30, 0, 1919)}),
              (Rects{{0, 30, 1920, 1080}, {0, 1080, 1920, 2120}}));

    // _NET_WM_STRUT: every edge whole, its end given as the largest value.
    PlatformStrut whole{0, 0, 0, 40, 0, LONG_MAX, 0, LONG_MAX, 0, LONG_MAX, 0, LONG_MAX};
    EXPECT_EQ(platform_work_areas_from_struts(2560, 800, {{0, 0, 1280, 800}, {1280, 0, 2560, 800}}, {whole}),
              (Rects{{0, 0, 1280, 760}, {1280, 0, 2560, 760}}));

    // Not believed: a strip taking more than half the monitor, a span that
    // ends before it starts, a span wholly off the screen.
    EXPECT_EQ(platform_work_areas_from_struts(1280, 800, one, {strip(BOTTOM, 401, 0, 1279)}), one);
    EXPECT_EQ(platform_work_areas_from_struts(1280, 800, one, {strip(BOTTOM, 400, 0, 1279)}),
              (Rects{{0, 0, 1280, 400}}));
    EXPECT_EQ(platform_work_areas_from_struts(1280, 800, one, {strip(BOTTOM, 40, 900, 100)}), one);
    EXPECT_EQ(platform_work_areas_from_struts(1280, 800, one, {strip(LEFT, 40, 5000, 6000)}), one);
    EXPECT_EQ(platform_work_areas_from_struts(1280, 800, one, {strip(LEFT, 4000000000L, 0, 799)}), one);
}

TEST(WorkAreas, OneAreaOverEveryMonitorIsClippedToEach) {
    // _NET_WORKAREA cannot tell which monitor a panel is on: each monitor
    // gets its part of the one area.
    const Rects pair = {{0, 0, 1280, 800}, {1280, 0, 2304, 768}};
    EXPECT_EQ(platform_work_areas_within({0, 0, 2304, 762}, pair), (Rects{{0, 0, 1280, 762}, {1280, 0, 2304, 762}}));
    EXPECT_EQ(platform_work_areas_within({40, 0, 2304, 800}, pair), (Rects{{40, 0, 1280, 800}, {1280, 0, 2304, 768}}));
    // One that misses a monitor or leaves it too little is not believed there.
    EXPECT_EQ(platform_work_areas_within({0, 0, 1280, 800}, pair), pair);
    EXPECT_EQ(platform_work_areas_within({0, 0, 2304, 300}, pair), pair);
}

TEST(WorkAreas, WindowsWorkAreasGoToTheirOwnMonitors) {
    // The system lists the monitors in its own order; screen pixels already
    // (the virtual screen's corner taken away).
    const Rects monitors = {{1920, 0, 3200, 1024}, {0, 56, 1920, 1136}, {3200, 0, 4000, 600}};
    const Rects told = {{0, 56, 1920, 1136}, {1920, 0, 3200, 1024}};
    const Rects work = {{0, 56, 1920, 1096}, {1920, 0, 3200, 984}};
    EXPECT_EQ(platform_work_areas_match(monitors, told, work),
              (Rects{{1920, 0, 3200, 984}, {0, 56, 1920, 1096}, {3200, 0, 4000, 600}}));
    // A work area outside its monitor, or empty, is not believed.
    EXPECT_EQ(platform_work_areas_match({{0, 0, 800, 600}}, {{0, 0, 800, 600}}, {{0, 0, 800, 700}}),
              (Rects{{0, 0, 800, 600}}));
    EXPECT_EQ(platform_work_areas_match({{0, 0, 800, 600}}, {{0, 0, 800, 600}}, {{0, 0, 800, 0}}),
              (Rects{{0, 0, 800, 600}}));
}

}  // namespace
