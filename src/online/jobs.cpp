// The clock of every online job, run by the frame loop once per frame before
// the elements' update: feed checks, live notices, the adaptive chat poll and
// the chat boxes it brings. See online/online.h and online/jobs.h.
//
// Threads: main thread only.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "base/base.h"
#include "online/jobs.h"
#include "online/online.h"
#include "physics/physics.h"  // randf

OnlineJobs online_jobs = {};

static const float FEED_INTERVAL = 300;   // seconds between feed checks
static const float FEED_OFFSET = 5;       // the first check, seconds after start
static const float POLL_FASTEST = 5;      // chat poll interval while messages come, seconds
static const float POLL_SLOWEST = 3600;   // chat poll interval ceiling, seconds

// The wake-up channel's part of the schedule.
struct WakeSchedule {
    std::string waiting;   // announced, not yet turned into a poll ("" none)
    float delay = 0;       // waiting's random delay, drawn once when it was announced
    std::string awaited;   // announced and polled for: the next outcome is its poll's
    bool polling = false;  // the poll now due or running was brought forward for `awaited`
    int rechecks = 0;      // polls asked again for `awaited` so far
};

// The clock's whole state, on the frame loop's elapsed-time clock (seconds);
// online_jobs_reset assigns a fresh one.
struct JobsSchedule {
    float poll_duration = POLL_FASTEST;  // current chat poll interval, doubling to POLL_SLOWEST while quiet
    float next_poll = 3;                 // when the next chat poll is due
    // The one record of a running chat poll: poll_chat_start succeeded and
    // poll_chat_outcome has not given its outcome yet. Only this file writes it.
    bool poll_running = false;
    WakeSchedule wake;                   // what the wake-up channel asked for
};
static JobsSchedule schedule;

// The schedule's fields under the names the rest of the module and its tests use.
float& poll_duration = schedule.poll_duration;
float& next_poll = schedule.next_poll;
const bool& vimo_poll_running = schedule.poll_running;

void online_jobs_reset() { schedule = JobsSchedule{}; }

// The next poll within delay seconds of time, at the fastest interval.
static void vimo_poll_soon(float time, float delay) {
    schedule.poll_duration = POLL_FASTEST;
    if (schedule.next_poll > time + delay) schedule.next_poll = time + delay;
}

// The stream is live and its notice not snoozed: chat boxes are dropped.
static bool live_blocking() {
    bool live = online_jobs.is_live && online_jobs.is_live();
    bool snoozed = online_jobs.is_snoozed && online_jobs.is_snoozed();
    return live && !snoozed;
}

// The next poll after one that ended at time: 5 s after its slot when it had
// news, otherwise after a doubled interval (at most an hour).
static void vimo_schedule_poll(bool fresh, float time) {
    if (fresh) {
        schedule.poll_duration = POLL_FASTEST;
        schedule.next_poll = schedule.next_poll + POLL_FASTEST;
    } else {
        schedule.poll_duration = std::min(2 * schedule.poll_duration, POLL_SLOWEST);
        schedule.next_poll = schedule.next_poll + schedule.poll_duration;
    }
    // Scheduled from the previous slot; only when that is still behind us (a
    // late or slow poll) does the next one count from now, so missed slots do
    // not make a burst of polls.
    if (schedule.next_poll <= time) schedule.next_poll = time + schedule.poll_duration;
}

// Pass 3 of online_tick: the chat poll.
static void online_tick_poll(float time) {
    // Off this thread: started when due and none is running,
    // its outcome picked up in the frame it is handed over (at the earliest
    // the frame it started in). Due when next_poll lies in (time - dt, time];
    // a poll whose moment fell between two frame windows (the frame clock lags
    // a frame, so after a long frame the windows leave a gap) is run late
    // rather than never, which would end polling for good.
    if (!schedule.poll_running && time >= schedule.next_poll) {
        schedule.poll_running = online_jobs.poll_chat_start && online_jobs.poll_chat_start();
        if (!schedule.poll_running) vimo_schedule_poll(false, time);
    }
    if (schedule.poll_running) {
        int outcome = online_jobs.poll_chat_outcome ? online_jobs.poll_chat_outcome() : 0;
        if (outcome >= 0) {
            schedule.poll_running = false;
            vimo_schedule_poll(outcome == 1, time);
            // The poll a wake-up brought found nothing while the message is
            // still unseen: its page came from a cache older than the message.
            if (schedule.wake.polling) {
                bool seen = outcome == 1 || (online_jobs.wake_seen && online_jobs.wake_seen(schedule.wake.awaited));
                schedule.wake.polling = !seen && schedule.wake.rechecks < WAKE_RECHECKS;
                if (schedule.wake.polling) {
                    schedule.wake.rechecks++;
                    vimo_poll_soon(time, WAKE_RECHECK_AFTER + randf() * WAKE_SPREAD / 2);
                }
            }
        }
    }
}

void online_tick(float dt, float time) {
    // 0. Results the network worker handed over (login, commune post), on this thread.
    if (online_jobs.drain) online_jobs.drain();

    // 1. Feed checks: at 5 s, then every 300 s.
    if (everyInterval(time, dt, FEED_INTERVAL, FEED_OFFSET)) {
        if (online_jobs.fetchFern) online_jobs.fetchFern();
        if (online_jobs.fetchBsky) online_jobs.fetchBsky();
        if (online_jobs.fetchBlog) online_jobs.fetchBlog();
    }

    // 2. Live notices queued by the network worker. A notice brings the chat
    // poll back to its fastest rate.
    if (online_jobs.take_lives) {
        std::vector<std::string> lives = online_jobs.take_lives();
        if (!lives.empty()) {
            for (const std::string& handle : lives)
                if (online_jobs.live_spawn) online_jobs.live_spawn(handle);
            schedule.poll_duration = POLL_FASTEST;
            if (schedule.next_poll > time + POLL_FASTEST) schedule.next_poll = time + POLL_FASTEST;
        }
    }

    // 2b. Wake-up channel: a new message exists. Applied only between polls:
    // one running may have asked before the message was stored.
    // It brings the poll forward only when that poll is more than
    // POLL_FASTEST away: under a busy chat the poll keeps its pace of one
    // every 5 s however often the channel speaks.
    if (online_jobs.take_wake) {
        std::string announced = online_jobs.take_wake();
        if (!announced.empty()) {
            schedule.wake.waiting = announced;
            schedule.wake.delay = randf() * WAKE_SPREAD;
        }
    }
    if (!schedule.wake.waiting.empty() && !schedule.poll_running) {
        schedule.wake.awaited = std::exchange(schedule.wake.waiting, std::string());
        schedule.wake.polling = true;
        schedule.wake.rechecks = 0;
        if (schedule.next_poll > time + POLL_FASTEST) vimo_poll_soon(time, schedule.wake.delay);
    }

    // 3. Chat poll (online_tick_poll).
    online_tick_poll(time);

    // 4. Chat boxes: dropped, not kept, while the stream is live and not snoozed.
    if (online_jobs.take_chats) {
        std::vector<std::string> chats = online_jobs.take_chats();
        if (!live_blocking())
            for (const std::string& text : chats)
                if (online_jobs.spawn_chat) online_jobs.spawn_chat(text);
    }
}

