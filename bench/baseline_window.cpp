// Baseline for the whole-program figures: the same kind of window the
// companion opens (transparent, on top, always running, click-through,
// InitWindow(0, 0): the monitor's size), cleared to transparent at 60 frames
// per second and nothing else. With --mark it also draws a 64 x 64 square of
// the mascot's body colour in the middle of the screen in every frame, which
// the start-up probe looks for.
//
// The graphics layer skips frames that would show what the screen already
// shows; the baseline asks for every frame to be drawn and presented anyway,
// so it stays what it prices: a window cleared and presented 60 times a second.
//
// Runs until SIGINT or SIGTERM, or for --seconds S.
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "gfx/gfx_ext.h"
#include "gfx/raylib.h"

static volatile std::sig_atomic_t stop = 0;
static void on_signal(int) { stop = 1; }

int main(int argc, char** argv) {
    bool mark = false;
    double seconds = 0;  // 0: until a signal
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--mark") == 0) mark = true;
        else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::atof(argv[++i]);
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    SetConfigFlags(FLAG_WINDOW_MOUSE_PASSTHROUGH | FLAG_WINDOW_TOPMOST | FLAG_WINDOW_ALWAYS_RUN |
                   FLAG_WINDOW_TRANSPARENT);
    InitWindow(0, 0, "baseline");
    SetTargetFPS(60);
    float w = static_cast<float>(GetScreenWidth()), h = static_cast<float>(GetScreenHeight());
    while (!stop && !WindowShouldClose() && (seconds <= 0 || GetTime() < seconds)) {
        gfx_request_redraw();
        BeginDrawing();
        ClearBackground(Color{0, 0, 0, 0});
        if (mark) {
            DrawRectanglePro(Rectangle{w * 0.5f, h * 0.5f, 64, 64}, Vector2{32, 32}, 0, Color{183, 163, 245, 255});
        }
        EndDrawing();
    }
    CloseWindow();
    return 0;
}
