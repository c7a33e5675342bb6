// Start-up of the online features: filling the jobs' table and the mascot's
// hook table, and the browser seam.
#include "base/base.h"
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
    online_jobs.drain = online_drain;
    online_jobs.fetchFern = fetchFern;
    online_jobs.fetchBsky = fetchBsky;
    online_jobs.fetchBlog = fetchBlog;
    online_jobs.take_lives = live_take_latest;
    online_jobs.live_spawn = live_spawn;
    online_jobs.poll_chat_start = poll_chat_start;
    online_jobs.poll_chat_outcome = poll_chat_outcome;
    online_jobs.take_chats = chat_take;
    online_jobs.spawn_chat = spawn_chat_hook;
    online_jobs.is_live = is_live_hook;
    online_jobs.is_snoozed = is_snoozed_hook;
    online_jobs_reset();
    vimo_hooks.is_live = is_live_hook;
    vimo_hooks.is_snoozed = is_snoozed_hook;
    vimo_hooks.login_spawn = login_spawn;
    vimo_hooks.commune_spawn = commune_spawn;
    // The key stays in CONFIG as it was, so it is saved back whatever it holds.
    std::string problem;
    const json& configured = json_member(CONFIG, "chat_boxes");
    chat_boxes_limit = chat_boxes_choose(configured, &problem);
    if (!problem.empty()) net_log(problem);
}
