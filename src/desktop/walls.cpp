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

int* createWalls(Rectangle area, float thickness, int layer) {
    const float x = area.x, y = area.y, w = area.width, h = area.height, T = thickness;
    const Vector2 centre[4] = {{x + w / 2, y - T / 2}, {x + w / 2, y + h + T / 2}, {x - T / 2, y + h / 2},
                               {x + w + T / 2, y + h / 2}};
    const Vector2 size[4] = {{w + 2 * T, T}, {w + 2 * T, T}, {T, h + 2 * T}, {T, h + 2 * T}};
    int* ids = new int[4];
    // One lock for all four, so no step sees a wall before it is static.
    PhysicsLock lock;
    for (int i = 0; i < 4; i++) ids[i] = createStaticRect(centre[i], size[i], layer);
    return ids;
}
