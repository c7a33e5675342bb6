// Private to src/gfx: state shared by the layer's source files (rcore.cpp,
// rtextures.cpp, rtext.cpp). Main thread only, like the rest of the layer.
#pragma once

#include "gfx/raylib.h"

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
void gfx_batch_flush();       // Draw what is queued (texture change, read-back, end of frame)
int gfx_batch_frame_calls();  // Draw calls issued since gfx_batch_begin_frame
// Queue one textured quad; corners in order top-left, top-right, bottom-right,
// bottom-left with their texture coordinates (u, v in 0..1).
void gfx_batch_quad(unsigned int texture, const float* xy, const float* uv, Color tint);
bool gfx_has_context();       // A GL context is current on this thread
void gfx_framebuffer_size(int* width, int* height);  // Physical pixels; 0 x 0 without a window
