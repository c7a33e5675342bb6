// An element's drawables as a whole: measured, drawn, hit-tested and
// described. See draw.h.
#include <cmath>
#include <string>

#include "draw/draw.h"

static const float PI_F = 3.1415927f;

Vector2 getDrawableSize(Element* e, Drawable d) {
    if (d.type != DRAWABLE_TEXT) return d.size;
    CompiledText compiled = compileText(e, d);
    return TEXT_MEASURE(compiled.font, compiled.text.c_str(), static_cast<float>(compiled.fontSize), d.size.y);
}

void drawElement(Element* e) {
    for (size_t i = 0; i < e->drawables.size(); i++) drawElement(e, e->drawables[i]);
}

int getDrawableAtPosition(Element* e, Vector2 p) {
    for (int i = static_cast<int>(e->drawables.size()) - 1; i >= 0; i--) {
        const Drawable& d = e->drawables[i];
        float theta = e->rotation / 180.0f * PI_F;
        float c = cosf(theta), s = sinf(theta);
        // The offset turns with the element; the point is not turned back.
        float dx = p.x - e->position.x - (d.offset.x * c - d.offset.y * s);
        float dy = p.y - e->position.y - (d.offset.x * s + d.offset.y * c);
        // Text is hit where drawText draws it: centred on its placed centre.
        // (A fixed 17 px upward shift here made a click on a menu line choose
        // the line below it, since lines are 20 px apart.)
        float phi = -d.rotation / 180.0f * PI_F;
        float c2 = cosf(phi), s2 = sinf(phi);
        float lx = dx * c2 - dy * s2;
        float ly = dx * s2 + dy * c2;
        Vector2 size = getDrawableSize(e, d);
        if (-size.x * 0.5f <= lx && lx <= size.x * 0.5f && -size.y * 0.5f <= ly && ly <= size.y * 0.5f) return i;
    }
    return -1;
}

std::string describeElement(Element* e) {
    std::string line;
    for (const Drawable& d : e->drawables) {
        if (d.type == DRAWABLE_IMAGE) line += "image: " + d.source;
        else if (d.type == DRAWABLE_TEXT) line += "text: " + d.source;
        else if (d.type == DRAWABLE_COLOR) line += "color: " + ColorToHex(d.color);
        line += " ";
    }
    return line + "at (" + std::to_string(e->position.x) + ", " + std::to_string(e->position.y) + ")\n";
}
