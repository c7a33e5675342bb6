// The moderation hold's release (--hold): a message stored at t is served from
// t + hold on (the store filters the chat page by age), so the wake-up channel
// and the Nchan publisher must be told then, not at t. HoldRelease calls its
// release function once each stored message's hold is over; the function asks
// the store for the newest served message and announces it if it is new (a
// message deleted, timed out, banned or cleared within its hold is not served,
// so it is never announced).
//
// Threads: stored() is called by the store's writer with the store's lock held
// and only queues a time; release runs on HoldRelease's own thread, never with
// the store's lock; start and stop on the thread that owns the Service.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace service_detail {

// Releases whose times are this close are one release at the later time (a busy
// chat: a message is announced at most this much late, the thread wakes at most
// once per gap).
inline constexpr std::chrono::milliseconds HOLD_FOLD_GAP{50};
// Past the hold, so a message stored in the same millisecond is old enough for
// the store's filter whatever the two clocks' rounding.
inline constexpr std::chrono::milliseconds HOLD_MARGIN{20};

class HoldRelease {
public:
    using Clock = std::chrono::steady_clock;
    ~HoldRelease() { stop(); }
    // Starts the thread: release() is called hold after each stored().
    void start(Clock::duration hold, std::function<void()> release);
    void stored();  // a message was stored now; returns at once
    void stop();    // releases nothing more; joins the thread

private:
    void run();
    Clock::duration hold_{};
    std::function<void()> release_;
    std::mutex mutex_;  // guards what follows
    std::condition_variable changed_;
    std::deque<Clock::time_point> due_;  // release times, oldest first
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace service_detail
