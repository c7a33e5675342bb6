#include "element/element.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "base/base.h"
#include "physics/physics.h"

std::vector<Element*> ELEMENTS;
std::vector<Element*> ELEMENTS_TO_BE_REMOVED;

// Constant-initialised, so a listener may register from another file's
// static initialiser whatever the order files are initialised in.
static ElementRemovedFn removal_listeners[ELEMENT_REMOVAL_LISTENERS_MAX] = {};

bool element_listen_removals(ElementRemovedFn listener) {
    for (ElementRemovedFn& slot : removal_listeners) {
        if (slot == listener) return true;
        if (slot == nullptr) {
            slot = listener;
            return true;
        }
    }
    return false;
}

static void report_removal(Element* e) {
    for (ElementRemovedFn listener : removal_listeners)
        if (listener != nullptr) listener(e);
}

static const float PI_F = 3.1415927f;

// An element's layer as a collision layer: truncated towards zero, clamped to
// the 32-bit range (a float outside it has no int value).
static int32_t layer_to_int(float layer) {
    if (std::isnan(layer)) return 0;
    if (layer >= 2147483647.0f) return INT32_MAX;
    if (layer <= -2147483648.0f) return INT32_MIN;
    return static_cast<int32_t>(layer);
}

Element* newElement(int layer) {
    Element* e = new Element();
    e->layer = static_cast<float>(layer);
    // The middle of the monitor at the middle of the overlay: with monitors of
    // different sizes the overlay's own middle may lie where none shows it.
    const Rectangle home = monitor_at({RESOLUTION.x * 0.5f, RESOLUTION.y * 0.5f});
    e->position = Vector2{home.x + home.width * 0.5f, home.y + home.height * 0.5f};
    // After every element of the same layer: equal layers keep creation order
    // and the newest is drawn on top.
    auto at = std::find_if(ELEMENTS.begin(), ELEMENTS.end(), [&](Element* other) { return other->layer > e->layer; });
    ELEMENTS.insert(at, e);
    return e;
}

Element* getElementByID(const std::string& id) {
    for (Element* e : ELEMENTS) {
        if (e->id == id) return e;
    }
    return nullptr;
}

PhysicsBodyData* enablePhysics(Element* e) {
    // Held across creation and set-up so that no step sees the body with the
    // engine's defaults (layer 0, no restitution).
    PhysicsLock lock;
    if (e->physicsId != -1) {  // a second call replaces the body instead of orphaning it
        DestroyPhysicsBody(GetPhysicsBodyByID(e->physicsId));
        e->physicsId = -1;
    }
    PhysicsBodyData* body = CreatePhysicsBodyRectangle(e->position, e->size.x, e->size.y, 1.0f);
    if (body == nullptr) return nullptr;  // world full: the element lives without a body
    body->restitution = e->restitution;
    body->enabled = true;
    body->collisionLayer = layer_to_int(e->layer);
    e->physicsId = static_cast<int>(body->id);
    if (!e->canRotate) body->freezeRotation = true;
    return body;
}

void updateElement(Element* e, float dt) {
    (void)dt;
    if (e->physicsId == -1) return;
    PhysicsLock lock;  // position, vertices and velocity are written by every step
    PhysicsBodyData* body = GetPhysicsBodyByID(e->physicsId);
    if (body == nullptr) return;  // only after ClosePhysics, during shutdown
    e->position = body->position;
    if (e->canRotate) {
        // The angle of the first corner against the box's own diagonal gives
        // the body's turn, in degrees clockwise on screen.
        Vector2 v = GetPhysicsShapeVertex(body, 0);
        float a1 = atan2f(-(v.y - body->position.y), v.x - body->position.x);
        float a2 = atan2f(e->size.y, e->size.x);
        e->rotation = (a1 - a2) * -180.0f / PI_F;
    }
    if (e->autoFlip) {
        float vx = body->velocity.x;  // pixels per millisecond
        if (fabsf(vx) > 0.1f) e->flipped = vx < 0;
    }
}

void removeElement(Element* e) {
    // Accepted once: a second queueing would destroy the element twice.
    if (std::find(ELEMENTS_TO_BE_REMOVED.begin(), ELEMENTS_TO_BE_REMOVED.end(), e) == ELEMENTS_TO_BE_REMOVED.end()) {
        ELEMENTS_TO_BE_REMOVED.push_back(e);
    }
    report_removal(e);
}

void _removeElement(Element* e) {
    if (e->onDestroy) e->onDestroy(e);
    report_removal(e);
    auto it = std::find(ELEMENTS.begin(), ELEMENTS.end(), e);
    if (it != ELEMENTS.end()) ELEMENTS.erase(it);
    if (e->physicsId != -1) {
        DestroyPhysicsBody(GetPhysicsBodyByID(e->physicsId));
        e->physicsId = -1;
    }
    // Queued again (by its own or another onDestroy) or still waiting in the
    // queue: it must not be destroyed a second time.
    ELEMENTS_TO_BE_REMOVED.erase(std::remove(ELEMENTS_TO_BE_REMOVED.begin(), ELEMENTS_TO_BE_REMOVED.end(), e),
                                 ELEMENTS_TO_BE_REMOVED.end());
    delete e;  // properties release their values with their own destructors
}
