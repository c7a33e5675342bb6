// Extras of the graphics layer that raylib 5.5 does not have: the HiDPI
// scale, input injection for unit tests without a window, batch statistics,
// the X11 shape and compositor queries used to stay usable without a
// compositing manager, and monitor changes.
// Feature code that must also build against a real raylib keeps these calls
// behind its own switch.
//
// Threads: main thread only, like raylib.h.
#pragma once

#include "gfx/raylib.h"

// ---- HiDPI scale -----------------------------------------------------------------
// Every window pixel the program speaks of (GetScreenWidth/Height, drawing,
// GetMousePosition, the input region and window shape) is a logical pixel of
// scale x scale physical ones, so pixel art stays crisp on a dense screen.
// GetScreenWidth/Height are the framebuffer's size divided by scale, whole
// pixels. Physical pixels remain: InitWindow's requested size and
// SetWindowSize's and SetWindowPosition's (screen pixels), the pointer
// position of gfx_window_pointer, and LoadImageFromScreen (the
// framebuffer as it is).
// Set before InitWindow: a value outside 1..3 is clamped. While a window is
// open the call is ignored (the world was laid out in the old size); it takes
// effect at the next InitWindow.
void gfx_set_scale(int scale);
int gfx_scale(void);                                  // Physical pixels per logical pixel (1 until set)

// ---- The window and the pointer, for the desktop's input --------------------------
// The overlay window as an opaque handle (the backend's own window record).
typedef struct GfxWindow GfxWindow;
// The window whose GL context is current on this thread: the overlay once
// InitWindow succeeded, null before and after.
GfxWindow* gfx_current_window(void);
// Pointer position relative to window's client area in physical pixels, read
// from the windowing system wherever the pointer is (also where the window
// lets it through, so no motion event reaches it); (0, 0) for a null window.
Vector2 gfx_window_pointer(GfxWindow* window);

// ---- Input injection (tests) ---------------------------------------------------
// These feed the same state the window's events feed, so code that reads
// IsMouseButtonPressed/GetCharPressed/IsKeyPressed can be driven without an X
// server. They work with or without a window.
void gfx_inject_mouse_button(int button, bool down);  // As if the button went down/up now
void gfx_inject_key_pressed(int key);                 // As if key went down now (not a repeat)
void gfx_inject_char(int codepoint);                  // Append a typed code point (dropped beyond 16)
void gfx_inject_mouse_position(Vector2 position);     // What GetMousePosition returns until the next real move (logical)
// End the input frame as EndDrawing does: forget this frame's presses,
// releases, keys and typed characters; buttons held stay down.
void gfx_next_input_frame(void);
void gfx_reset_input(void);                           // All buttons up, every queue empty

// ---- Statistics --------------------------------------------------------------------
int gfx_draw_calls_last_frame(void);                  // GL draw calls of the last finished frame
// Frames EndDrawing presented since start. A frame that would show exactly
// what the window shows (same quads, textures, tints, corners in the same
// whole pixels) is neither drawn nor presented.
unsigned long long gfx_frames_presented(void);
// The window's pixels are no longer what the last frame drew (expose, resize,
// a compositor that started or stopped): the next frame is drawn and presented.
void gfx_request_redraw(void);
// Texts DrawTextPro currently draws as one composed image (one quad) each.
int gfx_text_images(void);

// ---- Fonts ---------------------------------------------------------------------------
// LoadFont also works before InitWindow: the font then measures exactly as a
// windowed one (MeasureTextEx) but has a stand-in, nonzero texture id and
// draws nothing, so text layout can be unit-tested without an X server.
// Code points rasterised into the font's atlas so far (32..126 at load, more
// on first use); 0 for a font that did not load.
int gfx_font_loaded_glyphs(Font font);
// Whether the font file or its fallback has a glyph for codepoint (others show as "?").
bool gfx_font_has_codepoint(Font font, int codepoint);
// Look up code points the font's own file lacks in fileName (TrueType or
// OpenType) before showing "?": drawn from the same atlas on the font's
// baseline at that file's own scale for the base size, and measured by their
// advance like any other glyph. Replaces an earlier fallback. False when the
// font did not load or the file cannot be read (the font is unchanged).
bool gfx_font_add_fallback(Font font, const char* fileName);

