// Entry of the companion: start-up in its fixed order, then the frame loop
// and the shutdown sequence (app_run). On Windows vimo.exe is a GUI program
// (no console window of its own): platform_output_start finds its lines a
// place first. The one argument read is "--quit"
// (app/instance.h); others are ignored.
#include <iostream>

#include "app/app.h"
#include "app/config.h"
#include "base/files.h"
#include "app/instance.h"
#include "app/tray.h"
#include "desktop/input.h"
#include "desktop/monitors.h"
#include "desktop/shape.h"
#include "desktop/window.h"
#include "gfx/gfx_ext.h"
#include "gfx/raylib.h"
#include "net/net.h"
#include "physics/physics.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    getCWD();  // before anything opens a file, the lock file included
    // Windows: before the first line, which would otherwise go nowhere (a
    // GUI program has no console of its own).
    platform_output_start(cwd + LOG_FILE);
    if (instance_quit_requested(argc, argv)) return instance_quit();
    // The handlers come before the lock: from the moment the lock is ours,
    // "vimo --quit" may send SIGINT, which must end us through the shutdown.
    platform_on_end_request(handleSignal);
    // Before the window and before config.json is read: a second companion
    // from this folder leaves without touching either.
    if (!instance_claim()) return 0;
    if (platform_session_is_wayland()) {
        std::cout << "Wayland session: running through XWayland; everything works except walls around native "
                     "Wayland windows, which X11 programs cannot see."
                  << std::endl;
    }
    net_start();
    // Transparent, on top, running without focus, and click-through until the
    // first frame gives the input region the elements' boxes (desktop/input.h).
    SetConfigFlags(FLAG_WINDOW_MOUSE_PASSTHROUGH | FLAG_WINDOW_TOPMOST | FLAG_WINDOW_ALWAYS_RUN |
                   FLAG_WINDOW_TRANSPARENT);
    // The one key of config.json the window needs; the rest is read by game_init.
    gfx_set_scale(config_scale_read());
    InitWindow(GetScreenWidth(), GetScreenHeight(), WINDOW_NAME);  // 0 x 0: the whole screen, every monitor
    gfx_on_display_lost(app_display_lost);  // a vanished X server ends us like a signal, config saved
    shape_start();  // without a compositor, a transparent window would blacken the screen
    InitPhysics();
    RESOLUTION = Vector2{static_cast<float>(GetScreenWidth()), static_cast<float>(GetScreenHeight())};
    SetTargetFPS(60);
    window_connect();
    // Walls around the overlay and solid ground wherever no monitor shows it.
    monitors_start();
    input_initialize();
    game_init();
    tray_start();  // Windows: the notification-area icon, whose Quit ends us like Ctrl-C
    // A mascot saved on a monitor that is gone comes back onto one.
    monitors_gather_strays();
    return app_run();
}
