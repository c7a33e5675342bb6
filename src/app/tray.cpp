#include "app/tray.h"

#include <iostream>

#include "app/app.h"
#include "base/base.h"
#include "base/files.h"
#include "desktop/window.h"
#include "online/json_text.h"

const char* LOG_FILE = "vimo.log";
const char* TRAY_ICON_FILE = "assets/vimo.ico";

namespace {
struct TrayState {
    bool running = false;  // the platform has an icon (added or waiting for the shell)
    TrayHide hide;         // what the menu asked
    std::string tip;       // as last handed to the platform
    float next_look = 0;   // running time of the next look at the login
};
TrayState TRAY_STATE;
}  // namespace

bool tray_hide_step(TrayHide* hide, PlatformTrayCommand command, float time) {
    if (command == PLATFORM_TRAY_HIDE && !hide->hidden) {
        *hide = TrayHide{true, time + TRAY_HIDE_SECONDS};
        return true;
    }
    bool over = hide->hidden && (command == PLATFORM_TRAY_SHOW || time >= hide->until);
    if (over) *hide = TrayHide{};
    return over;
}

std::string tray_tip(const nlohmann::json& user, bool hidden) {
    std::string tip = "vimo: ";
    const nlohmann::json& name = json_member(json_member(user, "twitch"), "name");
    if (user.is_null()) {
        tip += "not logged in";
    } else if (name.is_string() && !name.get_ref<const std::string&>().empty()) {
        tip += "logged in as " + name.get<std::string>();
    } else {
        tip += "logged in";  // an account whose answer names nobody
    }
    if (hidden) tip += " (hidden)";
    return tip;
}

void tray_start() {
    TRAY_STATE = TrayState{};
    TRAY_STATE.tip = tray_tip(USER, false);
    switch (platform_tray_start(cwd + TRAY_ICON_FILE, TRAY_STATE.tip, cwd + LOG_FILE, handleSignal)) {
    case PLATFORM_TRAY_UNSUPPORTED:
        return;
    case PLATFORM_TRAY_ADDED:
        std::cout << "tray icon added" << std::endl;
        break;
    case PLATFORM_TRAY_WAITING:
        std::cout << "tray icon: no notification area yet; it is added when the shell starts one" << std::endl;
        break;
    }
    TRAY_STATE.running = true;
}

void tray_update(float time) {
    if (!TRAY_STATE.running) return;
    TrayHide& hide = TRAY_STATE.hide;
    bool changed = tray_hide_step(&hide, platform_tray_take_command(), time);
    if (changed) {
        overlay_hide_for_user(hide.hidden);
        platform_tray_set_hidden(hide.hidden);
        std::cout << (hide.hidden ? "hidden for an hour (the notification icon's \"Show\" brings it back)" : "shown again")
                  << std::endl;
    }
    // The login arrives through the network at any time; a look a second is plenty.
    if (time < TRAY_STATE.next_look && !changed) return;
    TRAY_STATE.next_look = time + TRAY_TIP_INTERVAL;
    std::string tip = tray_tip(USER, hide.hidden);
    if (tip != TRAY_STATE.tip) platform_tray_set_tip(TRAY_STATE.tip = tip);
}

void tray_stop() {
    if (!TRAY_STATE.running) return;
    platform_tray_stop();
    TRAY_STATE.running = false;
}
