// The wake-up channel on the service's side. A companion keeps one GET
// /api/wake open; it is answered the moment a new served chat message exists
// (its "message" value as the body and the ETag), so the companion polls the
// chat at once instead of at its backed-off time. Two ways to hold the crowd:
//
// - WakeHub: the service holds the requests itself, each on one HTTP thread,
//   for at most `most` companions at a time (the threads must keep serving
//   the polls); beyond that it answers 503 at once and the companion keeps its
//   plain schedule. Enough for one machine's worth of companions.
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
#include <mutex>
#include <string>
#include <thread>

namespace service_detail {

// How long one GET /api/wake is held before the answer "nothing yet" (304).
// Below the companion's own bound (45 s), and a keep-alive proxy's.
inline constexpr std::chrono::seconds WAKE_HOLD{25};
inline constexpr int WAKE_BUSY_RETRY_AFTER = 60;  // seconds, in the 503 beyond the bound

class WakeHub {
public:
    enum class Waited { News, Quiet, Full, Closed };
    // The newest served message when the service starts ("" when none), and
    // how many requests may be held at once (0: the channel is off).
    void start(const std::string& newest, size_t most);
    void announce(const std::string& message);  // a new served message: every held request is answered
    // Hold the calling thread until a message other than seen exists (at once
    // when seen is not "" and is not the newest: one came between two asks),
    // hold passes, or close. *newest is the message for News.
    Waited wait(const std::string& seen, std::chrono::steady_clock::duration hold, std::string* newest);
    void close();            // answers every held request (Closed) and refuses new ones
    size_t waiting();        // requests held now
    size_t most();           // the bound given to start

private:
    std::mutex mutex_;       // guards what follows
    std::condition_variable changed_;
    std::string newest_;     // "" until a message is known
    uint64_t generation_ = 0;  // counts announcements
    size_t waiting_ = 0;
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
