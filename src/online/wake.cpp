// The wake-up channel: a thread of its own that keeps one GET open to the
// service and hands each announced message over to the main thread, where the
// jobs' clock brings the chat poll forward. See online/wake.h.
//
// Threads: the channel's thread runs wake_loop; wake_start and wake_stop belong
// to the main thread's start-up and shutdown; wake_take and wake_seen to the
// frame loop. Locks: `channel.mutex` guards announced and stopping (and is the
// condition variable's, so a back-off wait ends the moment wake_stop asks).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "base/base.h"
#include "net/endpoints.h"
#include "net/net.h"
#include "online/json_text.h"
#include "online/wake.h"

namespace {

struct WakeChannel {
    std::mutex mutex;
    std::condition_variable stop_asked;  // notified by wake_stop
    bool stopping = false;               // set by wake_stop; the thread ends at its next look
    std::string announced;               // the newest announced "message" value not yet taken; "" none
    TransportHold* hold = nullptr;       // the thread's held GET; owned by wake_start/wake_stop
    std::thread thread;                  // joinable while started
    std::atomic<bool> running{false};    // the thread has not ended yet
    std::atomic<long> backing_off{0};    // seconds of the back-off under way; 0 none
};

WakeChannel channel;

// The announced value: the body without surrounding white space or quotes,
// kept only when short and printable (an answer is not trusted to be small).
std::string wake_message(const std::string& body) {
    size_t start = body.find_first_not_of(" \t\r\n\"");
    size_t end = body.find_last_not_of(" \t\r\n\"");
    if (start == std::string::npos) return "";
    std::string text = body.substr(start, end - start + 1);
    if (text.size() > WAKE_MESSAGE_MAX) return "";
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return "";
    return text;
}

// Waits until `until` or wake_stop; true when stopping.
bool wake_pause_until(std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> lock(channel.mutex);
    return channel.stop_asked.wait_until(lock, until, [] { return channel.stopping; });
}

bool wake_pause(long seconds) { return wake_pause_until(std::chrono::steady_clock::now() + std::chrono::seconds(seconds)); }

// The channel's diagnostic lines, at most WAKE_LINES_PER_MINUTE a minute: a
// service that answers at once must not fill the log. Lines past the bound are
// counted and their number printed with the next line let through. Channel thread only.
class WakeLog {
public:
    void line(const std::string& text) {
        auto now = std::chrono::steady_clock::now();
        if (now - minute_ >= std::chrono::minutes(1)) {
            minute_ = now;
            printed_ = 0;
        }
        if (printed_ >= WAKE_LINES_PER_MINUTE) {
            ++held_back_;
            return;
        }
        ++printed_;
        if (held_back_ > 0)
            net_log("[wake] (" + std::to_string(std::exchange(held_back_, 0)) + " more lines of the channel not printed)");
        net_log(text);
    }

private:
    std::chrono::steady_clock::time_point minute_{};
    int printed_ = 0;
    long held_back_ = 0;
};

bool wake_stopping() {
    std::lock_guard<std::mutex> lock(channel.mutex);
    return channel.stopping;
}

void wake_loop(std::string url) {
    std::string etag;       // of the last announcement; sent back so nothing between two asks is missed
    std::string last;       // the message announced last
    long backoff = WAKE_BACKOFF_FIRST;
    bool told_waiting = false;  // "[wake] waiting" is printed once per (re)connection, not every hold
    WakeLog log;
    std::chrono::steady_clock::time_point asked{};  // when the previous ask began
    while (!wake_stopping()) {
        // However the last ask ended, the next begins a gap after it began.
        if (wake_pause_until(asked + std::chrono::milliseconds(WAKE_ASK_GAP_MS))) break;
        asked = std::chrono::steady_clock::now();
        TransportHeld r = transport_hold_get(channel.hold, url, etag, WAKE_CONNECT_MS, WAKE_HOLD_MS);
        if (wake_stopping()) break;
        std::string message = r.completed && r.status == 200 ? wake_message(r.body) : "";
        // The same message again is no news: a cache between us and the service,
        // or a server that does not hold; asking again at once would hammer it.
        bool repeated = !message.empty() && message == last;
        if (r.completed && r.status == 200 && !repeated) {
            // An ETag longer than any value this channel names is not echoed back unbounded.
            if (!r.etag.empty()) etag = r.etag.size() <= WAKE_ETAG_MAX ? r.etag : std::string();
            last = message;
            log.line("[wake] a new chat message: " + (message.empty() ? std::string("(unnamed)") : message));
            {
                std::lock_guard<std::mutex> lock(channel.mutex);
                // Unnamed: still a wake-up; "?" never equals a stored cursor, so its poll may be rechecked.
                channel.announced = message.empty() ? "?" : message;
            }
            backoff = WAKE_BACKOFF_FIRST;
            continue;
        }
        if (r.completed && (r.status == 304 || r.status == 408)) {  // the hold ran out quietly
            if (!told_waiting) log.line("[wake] waiting for news from " + url);
            told_waiting = true;
            backoff = WAKE_BACKOFF_FIRST;
            continue;
        }
        if (r.completed && r.status == 404) {
            log.line("[wake] the service has no wake-up channel (404): the chat poll keeps its schedule");
            break;
        }
        told_waiting = false;
        log.line("[wake] no channel now (" +
                (repeated ? std::string("the same message again")
                          : r.completed ? "HTTP status " + std::to_string(r.status) : net_cut(r.error)) +
                "): asking again in " + std::to_string(backoff) + " s");
        channel.backing_off = backoff;
        bool stop = wake_pause(backoff);
        channel.backing_off = 0;
        if (stop) break;
        backoff = std::min(backoff * 2, WAKE_BACKOFF_MOST);
    }
    channel.running = false;
}

}  // namespace

void wake_start() {
    if (!ONLINE || channel.thread.joinable()) return;
    channel.hold = transport_hold_new();
    if (channel.hold == nullptr) {
        net_log("[wake] no wake-up channel: the system refused a connection of its own");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(channel.mutex);
        channel.stopping = false;
        channel.announced.clear();
    }
    channel.running = true;
    channel.thread = std::thread(wake_loop, endpoint_wake());
}

void wake_stop() {
    if (!channel.thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(channel.mutex);
        channel.stopping = true;
    }
    channel.stop_asked.notify_all();
    transport_hold_cancel(channel.hold);
    channel.thread.join();
    transport_hold_free(channel.hold);
    channel.hold = nullptr;
}

bool wake_running() { return channel.running; }

long wake_backoff_seconds() { return channel.backing_off; }

std::string wake_take() {
    std::lock_guard<std::mutex> lock(channel.mutex);
    return std::exchange(channel.announced, std::string());
}

bool wake_seen(const std::string& message) {
    const json& last = json_member(CONFIG, "last_chat");
    return last.is_string() && last.get_ref<const std::string&>() == message;
}
