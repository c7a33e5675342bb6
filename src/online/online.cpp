// Start-up of the online features: filling the mascot's hook table, and the
// browser seam.
#include "mascot/vimo_hooks.h"
#include "net/net.h"
#include "online/online.h"

void (*online_open_hook)(const std::string& url) = nullptr;

void online_open(const std::string& url) {
    if (online_open_hook != nullptr)
        online_open_hook(url);
    else
        open(url);
}

static void spawn_chat_hook(std::string text) { spawn_chat(std::move(text)); }
static bool is_live_hook() { return VIMO_LIVE.load(); }
static bool is_snoozed_hook() { return VIMO_SNOOZED.load(); }

void online_init() {
    vimo_hooks.drain = online_drain;
    vimo_hooks.fetchFern = fetchFern;
    vimo_hooks.fetchBsky = fetchBsky;
    vimo_hooks.fetchBlog = fetchBlog;
    vimo_hooks.take_lives = live_take_latest;
    vimo_hooks.live_spawn = live_spawn;
    vimo_hooks.poll_chat_start = poll_chat_start;
    vimo_hooks.poll_chat_outcome = poll_chat_outcome;
    vimo_hooks.take_chats = chat_take;
    vimo_hooks.spawn_chat = spawn_chat_hook;
    vimo_hooks.is_live = is_live_hook;
    vimo_hooks.is_snoozed = is_snoozed_hook;
    vimo_hooks.login_spawn = login_spawn;
    vimo_hooks.commune_spawn = commune_spawn;
}
