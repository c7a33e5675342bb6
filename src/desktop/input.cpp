// Pointer input and click-through. See input.h.
#include "desktop/input.h"

#include <algorithm>
#include <cmath>

#include "desktop/boxes.h"
#include "element/element.h"
#include "gfx/gfx_ext.h"

GfxWindow* input_window = nullptr;
Element* held = nullptr;
MouseButton held_button = MOUSE_BUTTON_LEFT;
Vector2 prev_mouse = {0, 0};
Element* prev_detected = nullptr;
int input_region_sends = 0;
// Removed elements are forgotten at once, wherever they are removed from.
[[maybe_unused]] static const bool forgets_removed = element_listen_removals(input_deleted);
void (*INPUT_SET_REGION)(const Rectangle* rects, int count) = gfx_set_input_region;

static bool region_sent = false;            // last_region is what the window has
static std::vector<Rectangle> last_region;  // window pixels, as last handed to INPUT_SET_REGION

static Vector2 window_size() { return {(float)GetScreenWidth(), (float)GetScreenHeight()}; }

static bool queued(const Element* e) {
    return std::find(ELEMENTS_TO_BE_REMOVED.begin(), ELEMENTS_TO_BE_REMOVED.end(), e) != ELEMENTS_TO_BE_REMOVED.end();
}

std::vector<Rectangle> input_region(Vector2 window, const Element* leaving) {
    if (held != nullptr) return {Rectangle{0, 0, window.x, window.y}};
    std::vector<Rectangle> rects;
    for (const Element* e : ELEMENTS) {
        Rectangle box;
        // Queued elements are no longer hovered (frame_update skips them).
        if (e == leaving || !box_hover(e, &box) || queued(e)) continue;
        if (box_clip(&box, window)) rects.push_back(box);
    }
    return rects;
}

// Every change of the window's input region goes through here, so that an
// unchanged region costs no X request.
static void input_send_region(const Element* leaving) {
    std::vector<Rectangle> rects = input_region(window_size(), leaving);
    if (region_sent && boxes_equal(rects, last_region)) return;
    input_region_sends++;
    INPUT_SET_REGION(rects.data(), static_cast<int>(rects.size()));
    last_region = std::move(rects);
    region_sent = true;
}

void input_initialize() {
    input_window = gfx_current_window();
    // Whatever was sent before belonged to no window: the next update sends.
    region_sent = false;
}

Vector2 input_poll() {
    // Read from the windowing system rather than from mouse events: outside
    // the input region the window receives no motion events, yet hovering
    // must still be seen. The window answers in physical pixels; the world's
    // are gfx_scale() times larger.
    if (input_window == nullptr) return {0, 0};
    const Vector2 physical = gfx_window_pointer(input_window);
    const float scale = (float)gfx_scale();
    return {physical.x / scale, physical.y / scale};
}

bool input_check(Element* e, Vector2 point) {
    float theta = 3.1415927f * e->rotation / 180.0f;
    float c = cosf(theta), s = sinf(theta);
    float dx = point.x - e->position.x;
    float dy = point.y - e->position.y;
    // Turn the offset back into the element's own axes (clockwise on screen).
    float lx = dx * c + dy * s;
    float ly = -dx * s + dy * c;
    float hw = e->size.x * 0.5f, hh = e->size.y * 0.5f;
    return -hw <= lx && lx <= hw && -hh <= ly && ly <= hh;
}

// A press of `button` over hovered: the other button lets go of what it held,
// then hovered is clicked and becomes held. Returns false when a callback
// removed hovered, so that nothing more is sent to it.
static bool input_press(Element* hovered, Vector2 mouse, MouseButton button) {
    MouseButton other = button == MOUSE_BUTTON_LEFT ? MOUSE_BUTTON_RIGHT : MOUSE_BUTTON_LEFT;
    if (held != nullptr && held->onRelease != nullptr) held->onRelease(held, prev_mouse, mouse, other);
    // removeElement (from any callback) forgets the element through
    // input_deleted, which clears prev_detected: a queued element is neither
    // clicked nor held.
    if (prev_detected != hovered) return false;
    if (hovered->onClick != nullptr) hovered->onClick(hovered, mouse, button);
    if (prev_detected != hovered) return false;
    held = hovered;
    held_button = button;
    return true;
}

void input_update(Element* hovered, Vector2 mouse) {
    if (hovered == nullptr) prev_detected = nullptr;

    if (hovered != nullptr) {
        prev_detected = hovered;
        bool alive = true;
        if (IsMouseButtonPressed(MOUSE_BUTTON_LEFT)) alive = input_press(hovered, mouse, MOUSE_BUTTON_LEFT);
        if (alive && IsMouseButtonPressed(MOUSE_BUTTON_RIGHT)) input_press(hovered, mouse, MOUSE_BUTTON_RIGHT);
    }

    if (held != nullptr) {
        Element* e = held;
        if (IsMouseButtonReleased(MOUSE_BUTTON_LEFT)) {
            held = nullptr;
            if (e->onRelease != nullptr) e->onRelease(e, prev_mouse, mouse, MOUSE_BUTTON_LEFT);
        } else if (IsMouseButtonReleased(MOUSE_BUTTON_RIGHT)) {
            held = nullptr;
            if (e->onRelease != nullptr) e->onRelease(e, prev_mouse, mouse, MOUSE_BUTTON_RIGHT);
        } else if (e->onDrag != nullptr) {
            e->onDrag(e, prev_mouse, mouse, held_button);
        }
    }

    prev_mouse = mouse;
    // After the dispatch: a press this frame makes the whole window take the
    // pointer before a drag can outrun the element, a release gives the
    // desktop back everything outside the boxes, and boxes moved by this
    // frame's updates are where the pointer will find them.
    input_send_region(nullptr);
}

void input_deleted(Element* e) {
    if (e == nullptr) return;
    if (prev_detected == e) prev_detected = nullptr;
    if (held == e) held = nullptr;
    // At once rather than at the next update: the element stays listed until
    // the next frame's removal pass, and a click where it was (or anywhere,
    // when it was being dragged) must reach the desktop meanwhile.
    input_send_region(e);
}

void input_reset() {
    input_window = nullptr;
    held = nullptr;
    held_button = MOUSE_BUTTON_LEFT;
    prev_mouse = {0, 0};
    prev_detected = nullptr;
    input_region_sends = 0;
    region_sent = false;
    last_region.clear();
}
