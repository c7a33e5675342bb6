// The wake-up channel's hub and Nchan publisher (see wake.h).
#include "http/wake.h"

#include <cstdio>
#include <utility>

#include <httplib.h>

namespace service_detail {

// ---- WakeHub --------------------------------------------------------------------------

void WakeHub::start(const std::string& newest, size_t most) {
    std::lock_guard<std::mutex> lock(mutex_);
    newest_ = newest;
    most_ = most;
    closed_ = false;
}

void WakeHub::announce(const std::string& message) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        newest_ = message;
        ++generation_;
    }
    changed_.notify_all();
}

WakeHub::Waited WakeHub::wait(const std::string& seen, std::chrono::steady_clock::duration hold, std::string* newest) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_) return Waited::Closed;
    if (!seen.empty() && !newest_.empty() && seen != newest_) {
        *newest = newest_;
        return Waited::News;
    }
    if (waiting_ >= most_) return Waited::Full;
    ++waiting_;
    uint64_t asked_at = generation_;
    bool changed = changed_.wait_for(lock, hold, [&] { return closed_ || generation_ != asked_at; });
    --waiting_;
    if (closed_) return Waited::Closed;
    if (!changed) return Waited::Quiet;
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
