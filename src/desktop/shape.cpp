#include "desktop/shape.h"

#include <cmath>
#include <cstdio>

#include "base/base.h"
#include "desktop/boxes.h"
#include "draw/draw.h"
#include "element/element.h"
#include "gfx/gfx_ext.h"

bool SHAPED_WINDOW = false;
bool (*SHAPE_COMPOSITOR_RUNNING)(void) = gfx_compositor_running;
void (*SHAPE_SET)(const Rectangle* rects, int count) = gfx_set_window_shape_drawn;
void (*SHAPE_CLEAR)(void) = gfx_clear_window_shape;

static bool started = false;             // shape_start has run
static double next_poll = 0;             // GetTime seconds of the next compositor query
static bool region_sent = false;         // last_region is what the window has
static std::vector<Rectangle> last_region;

static constexpr float DEG = 3.14159265f / 180.0f;

static bool inside(const Rectangle& a, const Rectangle& b) {
    return a.x >= b.x && a.y >= b.y && a.x + a.width <= b.x + b.width && a.y + a.height <= b.y + b.height;
}

// Screen box of one drawable under the placement rule of drawElement.
static bool drawable_box(Element* e, const Drawable& d, Rectangle* out) {
    if (d.type < DRAWABLE_IMAGE || d.type > DRAWABLE_COLOR) return false;  // draws nothing
    Vector2 size = getDrawableSize(e, d);
    if (size.x == 0 || size.y == 0) return false;
    Vector2 offset = d.offset;
    if (d.type == DRAWABLE_NINE_SLICE) {
        // Unequal borders move the panel's middle off the offset.
        float L = static_cast<float>(fetchTexture(d.source + ".ml.png").width);
        float R = static_cast<float>(fetchTexture(d.source + ".mr.png").width);
        float T = static_cast<float>(fetchTexture(d.source + ".tc.png").height);
        float B = static_cast<float>(fetchTexture(d.source + ".bc.png").height);
        offset.x += (R - L) * 0.5f;
        offset.y += (B - T) * 0.5f;
    }
    float r = d.rotation;
    if (e->flipped) {
        offset.x = -offset.x;
        r = -r;
    }
    float c = cosf(e->rotation * DEG), s = sinf(e->rotation * DEG);
    Vector2 centre{e->position.x + (offset.x * c - offset.y * s), e->position.y + (offset.x * s + offset.y * c)};
    // Glyph quads carry the atlas padding beyond the measured text: 2 px.
    float margin = d.type == DRAWABLE_TEXT ? 2.0f : 1.0f;
    *out = box_turned(centre, size.x, size.y, e->rotation + r, margin);
    return true;
}

std::vector<Rectangle> shape_rects(const std::vector<Element*>& elements, Vector2 window) {
    std::vector<Rectangle> rects;
    for (Element* e : elements) {
        size_t first = rects.size();
        auto add = [&](Rectangle box) {
            if (!box_clip(&box, window)) return;
            for (size_t i = first; i < rects.size(); i++) {
                if (inside(box, rects[i])) return;
            }
            rects.push_back(box);
        };
        // The hover box must be in the region, or a click on the element
        // would fall through to the desktop below: the input region is built
        // from the same boxes (box_hover).
        Rectangle hover;
        if (box_hover(e, &hover)) add(hover);
        for (const Drawable& d : e->drawables) {
            Rectangle box;
            if (drawable_box(e, d, &box)) add(box);
        }
    }
    return rects;
}

// Send the region of the current elements when it differs from the last one.
static void shape_apply(void) {
    std::vector<Rectangle> rects = shape_rects(ELEMENTS, RESOLUTION);
    if (region_sent && boxes_equal(rects, last_region)) return;
    SHAPE_SET(rects.data(), static_cast<int>(rects.size()));
    last_region = std::move(rects);
    region_sent = true;
}

static void shape_switch(bool compositor) {
    SHAPED_WINDOW = !compositor;
    region_sent = false;
    // A compositor that starts keeps no copy of what the window showed, and
    // one that stops leaves the window's pixels to the server: draw anew.
    gfx_request_redraw();
    if (SHAPED_WINDOW) {
        std::printf("No compositing manager: transparency is unavailable, the window is cut to its elements\n");
        shape_apply();
    } else {
        SHAPE_CLEAR();
        std::printf("Compositing manager running: the window is whole and transparent\n");
    }
    std::fflush(stdout);
}

void shape_start(void) {
    started = true;
    next_poll = SHAPE_POLL_INTERVAL;  // GetTime counts from InitWindow
    SHAPED_WINDOW = false;
    region_sent = false;
    // With a compositor nothing changes, so nothing is said.
    if (!SHAPE_COMPOSITOR_RUNNING()) shape_switch(false);
}

void shape_update(double now) {
    if (!started) return;
    if (now >= next_poll) {
        next_poll = now + SHAPE_POLL_INTERVAL;
        bool compositor = SHAPE_COMPOSITOR_RUNNING();
        if (compositor == SHAPED_WINDOW) shape_switch(compositor);
    }
    if (SHAPED_WINDOW) shape_apply();
}

void shape_reset(void) {
    if (SHAPED_WINDOW) SHAPE_CLEAR();
    started = false;
    SHAPED_WINDOW = false;
    region_sent = false;
    last_region.clear();
    next_poll = 0;
}
