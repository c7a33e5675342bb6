// Static walls. See walls.h.
#include "desktop/walls.h"

#include <cfloat>

#include "physics/physics.h"

int createStaticRect(Vector2 centre, Vector2 size, int layer) {
    // The largest float as density makes the mass infinite: a static body.
    PhysicsBodyData* body = CreatePhysicsBodyRectangle(centre, size.x, size.y, FLT_MAX);
    if (body == nullptr) return -1;
    body->restitution = 1.0f;
    body->enabled = false;
    body->staticFriction = 0.0f;
    body->dynamicFriction = 1.0f;
    body->collisionLayer = layer;
    return static_cast<int>(body->id);
}

void wallRects(Rectangle area, float thickness, Rectangle out[4]) {
    const float x = area.x, y = area.y, w = area.width, h = area.height, T = thickness;
    out[0] = {x - T, y - T, w + 2 * T, T};  // top
    out[1] = {x - T, y + h, w + 2 * T, T};  // bottom
    out[2] = {x - T, y - T, T, h + 2 * T};  // left
    out[3] = {x + w, y - T, T, h + 2 * T};  // right
}

void closeNarrowSlots(Rectangle walls[4], Rectangle bounds, float narrowest) {
    // A body pushed out of a wall goes the way of least overlap: away from
    // the wall's middle. Widened to narrowest past the edge, the middle lies
    // outside every body that fits in bounds (whose middle is at least
    // narrowest / 2 inside), so the push points into bounds, never into the
    // slot. Both sides of each wall: a window mostly off screen leaves its far
    // wall near the edge. The ends of the top and bottom walls lie within the
    // side walls, which close those slots.
    const float left = bounds.x, top = bounds.y;
    const float right = bounds.x + bounds.width, bottom = bounds.y + bounds.height;
    const auto narrow = [narrowest](float slot) { return slot > 0 && slot < narrowest; };
    for (int i = 0; i < 2; i++) {
        Rectangle& w = walls[i];
        if (narrow(w.y - top)) w = {w.x, top - narrowest, w.width, w.y + w.height - (top - narrowest)};
        if (narrow(bottom - (w.y + w.height))) w.height = bottom + narrowest - w.y;
    }
    for (int i = 2; i < 4; i++) {
        Rectangle& w = walls[i];
        if (narrow(w.x - left)) w = {left - narrowest, w.y, w.x + w.width - (left - narrowest), w.height};
        if (narrow(right - (w.x + w.width))) w.width = right + narrowest - w.x;
    }
}

int* createWallRects(const Rectangle walls[4], int layer) {
    int* ids = new int[4];
    // One lock for all four, so no step sees a wall before it is static.
    PhysicsLock lock;
    for (int i = 0; i < 4; i++) {
        const Rectangle& r = walls[i];
        ids[i] = createStaticRect({r.x + r.width / 2, r.y + r.height / 2}, {r.width, r.height}, layer);
    }
    return ids;
}

int* createWalls(Rectangle area, float thickness, int layer) {
    Rectangle walls[4];
    wallRects(area, thickness, walls);
    return createWallRects(walls, layer);
}
