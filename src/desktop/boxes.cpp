// See boxes.h.
#include "desktop/boxes.h"

#include <cmath>

#include "element/element.h"

static constexpr float DEG = 3.14159265f / 180.0f;

Rectangle box_turned(Vector2 centre, float w, float h, float degrees, float margin) {
    float c = fabsf(cosf(degrees * DEG)), s = fabsf(sinf(degrees * DEG));
    float hw = (fabsf(w) * c + fabsf(h) * s) * 0.5f + margin;
    float hh = (fabsf(w) * s + fabsf(h) * c) * 0.5f + margin;
    float x0 = floorf(centre.x - hw), y0 = floorf(centre.y - hh);
    float x1 = ceilf(centre.x + hw), y1 = ceilf(centre.y + hh);
    return Rectangle{x0, y0, x1 - x0, y1 - y0};
}

bool box_clip(Rectangle* box, Vector2 window) {
    if (window.x <= 0 || window.y <= 0) return true;
    float x0 = fmaxf(box->x, 0), y0 = fmaxf(box->y, 0);
    float x1 = fminf(box->x + box->width, window.x), y1 = fminf(box->y + box->height, window.y);
    if (x1 <= x0 || y1 <= y0) return false;
    *box = Rectangle{x0, y0, x1 - x0, y1 - y0};
    return true;
}

bool box_hover(const Element* e, Rectangle* out) {
    if (e->clickThrough || e->size.x == 0 || e->size.y == 0) return false;
    *out = box_turned(e->position, e->size.x, e->size.y, e->rotation, BOX_HOVER_MARGIN);
    return true;
}

bool boxes_equal(const std::vector<Rectangle>& a, const std::vector<Rectangle>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (a[i].x != b[i].x || a[i].y != b[i].y || a[i].width != b[i].width || a[i].height != b[i].height)
            return false;
    }
    return true;
}
