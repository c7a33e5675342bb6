// Private to src/gfx: the few X11 calls the layer makes, behind plain types so
// that no file including raylib.h sees Xlib (whose `Font` typedef collides
// with raylib's struct). Implemented in x11_bridge.cpp. Main thread only.
#pragma once

#include <cstdint>

struct GLFWwindow;

// Every X connection of the process: when one breaks, print a line, call
// handler (which should not return) and end the process with status 1.
void gfx_x11_on_connection_broken(void (*handler)(void));
uint64_t gfx_x11_window(GLFWwindow* window);                  // X11 Window id of a GLFW window
// Input shape (XFixes ShapeInput) of the window: xywh holds count rectangles
// as x, y, w, h; count 0 lets every pointer event through, count < 0 sets
// None, the whole window.
void gfx_x11_set_input_region(GLFWwindow* window, const int* xywh, int count);
int gfx_x11_input_rects(GLFWwindow* window, int* xywh, int max);  // Read the input shape back, -1 on error
bool gfx_x11_compositor_running(GLFWwindow* window);          // _NET_WM_CM_Sn has an owner
// Bounding shape of the window: xywh holds count rectangles as x, y, w, h.
void gfx_x11_set_bounding(GLFWwindow* window, const int* xywh, int count);
void gfx_x11_clear_bounding(GLFWwindow* window);              // Back to the plain rectangular window
// Present only the x, y, w, h area of the back buffer (GL's window
// coordinates: rows from the bottom), the rest of the window keeping what it
// shows; the back buffer stays as drawn. False when the driver cannot
// (no GLX_MESA_copy_sub_buffer): present the whole frame instead.
bool gfx_x11_present_area(GLFWwindow* window, int x, int y, int w, int h);
bool gfx_x11_can_present_area(GLFWwindow* window);  // gfx_x11_present_area works for this window
// Forget the GL entry point found for gfx_x11_present_area: the library it
// came from may be unloaded with the window (glfwTerminate).
void gfx_x11_window_closed(void);
// Take the window's Expose events queued so far off GLFW's connection (before
// GLFW sees them): box (x, y, w, h) receives the area around them all. False
// when there were none.
bool gfx_x11_take_exposes(GLFWwindow* window, int* box);
// Hold (true) or release (false) the server for GLFW's connection alone, so
// other clients see a new shape and the frame drawn for it together.
void gfx_x11_hold_server(bool hold);
int gfx_x11_bounding_rects(GLFWwindow* window, int* xywh, int max);  // Read the bounding shape back, -1 on error
// The overlay's standing with the window manager: a floating window type,
// on every workspace, out of taskbar and pager, above others when above is
// true. Properties while the window is unmapped (read at map time), client
// messages to the root once it is mapped.
void gfx_x11_set_desktop_citizen(GLFWwindow* window, bool above);
// WM_HINTS input: whether the window manager may give the window the keyboard.
// Turning it on while mapped also asks for the focus; turning it off while the
// window has the focus hands it back to the window that had it before, or,
// when that one is no longer shown (closed, minimised), to the root, from
// which the window manager passes it on to a window of its choice.
void gfx_x11_set_focusable(GLFWwindow* window, bool on);
bool gfx_x11_is_mapped(GLFWwindow* window);
// Size of the whole X screen (the root window) on GLFW's connection; false
// before glfwInit or without X.
bool gfx_x11_screen_size(int* width, int* height);                   // The window is mapped (viewable or not)
