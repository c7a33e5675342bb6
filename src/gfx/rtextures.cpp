// Textures, quads and rectangles (raylib's rtextures and rshapes) on the
// fixed-function OpenGL 2.1 pipeline, which every Mesa driver (llvmpipe under
// Xvfb included) runs. Quads are batched per texture: a frame costs one draw
// call per texture change, plus one at EndDrawing. Main thread only.
#include <stb/stb_image.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "gfx/gfx_gl.h"
#include "gfx/gfx_internal.h"
#include "gfx/raylib.h"

GfxTransform GFX_TRANSFORM = {1, 0, 0, 1, 0, 0};
unsigned long long GFX_FRAME = 0;
unsigned int GFX_CONTEXT_GENERATION = 0;

namespace {

struct Vertex {
    float x, y;            // logical window pixels
    float u, v;            // texture coordinates
    unsigned char rgba[4]; // tint
};

constexpr int kMaxQuads = 4096;           // quads per draw call before a forced flush
Vertex BATCH[kMaxQuads * 6];              // two triangles per quad
int BATCH_COUNT = 0;                      // vertices queued
unsigned int BATCH_TEXTURE = 0;           // texture the queued vertices use
unsigned int WHITE_TEXTURE = 0;           // 1x1 white texel for flat colours
int FRAME_CALLS = 0;                      // draw calls since the frame began

typedef void (*BlendFuncSeparateFn)(GLenum, GLenum, GLenum, GLenum);
BlendFuncSeparateFn BLEND_SEPARATE = nullptr;

void set_blend() {
    glEnable(GL_BLEND);
    // Colour blends source-over; alpha accumulates coverage (1 - (1-a)(1-b)) so
    // a compositor sees an opaque pixel wherever something opaque was drawn.
    if (BLEND_SEPARATE)
        BLEND_SEPARATE(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
    else
        glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
}

unsigned int upload_rgba(const void* pixels, int width, int height) {
    GLuint id = 0;
    glGenTextures(1, &id);
    glBindTexture(GL_TEXTURE_2D, id);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
    glBindTexture(GL_TEXTURE_2D, 0);
    return id;
}

void emit(const float* xy, const float* uv, Color tint, int corner) {
    Vertex& v = BATCH[BATCH_COUNT++];
    const GfxTransform& t = GFX_TRANSFORM;
    float x = xy[2 * corner], y = xy[2 * corner + 1];
    v.x = t.a * x + t.c * y + t.tx;
    v.y = t.b * x + t.d * y + t.ty;
    v.u = uv[2 * corner];
    v.v = uv[2 * corner + 1];
    v.rgba[0] = tint.r;
    v.rgba[1] = tint.g;
    v.rgba[2] = tint.b;
    v.rgba[3] = tint.a;
}

// Corners of a w x h quad whose point origin sits at (x, y), turned by
// rotation degrees clockwise on screen about that point; order TL, TR, BR, BL.
void place_quad(float x, float y, float w, float h, Vector2 origin, float rotation, float* xy) {
    if (rotation == 0.0f) {
        float left = x - origin.x, top = y - origin.y;
        const float corners[8] = {left, top, left + w, top, left + w, top + h, left, top + h};
        std::memcpy(xy, corners, sizeof corners);
        return;
    }
    float rad = rotation * (3.14159265358979323846f / 180.0f);
    float s = std::sin(rad), c = std::cos(rad);
    const float local[8] = {-origin.x, -origin.y, w - origin.x, -origin.y, w - origin.x, h - origin.y, -origin.x,
                            h - origin.y};
    for (int i = 0; i < 4; i++) {
        float lx = local[2 * i], ly = local[2 * i + 1];
        xy[2 * i] = x + lx * c - ly * s;
        xy[2 * i + 1] = y + lx * s + ly * c;
    }
}

}  // namespace

void gfx_batch_init() {
    BLEND_SEPARATE = (BlendFuncSeparateFn)gfx_gl_proc("glBlendFuncSeparate");
    const unsigned char white[4] = {255, 255, 255, 255};
    WHITE_TEXTURE = upload_rgba(white, 1, 1);
    BATCH_COUNT = 0;
    BATCH_TEXTURE = 0;
    GFX_TRANSFORM = GfxTransform{1, 0, 0, 1, 0, 0};
    GFX_CONTEXT_GENERATION++;
}

void gfx_batch_shutdown() {
    BATCH_COUNT = 0;
    if (WHITE_TEXTURE) glDeleteTextures(1, &WHITE_TEXTURE);
    WHITE_TEXTURE = 0;
}

void gfx_batch_begin_frame(int width, int height, int scale, int framebufferHeight) {
    BATCH_COUNT = 0;
    FRAME_CALLS = 0;
    GFX_FRAME++;
    // Exactly scale physical pixels per logical one, so nearest sampling puts
    // every texel on a whole block. GL counts viewport rows from the bottom;
    // the world hangs from the top-left corner.
    glViewport(0, framebufferHeight - height * scale, width * scale, height * scale);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0, width, height, 0, -1, 1);  // logical window pixels, y down
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
    glEnable(GL_TEXTURE_2D);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    set_blend();
}

