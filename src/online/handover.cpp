// The hand-over of network results to the main thread: a locked list of
// pending actions that the mascot's update runs once per frame, first thing.
// Network callbacks post here instead of touching elements, `menu`, `USER` or
// `CONFIG`; the actions run in the order they were posted.
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "net/net.h"
#include "online/handover.h"

// Posted from the worker, taken over by the main thread.
struct Handover {
    std::mutex lock;                            // guards pending
    std::deque<std::function<void()>> pending;  // actions in posting order
};
static Handover handover;

void online_post(std::function<void()> action) {
    std::lock_guard<std::mutex> lock(handover.lock);
    handover.pending.push_back(std::move(action));
}

void online_drain() {
    std::deque<std::function<void()>> due;
    {
        std::lock_guard<std::mutex> lock(handover.lock);
        due.swap(handover.pending);
    }
    // Run outside the lock: an action may fetch, and the answer may post again.
    for (std::function<void()>& action : due) {
        try {
            action();
        } catch (const std::exception& error) {
            net_log(std::string("online: a handed-over result failed: ") + error.what());
        }
    }
}

size_t online_pending() {
    std::lock_guard<std::mutex> lock(handover.lock);
    return handover.pending.size();
}
