// Pointer input and click-through. See input.h.
#include "desktop/input.h"

#include <GLFW/glfw3.h>

#include <cmath>

#include "element/element.h"

GLFWwindow* input_window = nullptr;
Element* held = nullptr;
MouseButton held_button = MOUSE_BUTTON_LEFT;
Vector2 prev_mouse = {0, 0};
Element* prev_detected = nullptr;
int input_passthrough_switches = 0;

// Every change of the window's click-through goes through here, so that the
// number of X requests stays at one per hover transition.
static void input_set_passthrough(bool on) {
    input_passthrough_switches++;
    if (on) SetWindowState(FLAG_WINDOW_MOUSE_PASSTHROUGH);
    else ClearWindowState(FLAG_WINDOW_MOUSE_PASSTHROUGH);
}

void input_initialize() { input_window = glfwGetCurrentContext(); }

Vector2 input_poll() {
    // Read from the windowing system rather than from mouse events: while the
    // window lets input through it receives no motion events, yet hovering
    // must still be seen.
    if (input_window == nullptr) return {0, 0};
    double x = 0, y = 0;
    glfwGetCursorPos(input_window, &x, &y);
    return {(float)x, (float)y};
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
    if (prev_detected == nullptr && hovered != nullptr) {
        input_set_passthrough(false);
    } else if (prev_detected != nullptr && hovered == nullptr) {
        input_set_passthrough(true);
        prev_detected = nullptr;
    }

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
}

void input_deleted(Element* e) {
    if (e == nullptr) return;
    if (prev_detected == e) {
        // Give the desktop its mouse back at once: otherwise the window would
        // keep swallowing clicks until some other element is hovered and left.
        // If another element is under the pointer, the next input_update
        // takes the mouse again.
        input_set_passthrough(true);
        prev_detected = nullptr;
    }
    if (held == e) held = nullptr;
}

void input_reset() {
    input_window = nullptr;
    held = nullptr;
    held_button = MOUSE_BUTTON_LEFT;
    prev_mouse = {0, 0};
    prev_detected = nullptr;
    input_passthrough_switches = 0;
}
