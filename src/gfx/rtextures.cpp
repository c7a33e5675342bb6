// Textures, quads and rectangles (raylib's rtextures and rshapes) on the
// fixed-function OpenGL 2.1 pipeline, which every Mesa driver (llvmpipe under
// Xvfb included) runs. A frame is recorded (clears and quads, batched per
// texture: one draw call per texture change) and sent to GL at EndDrawing,
// where a frame that would show what the screen already shows is dropped
// instead: an idle companion then costs no drawing and no present. Main
// thread only.
#include <stb/stb_image.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

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

// One step of a frame as it will be sent to GL at EndDrawing (or earlier
// when a read-back or a texture's end needs the framebuffer up to date).
struct FrameCommand {
    unsigned int texture;  // texture of the quads; 0 for a clear
    int first, count;      // vertices in FRAME_VERTICES (two triangles per quad); 0, 0 for a clear
    Color clear;           // clear colour; unused for quads
};

// The frame being recorded, and the last one sent to the screen. A frame is
// kept in memory until it ends, so one that would show exactly what the
// screen shows costs neither GL work nor a present.
std::vector<Vertex> FRAME_VERTICES;        // this frame's vertices, drawing order
std::vector<FrameCommand> FRAME_COMMANDS;  // this frame's clears and quad runs
size_t FRAME_SENT = 0;                     // leading FRAME_COMMANDS already sent to GL
std::vector<Vertex> SHOWN_VERTICES;        // vertices of the frame last presented
std::vector<FrameCommand> SHOWN_COMMANDS;  // its commands
bool SHOWN_VALID = false;                  // SHOWN_* is what the window shows (false: draw the next frame whole)
bool PRESENT_WANTED = false;               // present the next frame even when it matches the shown one
int LOST[4] = {0, 0, 0, 0};                // x, y, w, h (physical) the server lost and the next frame redraws; w 0: none
unsigned long long PRESENTS = 0;           // frames presented since start

// Projection of the frame being recorded (gfx_batch_begin_frame), applied
// when its first command is sent.
int VIEW_W = 0, VIEW_H = 0, VIEW_SCALE = 1, VIEW_FRAME_H = 0;
bool VIEW_SET = false;                     // the projection is in GL for this frame

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
    FRAME_VERTICES.emplace_back();
    Vertex& v = FRAME_VERTICES.back();
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

void apply_view() {
    // Exactly scale physical pixels per logical one, so nearest sampling puts
    // every texel on a whole block. GL counts viewport rows from the bottom;
    // the world hangs from the top-left corner.
    glViewport(0, VIEW_FRAME_H - VIEW_H * VIEW_SCALE, VIEW_W * VIEW_SCALE, VIEW_H * VIEW_SCALE);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0, VIEW_W, VIEW_H, 0, -1, 1);  // logical window pixels, y down
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
    glEnable(GL_TEXTURE_2D);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    set_blend();
    VIEW_SET = true;
}

void send_command(const FrameCommand& c) {
    if (c.texture == 0) {
        glClearColor(c.clear.r / 255.0f, c.clear.g / 255.0f, c.clear.b / 255.0f, c.clear.a / 255.0f);
        glClear(GL_COLOR_BUFFER_BIT);
        return;
    }
    const Vertex* v = FRAME_VERTICES.data() + c.first;
    glEnable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, c.texture);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_TEXTURE_COORD_ARRAY);
    glEnableClientState(GL_COLOR_ARRAY);
    glVertexPointer(2, GL_FLOAT, sizeof(Vertex), &v->x);
    glTexCoordPointer(2, GL_FLOAT, sizeof(Vertex), &v->u);
    glColorPointer(4, GL_UNSIGNED_BYTE, sizeof(Vertex), v->rgba);
    glDrawArrays(GL_TRIANGLES, 0, c.count);
    glDisableClientState(GL_COLOR_ARRAY);
    glDisableClientState(GL_TEXTURE_COORD_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
    FRAME_CALLS++;
}

