#include <cmath>
#include <string>

#include "base/files.h"
#include "draw/draw.h"

std::map<std::string, Texture> SPRITES;

static const float PI_F = 3.1415927f;

// Centre of a drawable at offset (already mirrored by the caller) on screen.
static Vector2 place(const Element* e, Vector2 offset) {
    float theta = e->rotation / 180.0f * PI_F;
    float c = cosf(theta), s = sinf(theta);
    return Vector2{e->position.x + (offset.x * c - offset.y * s), e->position.y + (offset.x * s + offset.y * c)};
}

void drawElement(Element* e, Drawable d) {
    switch (d.type) {
        case DRAWABLE_IMAGE: drawSprite(e, d); break;
        case DRAWABLE_NINE_SLICE: drawNineSlice(e, d); break;
        case DRAWABLE_TEXT: drawText(e, d); break;
        case DRAWABLE_COLOR: {
            Vector2 offset = d.offset;
            float r = d.rotation;
            if (e->flipped) {
                offset.x = -offset.x;
                r = -r;
            }
            Vector2 centre = place(e, offset);
            DrawRectanglePro(Rectangle{centre.x, centre.y, d.size.x, d.size.y},
                             Vector2{d.size.x * 0.5f, d.size.y * 0.5f}, e->rotation + r, d.color);
            break;
        }
        default: break;
    }
}

Texture fetchTexture(std::string path) {
    auto it = SPRITES.find(path);
    if (it != SPRITES.end()) return it->second;
    // Cached whatever it is: a missing file stays the empty texture for the
    // whole run instead of being retried every frame.
    Texture texture = LoadTexture((cwd + path).c_str());
    SPRITES[path] = texture;
    return texture;
}

void drawSpriteEx(Element* e, Drawable d, Texture texture, Vector2 offset, Vector2 size) {
    Rectangle source{0, 0, static_cast<float>(texture.width), static_cast<float>(texture.height)};
    drawSpritePart(e, d, texture, source, offset, size);
}

void drawSpritePart(Element* e, Drawable d, Texture texture, Rectangle source, Vector2 offset, Vector2 size) {
    float r = d.rotation;
    if (e->flipped) {
        offset.x = -offset.x;
        r = -r;
        source.width = -source.width;
    }
    Vector2 centre = place(e, offset);
    DrawTexturePro(texture, source, Rectangle{centre.x, centre.y, size.x, size.y},
                   Vector2{size.x * 0.5f, size.y * 0.5f}, e->rotation + r, d.color);
}

void drawSprite(Element* e, Drawable d) {
    Texture texture = fetchTexture(d.source + ".png");
    drawSpriteEx(e, d, texture, d.offset, d.size);
}

void drawNineSlice(Element* e, Drawable d) {
    static const char* const PIECES[9] = {"tl", "tc", "tr", "ml", "mc", "mr", "bl", "bc", "br"};
    Texture piece[9];
    for (int i = 0; i < 9; i++) piece[i] = fetchTexture(d.source + "." + PIECES[i] + ".png");

    // Border sizes come from the edge pieces only; corners are drawn to fit them.
    float L = static_cast<float>(piece[3].width);
    float R = static_cast<float>(piece[5].width);
    float T = static_cast<float>(piece[1].height);
    float B = static_cast<float>(piece[7].height);
    float Iw = d.size.x - L - R;
    float Ih = d.size.y - T - B;

    float left = -(Iw + L) * 0.5f, right = (Iw + R) * 0.5f;
    float top = -(Ih + T) * 0.5f, bottom = (Ih + B) * 0.5f;
    const Vector2 delta[9] = {{left, top},    {0, top},    {right, top},    {left, 0},     {0, 0},
                              {right, 0},     {left, bottom}, {0, bottom}, {right, bottom}};
    const Vector2 size[9] = {{L, T}, {Iw, T}, {R, T}, {L, Ih}, {Iw, Ih}, {R, Ih}, {L, B}, {Iw, B}, {R, B}};
    for (int i = 0; i < 9; i++) {
        drawSpriteEx(e, d, piece[i], Vector2{d.offset.x + delta[i].x, d.offset.y + delta[i].y}, size[i]);
    }
}
