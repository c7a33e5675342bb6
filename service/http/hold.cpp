// The moderation hold's release thread (see hold.h).
#include "http/hold.h"

namespace service_detail {

void HoldRelease::start(Clock::duration hold, std::function<void()> release) {
    hold_ = hold + HOLD_MARGIN;
    release_ = std::move(release);
    thread_ = std::thread([this] { run(); });
}

void HoldRelease::stored() {
    Clock::time_point at = Clock::now() + hold_;
    std::lock_guard<std::mutex> lock(mutex_);
    // Times only grow: one close to the last queued moves it instead of adding one,
    // so a burst of messages is a handful of entries, not one each.
    if (!due_.empty() && at - due_.back() < HOLD_FOLD_GAP) due_.back() = at;
    else due_.push_back(at);
    if (due_.size() == 1) changed_.notify_one();
}

void HoldRelease::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void HoldRelease::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (due_.empty()) {
            changed_.wait(lock);
            continue;
        }
        if (changed_.wait_until(lock, due_.front()) != std::cv_status::timeout && Clock::now() < due_.front())
            continue;
        while (!due_.empty() && due_.front() <= Clock::now()) due_.pop_front();
        lock.unlock();
        release_();  // reads the store: never under our lock, which the writer takes
        lock.lock();
    }
}

}  // namespace service_detail