// Whether the recorded frame shows what the last presented one showed: the
// same clears, textures, texture coordinates and tints, and no corner a whole
// physical pixel or more away from where it was drawn. A body that rests with
// a sub-pixel wobble across a pixel's edge then stays as drawn instead of
// flickering between two pixels (and, without a compositor, between two
// window shapes); one that moves is drawn at each whole pixel it crosses.
bool same_as_shown() {
    if (!SHOWN_VALID || PRESENT_WANTED || FRAME_COMMANDS.size() != SHOWN_COMMANDS.size() ||
        FRAME_VERTICES.size() != SHOWN_VERTICES.size())
        return false;
    for (size_t i = 0; i < FRAME_COMMANDS.size(); i++) {
        const FrameCommand &a = FRAME_COMMANDS[i], &b = SHOWN_COMMANDS[i];
        if (a.texture != b.texture || a.first != b.first || a.count != b.count) return false;
        if (a.texture == 0 && std::memcmp(&a.clear, &b.clear, sizeof a.clear) != 0) return false;
    }
    const float s = (float)VIEW_SCALE;
    for (size_t i = 0; i < FRAME_VERTICES.size(); i++) {
        const Vertex &a = FRAME_VERTICES[i], &b = SHOWN_VERTICES[i];
        if (a.u != b.u || a.v != b.v || std::memcmp(a.rgba, b.rgba, sizeof a.rgba) != 0) return false;
        if (!(std::fabs(a.x - b.x) * s < 1.0f) || !(std::fabs(a.y - b.y) * s < 1.0f)) return false;
    }
    return true;
}

}  // namespace

void gfx_batch_init() {
    BLEND_SEPARATE = (BlendFuncSeparateFn)gfx_gl_proc("glBlendFuncSeparate");
    const unsigned char white[4] = {255, 255, 255, 255};
    WHITE_TEXTURE = upload_rgba(white, 1, 1);
    FRAME_VERTICES.clear();
    FRAME_COMMANDS.clear();
    FRAME_SENT = 0;
    SHOWN_VALID = false;
    GFX_TRANSFORM = GfxTransform{1, 0, 0, 1, 0, 0};
    GFX_CONTEXT_GENERATION++;
}

void gfx_batch_shutdown() {
    FRAME_VERTICES.clear();
    FRAME_COMMANDS.clear();
    FRAME_SENT = 0;
    SHOWN_VALID = false;
    // The window's frames come and go with it: give their memory back.
    std::vector<Vertex>().swap(SHOWN_VERTICES);
    std::vector<FrameCommand>().swap(SHOWN_COMMANDS);
    std::vector<Vertex>().swap(FRAME_VERTICES);
    std::vector<FrameCommand>().swap(FRAME_COMMANDS);
    if (WHITE_TEXTURE) glDeleteTextures(1, &WHITE_TEXTURE);
    WHITE_TEXTURE = 0;
}

void gfx_batch_begin_frame(int width, int height, int scale, int framebufferHeight) {
    FRAME_VERTICES.clear();
    FRAME_COMMANDS.clear();
    FRAME_SENT = 0;
    FRAME_CALLS = 0;
    GFX_FRAME++;
    VIEW_W = width;
    VIEW_H = height;
    VIEW_SCALE = scale;
    VIEW_FRAME_H = framebufferHeight;
    VIEW_SET = false;
}

void gfx_batch_flush() {
    if (FRAME_SENT == FRAME_COMMANDS.size()) return;
    if (!gfx_has_context()) {
        FRAME_SENT = FRAME_COMMANDS.size();
        return;
    }
    if (!VIEW_SET) apply_view();
    for (; FRAME_SENT < FRAME_COMMANDS.size(); FRAME_SENT++) send_command(FRAME_COMMANDS[FRAME_SENT]);
}

