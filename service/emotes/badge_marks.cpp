// Our own badge marks, drawn here: a red camera for the broadcaster, a green
// sword for a moderator, a pink diamond for a VIP, a purple star for a
// subscriber. Shapes are given in badge units (0..18 across); each pixel takes
// the colour at its centre, so the 2x mark is the same drawing, sharper.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "emotes/badges.h"
#include "images/images.h"

namespace {

struct Rgba {
    uint8_t r, g, b, a;
};
constexpr Rgba CLEAR{0, 0, 0, 0}, WHITE{255, 255, 255, 255};

bool in_rect(double u, double v, double x0, double y0, double x1, double y1) { return u >= x0 && u < x1 && v >= y0 && v < y1; }

// A tile of colour with its corners rounded off, the ground of the camera and the sword.
bool in_tile(double u, double v) {
    double dx = std::max(std::abs(u - 9) - 6, 0.0), dy = std::max(std::abs(v - 9) - 6, 0.0);
    return dx * dx + dy * dy <= 9;
}

Rgba broadcaster(double u, double v) {
    if (!in_tile(u, v)) return CLEAR;
    bool body = in_rect(u, v, 3.5, 6, 11, 12.5);
    bool lens = u >= 11 && u < 15 && std::abs(v - 9.25) <= (u - 11) * 0.6 + 1;  // widening to the right
    return body || lens ? WHITE : Rgba{233, 25, 22, 255};
}

Rgba moderator(double u, double v) {
    if (!in_tile(u, v)) return CLEAR;
    // The blade on the diagonal from lower left to upper right; the guard across it.
    double along = (u - v) / std::sqrt(2.0), across = (u + v - 18) / std::sqrt(2.0);
    bool blade = std::abs(across) <= 1.1 && along > -3 && along < 6.5;
    bool guard = std::abs(along + 3) <= 0.9 && std::abs(across) <= 3.2;
    bool grip = std::abs(across) <= 0.8 && along <= -3 && along > -6;
    return blade || guard || grip ? WHITE : Rgba{0, 173, 3, 255};
}

Rgba vip(double u, double v) {
    double d = std::abs(u - 9) + std::abs(v - 9);
    if (d > 8.5) return CLEAR;
    return d > 6.5 ? Rgba{224, 5, 185, 255} : Rgba{255, 110, 225, 255};
}

// A five-pointed star: inside when the point is inside the ten-sided outline.
Rgba subscriber(double u, double v) {
    const double pi = 3.14159265358979;
    double px[10], py[10];
    for (int i = 0; i < 10; ++i) {
        double radius = i % 2 ? 3.6 : 8.6, angle = -pi / 2 + i * pi / 5;
        px[i] = 9 + radius * std::cos(angle);
        py[i] = 9.6 + radius * std::sin(angle);
    }
    bool inside = false;
    for (int i = 0, j = 9; i < 10; j = i++)
        if ((py[i] > v) != (py[j] > v) && u < (px[j] - px[i]) * (v - py[i]) / (py[j] - py[i]) + px[i]) inside = !inside;
    return inside ? Rgba{130, 5, 180, 255} : CLEAR;
}

}  // namespace

std::string badge_mark_png(const std::string& set, int scale) {
    Rgba (*draw)(double, double) = set == "broadcaster" ? broadcaster
                                   : set == "moderator" ? moderator
                                   : set == "vip"       ? vip
                                   : set == "subscriber" ? subscriber
                                                         : nullptr;
    if (!draw || scale < 1 || scale > 2) return "";
    ImageFrames f;
    f.width = f.height = BADGE_SIDE_PX * scale;
    f.delays_ms = {0};
    f.rgba.reserve(size_t(f.width) * f.height * 4);
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            Rgba c = draw((x + 0.5) / scale, (y + 0.5) / scale);
            f.rgba.insert(f.rgba.end(), {c.r, c.g, c.b, c.a});
        }
    return image_png(f);
}
