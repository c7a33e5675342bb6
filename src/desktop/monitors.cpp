// Monitors and the world's solid edges. See monitors.h.
#include "desktop/monitors.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <iostream>

#include "base/base.h"
#include "base/files.h"
#include "desktop/walls.h"
#include "desktop/window.h"
#include "element/element.h"
#include "gfx/gfx_ext.h"
#include "physics/physics.h"
#include "platform/platform.h"

// Ids of the static bodies this module made (screen walls, dead areas).
static std::vector<int> EDGE_IDS;
// Each monitor's work area, same order as MONITORS (overlay pixels): the
// monitor itself where no panel is.
static std::vector<Rectangle> WORK_AREAS;
// Thickness of the walls around the overlay, pixels: thick enough that nothing
// thrown hard passes through in one step.
static const float SCREEN_WALL = 256;

std::vector<Rectangle> monitors_dead_areas(Rectangle screen, const std::vector<Rectangle>& monitors) {
    const float left = screen.x, right = screen.x + screen.width;
    const float top = screen.y, bottom = screen.y + screen.height;
    // Bands between consecutive horizontal monitor edges: within one band each
    // monitor either covers its whole height or none of it.
    std::vector<float> ys = {top, bottom};
    for (const Rectangle& m : monitors) {
        ys.push_back(std::clamp(m.y, top, bottom));
        ys.push_back(std::clamp(m.y + m.height, top, bottom));
    }
    std::sort(ys.begin(), ys.end());
    ys.erase(std::unique(ys.begin(), ys.end()), ys.end());

    std::vector<Rectangle> dead;
    std::vector<Rectangle> open;  // the previous band's gaps, still growing downwards
    for (size_t b = 0; b + 1 < ys.size(); b++) {
        const float y0 = ys[b], y1 = ys[b + 1];
        std::vector<std::pair<float, float>> covered;
        for (const Rectangle& m : monitors)
            if (m.y <= y0 && m.y + m.height >= y1 && m.width > 0)
                covered.push_back({std::max(m.x, left), std::min(m.x + m.width, right)});
        std::sort(covered.begin(), covered.end());
        std::vector<Rectangle> gaps;
        float x = left;
        for (const auto& [from, to] : covered) {
            if (from > x) gaps.push_back({x, y0, from - x, y1 - y0});
            x = std::max(x, to);
        }
        if (x < right) gaps.push_back({x, y0, right - x, y1 - y0});
        // A gap directly below one of the same columns grows that one.
        std::vector<Rectangle> next;
        for (Rectangle g : gaps) {
            for (auto it = open.begin(); it != open.end(); ++it) {
                if (it->x == g.x && it->width == g.width && it->y + it->height == y0) {
                    g = {g.x, it->y, g.width, y1 - it->y};
                    open.erase(it);
                    break;
                }
            }
            next.push_back(g);
        }
        dead.insert(dead.end(), open.begin(), open.end());
        open = std::move(next);
    }
    dead.insert(dead.end(), open.begin(), open.end());
    return dead;
}

std::vector<Rectangle> monitors_open_areas(const std::vector<Rectangle>& monitors, const std::vector<Rectangle>& work) {
    std::vector<Rectangle> open;
    for (size_t i = 0; i < monitors.size(); i++) {
        const Rectangle& m = monitors[i];
        if (i >= work.size()) {
            open.push_back(m);
            continue;
        }
        // Within the monitor whatever the work area says.
        const float left = std::clamp(work[i].x, m.x, m.x + m.width);
        const float right = std::clamp(work[i].x + work[i].width, left, m.x + m.width);
        const float bottom = std::clamp(work[i].y + work[i].height, m.y, m.y + m.height);
        open.push_back({left, m.y, right - left, bottom - m.y});
    }
    return open;
}

// Where bodies may be: each monitor's open area.
static std::vector<Rectangle> open_areas() { return monitors_open_areas(MONITORS, WORK_AREAS); }

// A static rectangle on layer: walls and dead areas stop bodies the same way.
static void add_static(Rectangle r, int layer) {
    const int id = createStaticRect({r.x + r.width / 2, r.y + r.height / 2}, {r.width, r.height}, layer);
    if (id != -1) EDGE_IDS.push_back(id);
}

