// Start-up of the online features: filling the jobs' table and the mascot's
// hook table, and the browser seam.
#include <cstdlib>
#include <string>
#include <utility>

#include "base/base.h"
#include "mascot/vimo_hooks.h"
#include "net/net.h"
#include "online/chat.h"
#include "online/commune.h"
#include "online/emotes.h"
#include "online/feeds.h"
#include "online/handover.h"
#include "online/jobs.h"
#include "online/json_text.h"
#include "online/live.h"
#include "online/login.h"
#include "online/online.h"
#include "online/wake.h"

void (*online_open_hook)(const std::string& url) = nullptr;

void online_open(const std::string& url) {
    if (online_open_hook != nullptr)
        online_open_hook(url);
    else
        open(url);
}

static void spawn_chat_hook(std::string text) { spawn_chat_taken(std::move(text)); }
static bool is_live_hook() { return VIMO_LIVE.load(); }
static bool is_snoozed_hook() { return VIMO_SNOOZED.load(); }

// Test-only: VIMO_TEST_POLL_DURATION=S starts the chat poll's interval at S
// seconds (5 to 3600) instead of 5, as if the chat had been quiet for a long
// time, so that a run of a minute shows what an hour of quiet does.
static void online_test_schedule() {
    const char* text = std::getenv("VIMO_TEST_POLL_DURATION");
    if (text == nullptr) return;
    char* end = nullptr;
    float seconds = std::strtof(text, &end);
    if (end == text || *end != '\0' || !(seconds >= 5 && seconds <= 3600)) return;
    poll_duration = seconds;
    net_log("test: the chat poll's interval starts at " + std::to_string(int(seconds)) + " s");
}

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
    online_jobs.take_wake = wake_take;
    online_jobs.wake_seen = wake_seen;
    online_jobs_reset();
    online_test_schedule();
    vimo_hooks.is_live = is_live_hook;
    vimo_hooks.is_snoozed = is_snoozed_hook;
    vimo_hooks.login_spawn = login_spawn;
    vimo_hooks.commune_spawn = commune_spawn;
    // The key stays in CONFIG as it was, so it is saved back whatever it holds.
    std::string problem;
    const json& configured = json_member(CONFIG, "chat_boxes");
    chat_boxes_limit = chat_boxes_choose(configured, &problem);
    if (!problem.empty()) net_log(problem);
    problem.clear();
    emotes_set_limit(emotes_cache_choose_mb(json_member(CONFIG, "emote_cache_mb"), &problem) << 20);
    if (!problem.empty()) net_log(problem);
}