void gfx_batch_flush() {
    if (BATCH_COUNT == 0 || !gfx_has_context()) {
        BATCH_COUNT = 0;
        return;
    }
    glEnable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, BATCH_TEXTURE);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_TEXTURE_COORD_ARRAY);
    glEnableClientState(GL_COLOR_ARRAY);
    glVertexPointer(2, GL_FLOAT, sizeof(Vertex), &BATCH[0].x);
    glTexCoordPointer(2, GL_FLOAT, sizeof(Vertex), &BATCH[0].u);
    glColorPointer(4, GL_UNSIGNED_BYTE, sizeof(Vertex), BATCH[0].rgba);
    glDrawArrays(GL_TRIANGLES, 0, BATCH_COUNT);
    glDisableClientState(GL_COLOR_ARRAY);
    glDisableClientState(GL_TEXTURE_COORD_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
    FRAME_CALLS++;
    BATCH_COUNT = 0;
}

int gfx_batch_frame_calls() {
    return FRAME_CALLS;
}

void gfx_batch_quad(unsigned int texture, const float* xy, const float* uv, Color tint) {
    if (!gfx_has_context() || texture == 0) return;
    if (BATCH_COUNT > 0 && (texture != BATCH_TEXTURE || BATCH_COUNT + 6 > kMaxQuads * 6)) gfx_batch_flush();
    BATCH_TEXTURE = texture;
    static const int kOrder[6] = {0, 1, 2, 0, 2, 3};
    for (int corner : kOrder) emit(xy, uv, tint, corner);
}

// ---- Textures -------------------------------------------------------------------

Texture2D LoadTexture(const char* fileName) {
    Texture2D texture = {};
    int w = 0, h = 0, channels = 0;
    unsigned char* pixels = fileName ? stbi_load(fileName, &w, &h, &channels, 4) : nullptr;
    if (!pixels) {
        std::printf("WARNING: TEXTURE: Failed to load texture: %s\n", fileName ? fileName : "(null)");
        std::fflush(stdout);
        return texture;
    }
    Image image = {pixels, w, h, 1, PIXELFORMAT_UNCOMPRESSED_R8G8B8A8};
    texture = LoadTextureFromImage(image);
    stbi_image_free(pixels);
    return texture;
}

Texture2D LoadTextureFromImage(Image image) {
    Texture2D texture = {};
    if (!image.data || image.width <= 0 || image.height <= 0 || !gfx_has_context()) return texture;
    texture.id = upload_rgba(image.data, image.width, image.height);
    texture.width = image.width;
    texture.height = image.height;
    texture.mipmaps = 1;
    texture.format = PIXELFORMAT_UNCOMPRESSED_R8G8B8A8;
    return texture;
}

void UnloadTexture(Texture2D texture) {
    if (texture.id == 0 || !gfx_has_context()) return;
    if (BATCH_COUNT > 0 && BATCH_TEXTURE == texture.id) gfx_batch_flush();
    GLuint id = texture.id;
    glDeleteTextures(1, &id);
}

bool IsTextureReady(Texture2D texture) {
    return texture.id != 0;
}