static void remove_edges() {
    PhysicsLock lock;
    for (int id : EDGE_IDS) DestroyPhysicsBody(GetPhysicsBodyByID(id));
    EDGE_IDS.clear();
}

// Walls around the overlay and bodies over the dead areas, each twice: the
// first set stops every body except those on the lowest layer, the second
// stops exactly those. A dead area on the overlay's edge reaches into the wall
// beyond it, so it is as hard to pass through as the wall.
static void build_edges() {
    const Rectangle screen{0, 0, RESOLUTION.x, RESOLUTION.y};
    const float T = SCREEN_WALL;
    std::vector<Rectangle> solid = {{-T, -T, screen.width + 2 * T, T},
                                    {-T, screen.height, screen.width + 2 * T, T},
                                    {-T, 0, T, screen.height},
                                    {screen.width, 0, T, screen.height}};
    for (Rectangle d : monitors_dead_areas(screen, open_areas())) {
        if (d.x <= 0) d.x -= T, d.width += T;
        if (d.y <= 0) d.y -= T, d.height += T;
        if (d.x + d.width >= screen.width) d.width += T;
        if (d.y + d.height >= screen.height) d.height += T;
        solid.push_back(d);
    }
    // One lock for all, so no step sees a body before it is static.
    PhysicsLock lock;
    for (const Rectangle& r : solid) {
        add_static(r, INT_MAX);
        add_static(r, INT_MIN);
    }
}

// Monitors and their work areas in overlay pixels, both clipped to the overlay.
struct Layout {
    std::vector<Rectangle> monitors, work;  // same order; empty when none shows any of the overlay
    bool work_read;                         // false: the work areas could not be read just now
};

static Rectangle clip(Rectangle r, Rectangle to) {
    const float x0 = std::max(r.x, to.x), y0 = std::max(r.y, to.y);
    const float x1 = std::min(r.x + r.width, to.x + to.width), y1 = std::min(r.y + r.height, to.y + to.height);
    return {x0, y0, std::max(x1 - x0, 0.0f), std::max(y1 - y0, 0.0f)};
}

static Layout read_layout() {
    overlay_origin_update();
    const std::vector<PlatformRect> screens = platform_monitors();
    const std::vector<PlatformRect> work = platform_work_areas(screens);
    Layout found{{}, {}, work.size() == screens.size()};
    for (size_t i = 0; i < screens.size(); i++) {
        const Rectangle m = clip(screen_to_overlay(screens[i]), {0, 0, RESOLUTION.x, RESOLUTION.y});
        if (m.width <= 0 || m.height <= 0) continue;
        const Rectangle w = found.work_read ? clip(screen_to_overlay(work[i]), m) : m;
        found.monitors.push_back(m);
        found.work.push_back(w.width > 0 && w.height > 0 ? w : m);
    }
    return found;
}

static void announce() {
    std::cout << "Monitors:";
    for (const Rectangle& m : MONITORS)
        std::cout << " " << (int)m.width << "x" << (int)m.height << "+" << (int)m.x << "+" << (int)m.y;
    std::cout << std::endl;
    std::cout << "Work areas:";
    for (const Rectangle& w : WORK_AREAS)
        std::cout << " " << (int)w.width << "x" << (int)w.height << "+" << (int)w.x << "+" << (int)w.y;
    std::cout << std::endl;
}

void monitors_apply(std::vector<Rectangle> monitors, std::vector<Rectangle> work) {
    if (monitors.empty()) monitors.push_back({0, 0, RESOLUTION.x, RESOLUTION.y});
    if (work.size() != monitors.size()) work = monitors;
    MONITORS = std::move(monitors);
    WORK_AREAS = std::move(work);
    announce();
    remove_edges();
    build_edges();
    monitors_gather_strays();
}

void monitors_start() {
    Layout layout = read_layout();
    monitors_apply(std::move(layout.monitors), std::move(layout.work));
}

