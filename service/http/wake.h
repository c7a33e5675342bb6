// The wake-up channel on the service's side. A companion keeps one GET
// /api/wake open; it is answered the moment a new served chat message exists
// (its "message" value as the body and the ETag), so the companion polls the
// chat at once instead of at its backed-off time. Two ways to hold the crowd:
//
// - WakeHub: the service holds the requests itself, each on one HTTP thread,
//   for at most `most` companions at a time (the threads must keep serving
//   the polls), and at most WAKE_PER_ADDRESS from one address (an IPv6 /64),
//   so one address cannot take every place; beyond either it answers 503 at
//   once and the companion keeps its plain schedule. Messages are folded as
//   the publisher folds them: at most one release a WAKE_FOLD_GAP, so a busy
//   chat answers each waiter at most about once a second. Enough for one
//   machine's worth of companions.
// - WakePublisher (--publish-url): nginx's Nchan module holds the requests
//   (thousands on an event loop, and on every machine sharing its Redis); the
//   service POSTs each new message's value to Nchan's publisher location.
//
// Threads: announce and publish are called by the store's writer (any HTTP
// thread or a bridge) with the store's lock held, and only hand the value on;
// wait runs on the HTTP thread of the held request; start, close and stop on
// the thread that owns the Service.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace service_detail {

// How long one GET /api/wake is held before the answer "nothing yet" (304).
// Below the companion's own bound (45 s), and a keep-alive proxy's.
inline constexpr std::chrono::seconds WAKE_HOLD{25};
inline constexpr int WAKE_BUSY_RETRY_AFTER = 60;  // seconds, in the 503 beyond the bound
inline constexpr size_t WAKE_PER_ADDRESS = 4;       // requests held at once for one address
// Announcements within this gap of the last release are folded into one
// release of the newest (the publisher's WAKE_PUBLISH_GAP, for the same reason).
inline constexpr std::chrono::milliseconds WAKE_FOLD_GAP{1000};

class WakeHub {
public:
    using Clock = std::chrono::steady_clock;
    // AddressFull: this address holds WAKE_PER_ADDRESS already (others may still wait).
    enum class Waited { News, Quiet, Full, AddressFull, Closed };
    // The newest served message when the service starts ("" when none), and
    // how many requests may be held at once (0: the channel is off).
    void start(const std::string& newest, size_t most);
    // A new served message: every held request is answered with it, at once
    // when the last release is WAKE_FOLD_GAP old, otherwise at the gap's end
    // (with whatever is newest then).
    void announce(const std::string& message);
    // Hold the calling thread until a message other than seen is released (at
    // once when seen is not "" and is not the newest released: one came between
    // two asks), hold passes, or close. *newest is the message for News.
    // address: the requester's (client_address), for the per-address bound.
    Waited wait(const std::string& address, const std::string& seen, Clock::duration hold, std::string* newest);
    void close();            // answers every held request (Closed) and refuses new ones
    size_t waiting();        // requests held now
    size_t most();           // the bound given to start

private:
    void release(Clock::time_point now);  // pending_ becomes newest_; mutex_ held
    std::mutex mutex_;       // guards what follows
    std::condition_variable changed_;
    std::string newest_;     // the message released last; "" until one is known
    std::string pending_;    // announced since, not released yet; "" none
    Clock::time_point next_release_{};  // no release before this
    uint64_t generation_ = 0;  // counts releases
    size_t waiting_ = 0;
    std::map<std::string, size_t> held_by_;  // requests held per address (entries > 0 only)
    size_t most_ = 0;
    bool closed_ = false;
};

// POSTs new messages' values to an Nchan publisher location, on a thread of
// its own, never on the writer's. Messages that come while one is being
// published, or within WAKE_PUBLISH_GAP of the last, are folded into one
// publication of the newest: each publication wakes the whole crowd, which
// then polls, so a busy chat wakes it at most once per gap.
inline constexpr std::chrono::milliseconds WAKE_PUBLISH_GAP{1000};

class WakePublisher {
public:
    ~WakePublisher() { stop(); }
    // url: http://HOST:PORT/PATH; false and *error when it is not one.
    bool start(const std::string& url, std::string* error);
    void publish(const std::string& message);  // returns at once
    void stop();                                // publishes nothing more; joins the thread
    uint64_t published();                       // publications nginx accepted (2xx)
    uint64_t failed();                          // publications that did not reach it

private:
    void run();
    std::string origin_, path_;
    std::mutex mutex_;       // guards what follows
    std::condition_variable changed_;
    std::string pending_;    // the newest value not yet published; "" none
    bool stopping_ = false;
    uint64_t published_ = 0, failed_ = 0;
    std::thread thread_;
};

}  // namespace service_detail