void DrawTexturePro(Texture2D texture, Rectangle source, Rectangle dest, Vector2 origin, float rotation, Color tint) {
    if (texture.id == 0 || texture.width <= 0 || texture.height <= 0) return;
    bool flipX = false, flipY = false;
    if (source.width < 0) {
        flipX = true;
        source.width = -source.width;
    }
    if (source.height < 0) {
        flipY = true;
        source.height = -source.height;
    }
    if (dest.width < 0) dest.width = -dest.width;
    if (dest.height < 0) dest.height = -dest.height;

    float xy[8];
    place_quad(dest.x, dest.y, dest.width, dest.height, origin, rotation, xy);
    float u0 = source.x / (float)texture.width, u1 = (source.x + source.width) / (float)texture.width;
    float v0 = source.y / (float)texture.height, v1 = (source.y + source.height) / (float)texture.height;
    if (flipX) std::swap(u0, u1);
    if (flipY) std::swap(v0, v1);
    const float uv[8] = {u0, v0, u1, v0, u1, v1, u0, v1};
    gfx_batch_quad(texture.id, xy, uv, tint);
}

void DrawRectanglePro(Rectangle rec, Vector2 origin, float rotation, Color color) {
    float xy[8];
    place_quad(rec.x, rec.y, rec.width, rec.height, origin, rotation, xy);
    const float uv[8] = {0, 0, 1, 0, 1, 1, 0, 1};
    gfx_batch_quad(WHITE_TEXTURE, xy, uv, color);
}

Color ColorFromHSV(float hue, float saturation, float value) {
    Color color = {0, 0, 0, 255};
    const float n[3] = {5.0f, 3.0f, 1.0f};
    unsigned char* channel[3] = {&color.r, &color.g, &color.b};
    for (int i = 0; i < 3; i++) {
        float k = std::fmod(n[i] + hue / 60.0f, 6.0f);
        float t = 4.0f - k;
        k = (t < k) ? t : k;
        k = (k < 1) ? k : 1;
        k = (k > 0) ? k : 0;
        *channel[i] = (unsigned char)((value - value * saturation * k) * 255.0f);
    }
    return color;
}

// ---- Screen read-back ---------------------------------------------------------------

void ClearBackground(Color color) {
    if (!gfx_has_context()) return;
    gfx_batch_flush();  // what was queued before the clear is covered by it
    glClearColor(color.r / 255.0f, color.g / 255.0f, color.b / 255.0f, color.a / 255.0f);
    glClear(GL_COLOR_BUFFER_BIT);
}

Image LoadImageFromScreen(void) {
    Image image = {};
    // Physical pixels: what the screen shows, whatever the scale.
    int w = 0, h = 0;
    gfx_framebuffer_size(&w, &h);
    if (!gfx_has_context() || w <= 0 || h <= 0) return image;
    gfx_batch_flush();
    size_t row = (size_t)w * 4;
    unsigned char* bottomFirst = (unsigned char*)std::malloc(row * (size_t)h);
    unsigned char* topFirst = (unsigned char*)std::malloc(row * (size_t)h);
    if (!bottomFirst || !topFirst) {
        std::free(bottomFirst);
        std::free(topFirst);
        return image;
    }
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, bottomFirst);
    // OpenGL's rows start at the bottom; images start at the top.
    for (int y = 0; y < h; y++) std::memcpy(topFirst + row * (size_t)y, bottomFirst + row * (size_t)(h - 1 - y), row);
    std::free(bottomFirst);
    image.data = topFirst;
    image.width = w;
    image.height = h;
    image.mipmaps = 1;
    image.format = PIXELFORMAT_UNCOMPRESSED_R8G8B8A8;
    return image;
}

void UnloadImage(Image image) {
    std::free(image.data);
}

Color GetImageColor(Image image, int x, int y) {
    if (!image.data || x < 0 || y < 0 || x >= image.width || y >= image.height) return Color{0, 0, 0, 0};
    const unsigned char* p = (const unsigned char*)image.data + ((size_t)y * (size_t)image.width + (size_t)x) * 4;
    return Color{p[0], p[1], p[2], p[3]};
}
