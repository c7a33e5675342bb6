// The wake-up channel's hub and Nchan publisher (see wake.h).
#include "http/wake.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include <httplib.h>

namespace service_detail {

// ---- WakeHub --------------------------------------------------------------------------

void WakeHub::start(const std::string& newest, size_t most) {
    std::lock_guard<std::mutex> lock(mutex_);
    newest_ = newest;
    pending_.clear();
    most_ = most;
    closed_ = false;
}

void WakeHub::announce(const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    bool first = pending_.empty();
    pending_ = message;
    Clock::time_point now = Clock::now();
    if (now >= next_release_) {
        release(now);
        changed_.notify_all();
    } else if (first) {
        changed_.notify_all();  // held requests now wait for the gap's end, not only their hold's
    }
}

void WakeHub::release(Clock::time_point now) {
    newest_ = std::exchange(pending_, std::string());
    ++generation_;
    next_release_ = now + WAKE_FOLD_GAP;
}

WakeHub::Waited WakeHub::wait(const std::string& address, const std::string& seen, Clock::duration hold,
                              std::string* newest) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_) return Waited::Closed;
    Clock::time_point now = Clock::now();
    // A message folded while nobody was held is released by the next ask.
    if (!pending_.empty() && now >= next_release_) release(now);
    if (!seen.empty() && !newest_.empty() && seen != newest_) {
        *newest = newest_;
        return Waited::News;
    }
    if (waiting_ >= most_) return Waited::Full;
    size_t& held_here = held_by_[address];
    if (held_here >= WAKE_PER_ADDRESS) return Waited::AddressFull;  // held_here > 0: the entry stays
    ++waiting_;
    ++held_here;
    uint64_t asked_at = generation_;
    Clock::time_point hold_end = now + hold;
    for (;;) {
        if (closed_ || generation_ != asked_at) break;
        now = Clock::now();
        // The gap ended with a message folded: whichever held request sees it first releases it.
        if (!pending_.empty() && now >= next_release_) {
            release(now);
            changed_.notify_all();
            break;
        }
        if (now >= hold_end) break;
        changed_.wait_until(lock, pending_.empty() ? hold_end : std::min(hold_end, next_release_));
    }
    --waiting_;
    if (--held_by_[address] == 0) held_by_.erase(address);
    if (closed_) return Waited::Closed;
    if (generation_ == asked_at) return Waited::Quiet;
    *newest = newest_;
    return Waited::News;
}

void WakeHub::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

size_t WakeHub::waiting() {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_;
}

size_t WakeHub::most() {
    std::lock_guard<std::mutex> lock(mutex_);
    return most_;
}

// ---- WakePublisher -----------------------------------------------------------------------

bool WakePublisher::start(const std::string& url, std::string* error) {
    const std::string scheme = "http://";
    size_t slash = url.find('/', scheme.size());
    if (url.rfind(scheme, 0) != 0 || slash == std::string::npos || slash == scheme.size()) {
        *error = "--publish-url must be http://HOST:PORT/PATH (nginx's publisher location on this machine)";
        return false;
    }
    origin_ = url.substr(0, slash);
    path_ = url.substr(slash);
    thread_ = std::thread([this] { run(); });
    return true;
}

void WakePublisher::publish(const std::string& message) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_.joinable() || stopping_) return;
        pending_ = message;
    }
    changed_.notify_all();
}

void WakePublisher::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

uint64_t WakePublisher::published() {
    std::lock_guard<std::mutex> lock(mutex_);
    return published_;
}

uint64_t WakePublisher::failed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
}

void WakePublisher::run() {
    httplib::Client client(origin_);
    client.set_connection_timeout(2, 0);
    client.set_read_timeout(5, 0);
    client.set_write_timeout(5, 0);
    client.set_keep_alive(true);
    auto last = std::chrono::steady_clock::now() - WAKE_PUBLISH_GAP;
    bool reported = false;  // a failure is printed once until a publication gets through again
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
        if (stopping_) return;
        // Fold what comes within the gap into one publication of the newest.
        if (changed_.wait_until(lock, last + WAKE_PUBLISH_GAP, [&] { return stopping_; })) return;
        std::string message = std::exchange(pending_, std::string());
        lock.unlock();
        last = std::chrono::steady_clock::now();
        httplib::Result r = client.Post(path_, message, "text/plain");
        bool ok = r && r->status >= 200 && r->status <= 299;
        if (!ok && !reported)
            std::fprintf(stderr, "vimo-service: publishing to %s%s failed (%s); companions keep their poll schedule\n",
                         origin_.c_str(), path_.c_str(),
                         r ? ("HTTP " + std::to_string(r->status)).c_str() : httplib::to_string(r.error()).c_str());
        reported = !ok;
        lock.lock();
        (ok ? published_ : failed_)++;
    }
}

}  // namespace service_detail
