// Generic element behaviours. See behaviours.h.
#include "desktop/behaviours.h"

#include <cmath>

#include "draw/draw.h"
#include "element/element.h"
#include "physics/physics.h"

void genericDragElement(Element* e, Vector2 previousMouse, Vector2 mouse, MouseButton button) {
    (void)previousMouse;
    (void)button;
    if (e->physicsId == -1) return;  // a burst piece the full world gave no body
    PhysicsLock lock;
    PhysicsBodyData* body = GetPhysicsBodyByID(e->physicsId);
    if (body == nullptr) return;
    // Spring towards the pointer plus half the body's own speed, scaled by
    // sqrt(mass) so light and heavy elements trail the pointer alike. The
    // force is overwritten, not added: the step that reads it clears it, and
    // the next frame's drag renews it.
    float k = sqrtf(body->mass);
    body->force.x = ((mouse.x - e->position.x) * 0.3125f * 0.5f + body->velocity.x * 0.5f) * k;
    body->force.y = ((mouse.y - e->position.y) * 0.3125f * 0.5f + body->velocity.y * 0.5f) * k;
}

void genericTemporaryElement(Element* e, float dt, float time) {
    (void)time;
    float* life = getProperty<float>(e, "life");
    if (life == nullptr) return;
    *life = *life - dt;
    // Still drawn this frame, destroyed at the start of the next; no fading.
    if (*life <= 0) removeElement(e);
}

void explodeIntoDrawables(Element* element, float force, float life) {
    Vector2 inherited = {0, 0};
    if (element->physicsId != -1) {
        PhysicsLock lock;
        PhysicsBodyData* body = GetPhysicsBodyByID(element->physicsId);
        if (body != nullptr) {
            // Pixels per millisecond times frames per second: the push the
            // pieces inherit, in the same loose unit as the outward force.
            float fps = (float)GetFPS();
            inherited = {body->velocity.x * fps, body->velocity.y * fps};
        }
    }

    float theta = element->rotation / 180.0f * 3.1415927f;
    float c = cosf(theta), s = sinf(theta);
    // Last drawable first: each piece lands after the earlier ones on the same
    // layer, so the first drawable's piece ends up on top (order reversed).
    for (size_t i = element->drawables.size(); i-- > 0;) {
        Drawable d = element->drawables[i];
        Element* piece = newElement((int)element->layer);
        Vector2 turned = {d.offset.x * c - d.offset.y * s, d.offset.x * s + d.offset.y * c};
        piece->position = {element->position.x + turned.x, element->position.y + turned.y};
        piece->rotation = element->rotation + d.rotation;
        d.offset = {0, 0};
        d.rotation = 0;
        piece->drawables.push_back(d);
        piece->size = getDrawableSize(piece, d);
        piece->clickThrough = element->clickThrough;
        piece->restitution = element->restitution;
        piece->onDrag = genericDragElement;

        // A full world gives no body: the piece is still shown and still
        // expires, it only does not fall.
        PhysicsBodyData* body = enablePhysics(piece);
        if (body != nullptr) {
            PhysicsLock lock;
            body->force = {turned.x * force + inherited.x, turned.y * force + inherited.y};
        }
        if (life > 0) {
            piece->onUpdate = genericTemporaryElement;
            setProperty<float>(piece, "life", randf() * life + life);
        }
    }
    removeElement(element);
}