bool gfx_batch_end_frame(int* damage) {
    // A frame partly sent (a read-back asked for it) has touched the
    // framebuffer: it is finished and shown like any other.
    if (FRAME_SENT == 0 && same_as_shown()) return false;
    int fw = 0, fh = 0;
    gfx_framebuffer_size(&fw, &fh);
    damage[0] = damage[1] = 0;
    damage[2] = fw;
    damage[3] = fh;
    // Only the box around the old and the new quads can differ when the
    // clears are the same as the shown frame's: the rest is that clear in both.
    bool partial = FRAME_SENT == 0 && SHOWN_VALID && gfx_has_context() && gfx_can_present_area() && fw > 0 && fh > 0;
    size_t clears = 0;
    for (size_t i = 0; partial && i < FRAME_COMMANDS.size(); i++) {
        if (FRAME_COMMANDS[i].texture != 0) continue;
        // Clears after the first quad would wipe quads outside the box too.
        partial = clears == i && clears < SHOWN_COMMANDS.size() && SHOWN_COMMANDS[clears].texture == 0 &&
                  std::memcmp(&SHOWN_COMMANDS[clears].clear, &FRAME_COMMANDS[i].clear, sizeof(Color)) == 0;
        clears++;
    }
    if (partial) partial = clears == 0 || clears == SHOWN_COMMANDS.size() || SHOWN_COMMANDS[clears].texture != 0;
    if (partial) {
        float x0 = 1e30f, y0 = 1e30f, x1 = -1e30f, y1 = -1e30f;
        for (const std::vector<Vertex>* list : {&FRAME_VERTICES, &SHOWN_VERTICES})
            for (const Vertex& v : *list) {
                x0 = std::min(x0, v.x), y0 = std::min(y0, v.y);
                x1 = std::max(x1, v.x), y1 = std::max(y1, v.y);
            }
        const float s = (float)VIEW_SCALE;
        int bx0 = fw, by0 = fh, bx1 = 0, by1 = 0;  // empty until a quad or a lost area widens it
        if (x0 <= x1 && y0 <= y1) {
            // Clamped before the conversion (a quad may lie far off screen); a
            // pixel or two beyond: a quad's edge fills the pixels whose centres it covers.
            auto clamp = [](float v, int hi) { return (int)std::min(std::max(v, -4.0f), (float)hi + 4.0f); };
            bx0 = std::max(0, clamp(std::floor(x0 * s), fw) - 2), by0 = std::max(0, clamp(std::floor(y0 * s), fh) - 2);
            bx1 = std::min(fw, clamp(std::ceil(x1 * s), fw) + 2), by1 = std::min(fh, clamp(std::ceil(y1 * s), fh) + 2);
        }
        if (LOST[2] > 0 && LOST[3] > 0) {
            bx0 = std::min(bx0, std::max(0, LOST[0])), by0 = std::min(by0, std::max(0, LOST[1]));
            bx1 = std::max(bx1, std::min(fw, LOST[0] + LOST[2])), by1 = std::max(by1, std::min(fh, LOST[1] + LOST[3]));
        }
        if (bx1 <= bx0 || by1 <= by0) bx0 = by0 = bx1 = by1 = 0;
        damage[0] = bx0, damage[1] = by0, damage[2] = bx1 - bx0, damage[3] = by1 - by0;
        if (!VIEW_SET) apply_view();
        glEnable(GL_SCISSOR_TEST);
        glScissor(damage[0], fh - damage[1] - damage[3], damage[2], damage[3]);
    }
    gfx_batch_flush();
    if (partial) glDisable(GL_SCISSOR_TEST);
    // The recorded frame becomes the shown one; the old buffers are reused.
    SHOWN_VERTICES.swap(FRAME_VERTICES);
    SHOWN_COMMANDS.swap(FRAME_COMMANDS);
    SHOWN_VALID = true;
    PRESENT_WANTED = false;
    LOST[0] = LOST[1] = LOST[2] = LOST[3] = 0;
    FRAME_VERTICES.clear();
    FRAME_COMMANDS.clear();
    FRAME_SENT = 0;
    PRESENTS++;
    return true;
}

int gfx_batch_frame_calls() {
    return FRAME_CALLS;
}

void gfx_batch_quad(unsigned int texture, const float* xy, const float* uv, Color tint) {
    if (!gfx_has_context() || texture == 0) return;
    // Quads of one texture in a row are one draw call, unless the run was
    // already sent (a read-back in between).
    if (FRAME_COMMANDS.empty() || FRAME_COMMANDS.back().texture != texture || FRAME_SENT == FRAME_COMMANDS.size())
        FRAME_COMMANDS.push_back(FrameCommand{texture, (int)FRAME_VERTICES.size(), 0, Color{0, 0, 0, 0}});
    static const int kOrder[6] = {0, 1, 2, 0, 2, 3};
    for (int corner : kOrder) emit(xy, uv, tint, corner);
    FRAME_COMMANDS.back().count += 6;
}

unsigned long long gfx_frames_presented(void) {
    return PRESENTS;
}

void gfx_request_redraw(void) {
    SHOWN_VALID = false;
}

