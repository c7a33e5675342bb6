// The jobs' clock (jobs.cpp): the table of what online_tick (online/online.h)
// runs, and the chat poll's schedule it keeps.
//
// Threads: main thread only (the frame loop, start-up and tests). The
// schedule is one record private to jobs.cpp; poll_duration, next_poll and
// vimo_poll_running name its fields.
#pragma once

#include <string>
#include <vector>

struct Element;

// What online_tick runs, as a table so that the schedule can be tested with
// fakes. online_init fills it with the features' functions; a slot left null
// is skipped, and a chat poll that could not start counts as a quiet one.
struct OnlineJobs {
    void (*drain)();   // online_drain: results handed over by the network worker
    // Feed checks, started every 300 s; each queues its request and returns at once.
    void (*fetchFern)();
    void (*fetchBsky)();
    void (*fetchBlog)();
    // live_take_latest: takes the live-notice hand-over list over, under the
    // lock its writer on the network worker uses (at most one handle a frame).
    std::vector<std::string> (*take_lives)();
    Element* (*live_spawn)(std::string handle);  // shows one live notice; returns its bubble
    // The chat poll, which runs off the main thread: start one (false when
    // none could start), then ask each frame for its outcome: 1 news, 0 quiet,
    // -1 not ended yet. The outcome is known once the poll's boxes are queued.
    bool (*poll_chat_start)();
    int (*poll_chat_outcome)();
    std::vector<std::string> (*take_chats)();  // chat_take: the queued box texts, list left empty
    void (*spawn_chat)(std::string text);       // creates one chat box element
    bool (*is_live)();      // VIMO_LIVE
    bool (*is_snoozed)();   // VIMO_SNOOZED
    // wake_take: the "message" value the wake-up channel announced last since
    // the previous call, or "" when it said nothing new.
    std::string (*take_wake)();
    // wake_seen: whether CONFIG["last_chat"] is that value (the poll has shown it).
    bool (*wake_seen)(const std::string& message);
};
extern OnlineJobs online_jobs;  // all null until online_init; tests put fakes here

// Chat-poll schedule, on the frame loop's elapsed-time clock.
extern float& poll_duration;  // current poll interval: 5, doubling to 3600 while the chat is quiet
extern float& next_poll;      // when the next poll runs; 3 at start
// A chat poll was started and its outcome has not been taken yet: the one
// record of a running poll. The clock sets it when poll_chat_start succeeds
// and clears it when poll_chat_outcome gives the outcome; poll_chat_start asks
// it, so no second poll starts beside the clock's. Written by jobs.cpp only.
extern const bool& vimo_poll_running;
void online_jobs_reset();  // The schedule back to its start values (5, 3, none running, no wake-up)

// A wake-up brings the chat poll forward to within WAKE_SPREAD seconds (a
// random delay drawn once per wake-up, so that a crowd woken together does not
// poll in the same millisecond), when that poll is more than 5 s away; a
// nearer poll is left as it is. A poll after a wake-up that found nothing new while the
// announced message is still unseen (a proxy's cached page from before it) is
// asked again WAKE_RECHECK_AFTER to WAKE_RECHECK_AFTER + WAKE_SPREAD / 2 s
// later, at most WAKE_RECHECKS times.
inline constexpr float WAKE_SPREAD = 2;         // seconds
inline constexpr float WAKE_RECHECK_AFTER = 1;  // seconds: a one-second cache has moved on by then
inline constexpr int WAKE_RECHECKS = 2;