static bool overlaps(Rectangle a, Rectangle b) {
    return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

// open: open_areas(), by monitor.
static Rectangle open_area_at(const std::vector<Rectangle>& open, Vector2 point) {
    const Rectangle near = monitor_at(point);
    for (size_t i = 0; i < MONITORS.size() && i < open.size(); i++)
        if (MONITORS[i].x == near.x && MONITORS[i].y == near.y) return open[i];
    return near;
}

Rectangle monitors_walled_area_at(Vector2 point) {
    const std::vector<Rectangle> open = open_areas();
    const Rectangle a = open_area_at(open, point);
    const auto open_at = [&open](Vector2 p) {
        for (const Rectangle& o : open)
            if (p.x >= o.x && p.x < o.x + o.width && p.y >= o.y && p.y < o.y + o.height) return true;
        return false;
    };
    // A pixel past the middle of each side: open there, no wall on that side.
    const float midX = a.x + a.width / 2, midY = a.y + a.height / 2, far = 1e7f;
    float left = a.x, top = a.y, right = a.x + a.width, bottom = a.y + a.height;
    if (open_at({left - 1, midY})) left = -far;
    if (open_at({right, midY})) right = far;
    if (open_at({midX, top - 1})) top = -far;
    if (open_at({midX, bottom})) bottom = far;
    return {left, top, right - left, bottom - top};
}

void monitors_gather_strays() {
    const std::vector<Rectangle> open = open_areas();
    const std::vector<Rectangle> solid = monitors_dead_areas({0, 0, RESOLUTION.x, RESOLUTION.y}, open);
    for (Element* e : ELEMENTS) {
        if (e->physicsId == -1) continue;
        bool seen = false;
        for (const Rectangle& m : open)
            seen = seen || (e->position.x >= m.x && e->position.x < m.x + m.width && e->position.y >= m.y &&
                            e->position.y < m.y + m.height);
        // A body resting on the floor touches the ground by a pixel or so;
        // only one reaching further in is inside it.
        const Rectangle box{e->position.x - e->size.x * 0.5f + 2, e->position.y - e->size.y * 0.5f + 2,
                            e->size.x - 4, e->size.y - 4};
        bool buried = false;
        for (const Rectangle& d : solid) buried = buried || overlaps(box, d);
        if (seen && !buried) continue;
        const Rectangle m = open_area_at(open, e->position);
        // Inside, clear of the edges by half the element where it fits.
        const float hw = std::min(e->size.x * 0.5f, m.width * 0.5f), hh = std::min(e->size.y * 0.5f, m.height * 0.5f);
        const Vector2 p{std::clamp(e->position.x, m.x + hw, m.x + m.width - hw),
                        std::clamp(e->position.y, m.y + hh, m.y + m.height - hh)};
        PhysicsLock lock;
        PhysicsBodyData* body = GetPhysicsBodyByID(e->physicsId);
        if (body == nullptr) continue;
        body->position = p;
        body->velocity = {0, 0};
        e->position = p;
    }
}

static bool same_rects(const std::vector<Rectangle>& a, const std::vector<Rectangle>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (a[i].x != b[i].x || a[i].y != b[i].y || a[i].width != b[i].width || a[i].height != b[i].height)
            return false;
    return true;
}

void monitors_follow() {
    // Both asked every time: each also reads what its system queued.
    const bool monitors = platform_monitors_changed();
    const bool panels = platform_work_areas_changed();
    if (!monitors && !panels) return;
    if (monitors) {
        int width = 0, height = 0;  // screen pixels
        if (platform_screen_size(&width, &height) && width > 0 && height > 0 &&
            (width / gfx_scale() != (int)RESOLUTION.x || height / gfx_scale() != (int)RESOLUTION.y)) {
            SetWindowPosition(0, 0);
            SetWindowSize(width, height);
            RESOLUTION = {(float)GetScreenWidth(), (float)GetScreenHeight()};
        }
    }
    Layout layout = read_layout();
    if (!monitors) {
        // A panel whose look failed is looked at again at the next tick; one
        // that changed nothing here (a panel on no monitor) rebuilds nothing.
        if (!layout.work_read) return;
        const std::vector<Rectangle> bare = layout.monitors.empty()
                                                ? std::vector<Rectangle>{{0, 0, RESOLUTION.x, RESOLUTION.y}}
                                                : layout.monitors;
        if (same_rects(bare, MONITORS) && same_rects(layout.work.empty() ? bare : layout.work, WORK_AREAS)) return;
    }
    monitors_apply(std::move(layout.monitors), std::move(layout.work));
}

void monitors_reset() {
    MONITORS.clear();
    WORK_AREAS.clear();
    EDGE_IDS.clear();
}