void gfx_batch_want_present(const int* area) {
    PRESENT_WANTED = true;
    if (!area || area[2] <= 0 || area[3] <= 0) return;
    if (LOST[2] <= 0 || LOST[3] <= 0) {
        std::memcpy(LOST, area, sizeof LOST);
        return;
    }
    int x0 = std::min(LOST[0], area[0]), y0 = std::min(LOST[1], area[1]);
    int x1 = std::max(LOST[0] + LOST[2], area[0] + area[2]), y1 = std::max(LOST[1] + LOST[3], area[1] + area[3]);
    LOST[0] = x0, LOST[1] = y0, LOST[2] = x1 - x0, LOST[3] = y1 - y0;
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
    // Queued quads of this texture are drawn before it goes; and a new texture
    // may take its id, so the shown frame no longer says what a quad shows.
    for (size_t i = FRAME_SENT; i < FRAME_COMMANDS.size(); i++) {
        if (FRAME_COMMANDS[i].texture == texture.id) {
            gfx_batch_flush();
            break;
        }
    }
    SHOWN_VALID = false;
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
    FRAME_COMMANDS.push_back(FrameCommand{0, 0, 0, color});
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

namespace {

// Rectangles over the pixels with alpha above zero in the framebuffer's
// x, y, w, h area (physical, top-left origin, inside the framebuffer of
// height fh), appended to out as quadruples. One glReadPixels.
void drawn_rects_in(int x, int y, int w, int h, int fh, std::vector<unsigned char>& alpha, std::vector<int>& out) {
    alpha.resize((size_t)w * (size_t)h);
    // GL counts rows from the bottom: the area's last row comes first.
    glReadPixels(x, fh - y - h, w, h, GL_ALPHA, GL_UNSIGNED_BYTE, alpha.data());
    // Runs of the row above still open for growing downwards: x0, x1 and the
    // index of their rectangle in out.
    std::vector<int> open, next;
    for (int row = 0; row < h; row++) {
        const unsigned char* line = alpha.data() + (size_t)(h - 1 - row) * (size_t)w;
        next.clear();
        size_t o = 0;  // runs in open and in the row are both sorted by x
        for (int i = 0; i < w;) {
            if (line[i] == 0) {
                i++;
                continue;
            }
            int start = i;
            while (i < w && line[i] != 0) i++;
            while (o < open.size() && open[o] < start) o += 3;
            int index;
            if (o < open.size() && open[o] == start && open[o + 1] == i) {
                index = open[o + 2];
                out[(size_t)index * 4 + 3]++;  // the same run one row lower: the rectangle grows
            } else {
                index = (int)(out.size() / 4);
                out.insert(out.end(), {x + start, y + row, i - start, 1});
            }
            next.insert(next.end(), {start, i, index});
        }
        open.swap(next);
    }
}

// Boxes beyond which one read of the area around them all beats one read each
// (llvmpipe pays a fixed cost per glReadPixels; 200 chat boxes cost 7 ms read
// one by one).
constexpr size_t kBoxesReadApart = 8;

}  // namespace

std::vector<int> gfx_drawn_rects(const std::vector<int>& boxes) {
    std::vector<int> out;
    int fw = 0, fh = 0;
    gfx_framebuffer_size(&fw, &fh);
    if (!gfx_has_context() || fw <= 0 || fh <= 0) return out;
    gfx_batch_flush();
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    std::vector<unsigned char> alpha;
    // Clipped to the framebuffer; empty ones dropped.
    std::vector<int> clipped;
    for (size_t b = 0; b + 3 < boxes.size(); b += 4) {
        int x = std::max(boxes[b], 0), y = std::max(boxes[b + 1], 0);
        int w = std::min(boxes[b] + boxes[b + 2], fw) - x, h = std::min(boxes[b + 1] + boxes[b + 3], fh) - y;
        if (w > 0 && h > 0) clipped.insert(clipped.end(), {x, y, w, h});
    }
    if (clipped.size() / 4 > kBoxesReadApart) {
        // Every drawn pixel lies in some box, so the area around them all
        // holds exactly the boxes' pixels, each once.
        int x0 = fw, y0 = fh, x1 = 0, y1 = 0;
        for (size_t b = 0; b < clipped.size(); b += 4) {
            x0 = std::min(x0, clipped[b]);
            y0 = std::min(y0, clipped[b + 1]);
            x1 = std::max(x1, clipped[b] + clipped[b + 2]);
            y1 = std::max(y1, clipped[b + 1] + clipped[b + 3]);
        }
        drawn_rects_in(x0, y0, x1 - x0, y1 - y0, fh, alpha, out);
        return out;
    }
    for (size_t b = 0; b < clipped.size(); b += 4)
        drawn_rects_in(clipped[b], clipped[b + 1], clipped[b + 2], clipped[b + 3], fh, alpha, out);
    return out;
}

Image LoadImageFromMemory(const char* fileType, const unsigned char* fileData, int dataSize) {
    Image image = {};
    if (!fileType || !fileData || dataSize <= 0) return image;
    // stb_image reads the format from the bytes; PNG is the only type asked for.
    int w = 0, h = 0, channels = 0;
    unsigned char* pixels = stbi_load_from_memory(fileData, dataSize, &w, &h, &channels, 4);
    if (!pixels) return image;
    image = Image{pixels, w, h, 1, PIXELFORMAT_UNCOMPRESSED_R8G8B8A8};
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
