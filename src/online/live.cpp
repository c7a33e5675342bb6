// Live notices: every five minutes the mascot asks who of the streamer's circle
// is live (fetchFern; the answer is read by fetchFern_inner on the worker,
// answers.cpp); each newly listed handle gets a notice bubble offering its
// channel page. The streamer's own notice sets VIMO_LIVE and can be snoozed.
#include <string>
#include <vector>

#include "element/element.h"
#include "mascot/blockspawner.h"
#include "mascot/menu.h"
#include "net/endpoints.h"
#include "net/net.h"
#include "online/live.h"
#include "online/online.h"

std::string live_person;

static const char* const STREAMER = "quelmara";

void fetchFern() { fetch(endpoint_live_list(), "GET", fetchFern_inner); }

std::vector<std::string> live_take_latest() {
    std::vector<std::string> taken = live_take();
    if (taken.size() <= 1) return taken;
    for (size_t i = 0; i + 1 < taken.size(); i++) {
        if (taken[i] == STREAMER) {
            VIMO_LIVE = true;
            VIMO_SNOOZED = false;
        }
    }
    return {taken.back()};
}

void clear_menu() {
    if (blockspawner != nullptr) {
        removeElement(blockspawner);
        blockspawner = nullptr;
    }
    menu_destroy();
}

Element* live_spawn(std::string handle) {
    clear_menu();
    live_person = handle;
    if (handle == STREAMER) {
        VIMO_LIVE = true;
        VIMO_SNOOZED = false;
        return spawn_menu({"The Communion Has Started.", " - Join", " - Dismiss"}, {0, 40, 80}, live_click);
    }
    return spawn_menu({handle + " is live!", " - Watch Stream", " - Dismiss"}, {0, 40, 80}, live_click);
}

void live_click(Element* menu, int index) {
    (void)menu;
    if (index == 2)
        online_open(endpoint_channel_page(live_person));
    else if (index == 3 && live_person == STREAMER)
        VIMO_SNOOZED = true;
}
