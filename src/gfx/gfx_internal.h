// Private to src/gfx: state shared by the layer's source files. A window
// backend (rcore.cpp on GLFW for Linux, rcore_win32.cpp on Win32 for Windows;
// the build picks one) owns the window and the GL context; rcore_state.cpp
// keeps what both share; rtextures.cpp and rtext.cpp draw with portable
// OpenGL. Main thread only, like the rest of the layer.
#pragma once

#include <vector>

#include "gfx/raylib.h"

// GLFW's window on Linux; the Win32 backend's own record (rcore_win32.cpp)
// on Windows. Opaque everywhere else.
struct GLFWwindow;

// The open window, or null before InitWindow / after CloseWindow.
extern GLFWwindow* GFX_WINDOW;

// A 2D affine transform applied to every vertex the batch receives:
// x' = a*x + c*y + tx, y' = b*x + d*y + ty. Identity outside DrawTextPro.
struct GfxTransform {
    float a, b, c, d, tx, ty;
};
extern GfxTransform GFX_TRANSFORM;

// Frames begun since start (BeginDrawing counts them); ages cached text images.
extern unsigned long long GFX_FRAME;
// Bumped by every gfx_batch_init: textures made under an older context are gone.
extern unsigned int GFX_CONTEXT_GENERATION;

void gfx_batch_init();        // Create the white texture and GL state; needs a current context
void gfx_batch_shutdown();    // Free the white texture; before the context goes
// Projection for a width x height logical window whose pixels are scale x
// scale physical ones, at the top-left of a framebuffer framebufferHeight tall.
void gfx_batch_begin_frame(int width, int height, int scale, int framebufferHeight);
void gfx_batch_flush();       // Send what the frame recorded so far to GL (read-back, a texture's end)
// End of the recorded frame: false when it would show exactly what the last
// presented frame shows and nothing of it was sent (the backend then skips
// the present); otherwise sends the rest, remembers it as shown, counts a
// present and returns true (the backend presents). damage (x, y, w, h,
// physical pixels from the top-left corner) receives the part of the window
// that can differ from the shown frame: when only the quads changed and the
// frame was recorded whole, the box around the old and the new quads, and
// only that part was drawn (a backend that can present only it keeps the
// rest of the back buffer as it was); otherwise the whole framebuffer.
bool gfx_batch_end_frame(int* damage);
// Present the next frame even when it matches the shown one; area (x, y, w,
// h, physical pixels from the top-left corner; null for none) is a part of
// the window the server lost, drawn again with it. Unlike gfx_request_redraw
// the frame may still draw and present only what changed.
void gfx_batch_want_present(const int* area);
int gfx_batch_frame_calls();  // Draw calls issued since gfx_batch_begin_frame
// Queue one textured quad; corners in order top-left, top-right, bottom-right,
// bottom-left with their texture coordinates (u, v in 0..1).
void gfx_batch_quad(unsigned int texture, const float* xy, const float* uv, Color tint);
void gfx_framebuffer_size(int* width, int* height);  // Physical pixels; 0 x 0 without a window
// Rectangles (x, y, w, h quadruples, physical pixels from the top-left corner)
// covering exactly the pixels with alpha above zero inside boxes (quadruples
// alike) in the framebuffer as drawn so far: one per run of such pixels in a
// row, runs of the same columns in consecutive rows joined. Sends what the
// frame recorded first; reads back only the boxes.
std::vector<int> gfx_drawn_rects(const std::vector<int>& boxes);

// ---- Provided by the window backend ---------------------------------------------------
bool gfx_has_context();       // A window exists and its GL context is current on this thread
// The backend can present a part of the back buffer and keeps the rest of it
// as drawn, so a frame may draw only the part that changed.
bool gfx_can_present_area();
typedef void (*GfxProc)(void);
// An OpenGL entry point beyond what the system's GL library exports (OpenGL
// 1.2 and later on Windows, whose opengl32 stops at 1.1); null when missing.
// Needs a current context.
GfxProc gfx_gl_proc(const char* name);

// ---- Shared by the window backends (rcore_state.cpp) -----------------------------------
// The backends feed their events in here and the raylib input calls read
// them out, so both systems keep one input frame, one frame clock and one
// scale rule.
void gfx_input_button(int button, bool down);   // A button went down/up now (latched for the frame)
void gfx_input_key(int key);                    // A key (GLFW code) went down now, not a repeat
void gfx_input_char(int codepoint);             // A typed code point (dropped beyond 16 a frame)
void gfx_input_cursor(double x, double y);      // The pointer moved: physical window pixels
// The framebuffer is width x height physical pixels (0 x 0: no window); the
// logical size follows from the scale.
void gfx_set_framebuffer_size(int width, int height);
void gfx_clock_reset(double now);               // A new window: no frame measured yet; now on the backend's clock
double gfx_clock_wait(double now);              // Seconds EndDrawing should still wait for the pace, 0 for none
void gfx_clock_frame_end(double now);           // The frame ended at now, its wait included (after the present)
// count logical rectangles as x, y, w, h quadruples of the whole physical
// pixels they touch.
std::vector<int> gfx_whole_pixels(const Rectangle* rects, int count);
// count physical x, y, w, h quadruples as logical rectangles, at most max of them into out.
void gfx_logical_rects(const int* xywh, int count, Rectangle* out, int max);
