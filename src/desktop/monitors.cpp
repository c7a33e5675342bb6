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
    for (Rectangle d : monitors_dead_areas(screen, MONITORS)) {
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

// The monitors in overlay pixels, clipped to the overlay; empty when none
// could be read or none shows any of it.
static std::vector<Rectangle> read_monitors() {
    overlay_origin_update();
    std::vector<Rectangle> found;
    for (const PlatformRect& screen : platform_monitors()) {
        const Rectangle m = screen_to_overlay(screen);
        const float x0 = std::max(m.x, 0.0f), y0 = std::max(m.y, 0.0f);
        const float x1 = std::min(m.x + m.width, RESOLUTION.x), y1 = std::min(m.y + m.height, RESOLUTION.y);
        if (x1 > x0 && y1 > y0) found.push_back({x0, y0, x1 - x0, y1 - y0});
    }
    return found;
}

static void announce() {
    std::cout << "Monitors:";
    for (const Rectangle& m : MONITORS)
        std::cout << " " << (int)m.width << "x" << (int)m.height << "+" << (int)m.x << "+" << (int)m.y;
    std::cout << std::endl;
}

void monitors_apply(std::vector<Rectangle> monitors) {
    if (monitors.empty()) monitors.push_back({0, 0, RESOLUTION.x, RESOLUTION.y});
    MONITORS = std::move(monitors);
    announce();
    remove_edges();
    build_edges();
    monitors_gather_strays();
}

void monitors_start() {
    monitors_apply(read_monitors());
}

void monitors_gather_strays() {
    for (Element* e : ELEMENTS) {
        if (e->physicsId == -1) continue;
        bool seen = false;
        for (const Rectangle& m : MONITORS)
            seen = seen || (e->position.x >= m.x && e->position.x < m.x + m.width && e->position.y >= m.y &&
                            e->position.y < m.y + m.height);
        if (seen) continue;
        const Rectangle m = monitor_at(e->position);
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

void monitors_follow() {
    if (!platform_monitors_changed()) return;
    int width = 0, height = 0;  // screen pixels
    if (platform_screen_size(&width, &height) && width > 0 && height > 0 &&
        (width / gfx_scale() != (int)RESOLUTION.x || height / gfx_scale() != (int)RESOLUTION.y)) {
        SetWindowPosition(0, 0);
        SetWindowSize(width, height);
        RESOLUTION = {(float)GetScreenWidth(), (float)GetScreenHeight()};
    }
    monitors_apply(read_monitors());
}

void monitors_reset() {
    MONITORS.clear();
    EDGE_IDS.clear();
}
