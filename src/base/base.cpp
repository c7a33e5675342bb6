// Shared state and helpers. See base.h.
#include "base/base.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

const char* WINDOW_NAME = "vimo.exe v1.0";
Vector2 RESOLUTION = {0, 0};
std::vector<Rectangle> MONITORS;
nlohmann::json CONFIG;
nlohmann::json USER;

Rectangle monitor_at(Vector2 point) {
    if (MONITORS.empty()) return {0, 0, RESOLUTION.x, RESOLUTION.y};
    Rectangle best = MONITORS.front();
    float bestDistance = FLT_MAX;
    for (const Rectangle& m : MONITORS) {
        const float dx = std::max({m.x - point.x, 0.0f, point.x - (m.x + m.width)});
        const float dy = std::max({m.y - point.y, 0.0f, point.y - (m.y + m.height)});
        const float distance = dx * dx + dy * dy;
        if (distance < bestDistance) {
            best = m;
            bestDistance = distance;
        }
    }
    return best;
}

bool everyInterval(float time, float delta, float interval, float offset) {
    // Each sum left to right in single precision: the phase wraps in the
    // frame that crosses offset + k * interval.
    float a = fmodf(time + delta + interval - offset, interval);
    float b = fmodf(time + interval - offset, interval);
    return b > a;
}