// ---- X11 desktop ----------------------------------------------------------------------
// When the connection to the X server breaks (the session ended, the server
// crashed), call handler on the thread that noticed it, instead of Xlib's exit.
// The handler must not use the window, GL or any X call; it should end the
// process itself (if it returns, the layer exits with status 1). Covers every
// X connection of the process; set once after InitWindow. On Windows the
// handler runs when the session ends (log-off, shutdown: WM_ENDSESSION), which
// a program with windows learns only through its window.
void gfx_on_display_lost(void (*handler)(void));
// A compositing manager runs on the window's screen (_NET_WM_CM_S<n> has an
// owner). Without one a transparent window shows black where nothing is drawn.
// Opens a short-lived connection when no window exists; false without X.
bool gfx_compositor_running(void);
// Cut the window down to the given rectangles (window pixels; every physical
// pixel they touch): the X Shape bounding region. What lies outside is not
// drawn and lets input through.
void gfx_set_window_shape(const Rectangle* rects, int count);
// Cut the window down to the pixels the frames draw (alpha above zero)
// inside the given rectangles (window pixels), so the desktop shows and takes
// the pointer around what is drawn, also at the transparent corners of a
// picture or a turned box. Takes effect at each EndDrawing that presents, before
// the present; the shape is sent only when it changed, and new rectangles
// make the next frame present. On Windows the rectangles themselves (the
// window's per-pixel alpha already shows what lies beneath).
void gfx_set_window_shape_drawn(const Rectangle* rects, int count);
void gfx_clear_window_shape(void);                    // The whole window again
// Rectangles of the window's current bounding shape (window pixels: the
// server's physical ones divided by the scale), up to max written to out;
// returns how many there are, -1 without a window.
int gfx_get_window_shape(Rectangle* out, int max);
// Whether the window may take the keyboard focus. Off from InitWindow on:
// the overlay stays out of the focus cycle and never takes the keyboard from
// the user's window. On asks the window manager for the focus; off hands it
// back to the window that had it. For text entry only.
void gfx_set_window_focusable(bool on);
bool gfx_window_focusable(void);                      // The current setting
// Take pointer input only inside the given rectangles (window pixels, whole
// physical pixels touched; may overlap): the XFixes input shape. Everywhere else the
// pointer reaches the windows below. count 0 lets everything through, like
// SetWindowState(FLAG_WINDOW_MOUSE_PASSTHROUGH); ClearWindowState of that flag
// gives the whole window back. The flag is in force while any region is set.
// Each call is one X request: callers send only changes.
void gfx_set_input_region(const Rectangle* rects, int count);
// Rectangles of the window's current input shape as the X server holds it
// (it may merge or split them), in window pixels (divided by the scale), up
// to max written to out; returns how many there are, -1 without a window.
int gfx_get_input_region(Rectangle* out, int max);
// Rectangles in the window's current input shape: 0 while click-through
// everywhere, -1 without a window.
int gfx_input_shape_rect_count(void);

// ---- On Windows (rcore_win32.cpp) ---------------------------------------------------------
// The same calls, with Windows's means: GetWindowHandle is the HWND (its
// title is InitWindow's, so EnumWindows finds it); screen pixels
// (InitWindow's placement, SetWindowPosition) count from the virtual
// screen's top-left corner, as the platform layer's do; the input region is kept
// by the layer and the window is click-through (WS_EX_TRANSPARENT) in every
// frame in which the cursor lies outside it, since Windows has no input
// shape; gfx_get_input_region gives the rectangles as set (empty ones
// dropped); the window shape is SetWindowRgn; gfx_compositor_running is
// always true from Windows 8 on (DWM composes every window); focusable
// toggles WS_EX_NOACTIVATE and the foreground window; gfx_on_display_lost
// only keeps the handler (there is no display connection to lose).
