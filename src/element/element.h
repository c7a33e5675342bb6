// Elements, drawables and the element registry: everything on screen is an
// Element, a plain record with drawables, an optional physics body, named
// extras and callback slots. ELEMENTS owns every live element in draw order.
// Drawing, measuring and hit-testing an element's drawables is draw's
// (draw/draw.h); the generic behaviours are desktop's (desktop/behaviours.h).
//
// Threads: the registry, every element and every function here belong to the
// main thread. Only the physics bodies are shared with the physics thread;
// the functions that touch a body (enablePhysics, updateElement,
// _removeElement) take the physics world's lock around that access.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "gfx/raylib.h"

struct PhysicsBodyData;
struct Element;

enum DrawableType {
    DRAWABLE_IMAGE = 0,       // source + ".png", stretched to size
    DRAWABLE_NINE_SLICE = 1,  // source + "." + piece + ".png", nine pieces
    DRAWABLE_TEXT = 2,        // source is a text source "font:size:text"
    DRAWABLE_COLOR = 3,       // a filled rectangle of color; source unused
};

// One visual layer of an element, held by value and copied when drawn or
// measured. Value-initialisation gives an image with everything zero.
struct Drawable {
    int type = DRAWABLE_IMAGE;  // a DrawableType; any other value draws nothing
    std::string source;         // image/nine-slice base path without extension, or the text source
    Vector2 offset = {0, 0};    // centre relative to the element position, in element space (turns with it)
    Vector2 size = {0, 0};      // drawn size in pixels; text: x = wrap width (<= 0: none), y = letter spacing
    float rotation = 0;         // degrees, added to the element's rotation (negated while flipped)
    Color color = {0, 0, 0, 0}; // fill of a colour drawable, tint of the others, text colour
};

// A value in Element::properties: owned through the shared_ptr, whose deleter
// was made for the stored type, so strings, vectors and the like are released
// properly with the element. Use setProperty/getProperty, not the fields.
struct ElementProperty {
    std::shared_ptr<void> value;            // the owned value; null when empty
    const std::type_info* type = nullptr;   // typeid of the stored value, checked by getProperty
};

typedef void (*ElementDestroyFn)(Element* e);
typedef void (*ElementUpdateFn)(Element* e, float dt, float time);
typedef void (*ElementDrawFn)(Element* e, float dt);
typedef void (*ElementClickFn)(Element* e, Vector2 mouse, MouseButton button);
typedef void (*ElementDragFn)(Element* e, Vector2 previousMouse, Vector2 mouse, MouseButton button);
typedef void (*ElementReleaseFn)(Element* e, Vector2 previousMouse, Vector2 mouse, MouseButton button);
typedef void (*ElementCollideFn)(Element* e, int ownBodyId, int otherBodyId, Vector2 collisionNormal,
                                 Vector2 collisionDelta);

// Created only by newElement, destroyed only by _removeElement.
struct Element {
    std::string id;                   // name for getElementByID; "" = unnamed
    std::vector<Drawable> drawables;  // drawn first to last, hit-tested last to first
    Vector2 position = {0, 0};        // centre in window pixels (newElement: screen centre)
    Vector2 size = {1, 1};            // box for the hover test and the physics body, pixels
    float rotation = 0;               // degrees, clockwise on screen
    float restitution = 0.5f;         // bounciness copied to the body by enablePhysics
    float layer = 0;                  // draw order key; truncated to int, also the body's collisionLayer
    bool clickThrough = false;        // never hovered when true
    int physicsId = -1;               // id of the element's body; -1 = no body
    bool canRotate = true;            // false: body rotation frozen, rotation not taken from the body
    bool autoFlip = false;            // flipped follows the sign of the body's horizontal velocity
    bool flipped = false;             // drawn mirrored horizontally (facing left)
    std::map<std::string, void*> handlers;  // named extra callbacks (function pointers, not owned)
    std::map<std::string, ElementProperty> properties;  // named values owned by the element

    ElementDestroyFn onDestroy = nullptr;  // first thing _removeElement does
    ElementUpdateFn onUpdate = nullptr;    // once per frame after updateElement
    ElementDrawFn onDraw = nullptr;        // once per frame right after the drawables
    ElementClickFn onClick = nullptr;      // a button went down while hovered
    ElementDragFn onDrag = nullptr;        // every frame while held
    ElementReleaseFn onRelease = nullptr;  // the holding button went up, or another press took over
    ElementCollideFn onCollide = nullptr;  // at most once per frame when the body recorded a collision
};

// The registry (main thread only). ELEMENTS is sorted by ascending layer, equal
// layers in creation order: this is the draw order (later = on top) and the
// update order. ELEMENTS_TO_BE_REMOVED holds each queued element at most once.
extern std::vector<Element*> ELEMENTS;
extern std::vector<Element*> ELEMENTS_TO_BE_REMOVED;

Element* newElement(int layer);                        // Create, register (after equal layers) and return an element
Element* getElementByID(const std::string& id);        // First element in ELEMENTS order with this id, or null
// Give e a rectangle body (position, size, density 1, restitution, layer,
// freezeRotation = !canRotate). Null when the world is full: e then has no body.
PhysicsBodyData* enablePhysics(Element* e);
void updateElement(Element* e, float dt);              // Take position, rotation and facing from the body
void removeElement(Element* e);                        // Queue for destruction at the next frame's start (once)
void _removeElement(Element* e);                       // Destroy now: onDestroy, unlink, body, memory

// Removals, reported to whoever keeps pointers to elements (the pointer input
// forgets a held or hovered element): a listener is called for e by
// removeElement (queued) and again by _removeElement (destroyed, after its
// onDestroy). Listeners are called in registration order.
typedef void (*ElementRemovedFn)(Element* e);
inline constexpr int ELEMENT_REMOVAL_LISTENERS_MAX = 4;
// Add listener (once; a second call with it changes nothing). False when all
// ELEMENT_REMOVAL_LISTENERS_MAX places are taken. Safe from a static initialiser.
bool element_listen_removals(ElementRemovedFn listener);

// Typed properties. The type is always named at the call, so a literal
// cannot be stored as double and then read as float: setProperty<float>(e,
// "life", 5), getProperty<float>(e, "life"). The returned pointer stays valid
// until the property is set again or removed, or the element is destroyed.
template <class T>
T* setProperty(Element* e, const std::string& name, std::type_identity_t<T> value) {  // Store (replace), return it
    std::shared_ptr<T> p = std::make_shared<T>(std::move(value));
    e->properties[name] = ElementProperty{p, &typeid(T)};
    return p.get();
}
template <class T>
T* getProperty(Element* e, const std::string& name) {  // The value if present and of type T, else null
    auto it = e->properties.find(name);
    if (it == e->properties.end() || it->second.type == nullptr || *it->second.type != typeid(T)) return nullptr;
    return static_cast<T*>(it->second.value.get());
}
inline bool hasProperty(Element* e, const std::string& name) {  // Any value stored under name
    return e->properties.count(name) != 0;
}
inline void removeProperty(Element* e, const std::string& name) {  // Release the value now
    e->properties.erase(name);
}
