// The request queue and its worker (the transfers themselves are the
// transport's: transport.h), the browser opener and the shared line printer.
#include "net/net.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

#include "net/transport.h"
#include "platform/platform.h"

bool ONLINE = false;

namespace {

// A queued request plus, for fetch_blocking, the promise that always gets a value
// (the body, or "" when no callback would run). Dropping it unfulfilled breaks the
// promise, which the waiter also reads as "". A task entry has no request: when
// its turn comes the worker runs task, which performs its own transfers.
struct Pending {
    Request request;
    std::shared_ptr<std::promise<std::string>> reply;  // nullptr for plain fetch
    std::function<void()> task;                        // empty for a request
    long limit_ms = 0;                                 // > 0: this transfer's total time-out, if shorter
};

// Guarded by queue_mutex: queue, worker_running, closed. The front entry is the
// request in progress while worker_running; it stays queued until its callback
// has returned, so fetches made meanwhile queue behind it.
std::mutex queue_mutex;
std::condition_variable worker_idle;  // notified when the worker ends
std::deque<std::unique_ptr<Pending>> queue;
// Background tasks (fetch_task_background): one moves to the front of `queue`
// only when that is empty, so whatever else is asked never waits behind
// more than the one background task in progress.
std::deque<std::unique_ptr<Pending>> background;
bool worker_running = false;
bool closed = false;  // set by fetch_shutdown; new requests are refused

// Set by fetch_shutdown: later transfers are not started (the transport
// ends the one in flight).
std::atomic<bool> aborting{false};

thread_local bool on_worker = false;

std::atomic<long> connect_timeout_ms{FETCH_CONNECT_TIMEOUT_MS};
std::atomic<long> total_timeout_ms{FETCH_TOTAL_TIMEOUT_MS};

// The total time-out of a transfer started now with limit_ms (0 = none).
long transfer_timeout(long limit_ms) {
    long total = total_timeout_ms.load();
    return limit_ms > 0 && limit_ms < total ? limit_ms : total;
}

std::mutex log_mutex;

// Append p; start the worker when none runs. Appending and deciding to start are
// one step under the lock, as are finding the queue empty and ending (fetch_loop),
// so no request is left waiting and at most one worker exists. Returns the number
// of requests ahead of p, or -1 when refused.
long enqueue(std::unique_ptr<Pending> p, bool behind_all = false) {
    if (!ONLINE) return -1;
    std::lock_guard<std::mutex> lock(queue_mutex);
    if (closed) return -1;
    std::deque<std::unique_ptr<Pending>>& lane = behind_all ? background : queue;
    lane.push_back(std::move(p));
    long ahead = long(lane.size()) - 1;
    if (!worker_running) {
        worker_running = true;
        std::thread(fetch_loop).detach();
    }
    return ahead;
}

// What one transfer produced. delivered: the callback is due (status 0 or 2xx).
struct Outcome {
    long status = 0;
    std::string body;
    bool delivered = false;
};

Outcome perform(const Request& r, long total_ms) {
    net_log("[curl] Sending request to: " + net_cut(r.url));
    if (r.method != "GET") net_log("SET METHOD: " + r.method);
    TransportResult t = transport_perform(r.url, r.method, connect_timeout_ms.load(), total_ms);
    Outcome out;
    if (t.completed) {
        out.status = t.status;
        out.body = std::move(t.body);
    } else {
        // Time-out, over-size answer, reset connection: whatever arrived is not the
        // answer, so it counts as "no status" with an empty body.
        net_log("[curl] transfer failed: " + net_cut(t.error));
    }
    net_log("[curl] HTTP status: " + std::to_string(out.status));
    out.delivered = out.status == 0 || (out.status >= 200 && out.status <= 299);
    return out;
}

}  // namespace

void net_log(const std::string& line) {
    std::lock_guard<std::mutex> lock(log_mutex);
    std::cout << line << '\n' << std::flush;
}

std::string net_cut(const std::string& text) {
    if (text.size() <= NET_LOG_BODY_MAX) return text;
    size_t end = NET_LOG_BODY_MAX;
    // Back over continuation bytes to the start of the sequence the bound falls in
    // (at most three), so a multi-byte character is never split.
    for (int k = 0; k < 3 && end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80; k++) end--;
    return text.substr(0, end) + "\xE2\x80\xA6 (" + std::to_string(text.size()) + " bytes in all)";
}

void fetch(std::string url, std::string method, void (*callback)(std::string)) {
    auto p = std::make_unique<Pending>();
    p->request = Request{std::move(url), std::move(method), callback};
    enqueue(std::move(p));
}

void fetch_loop() {
    on_worker = true;
    for (;;) {
        Pending* current;
        {
            std::lock_guard<std::mutex> lock(queue_mutex);
            if (queue.empty() && !background.empty()) {
                queue.push_back(std::move(background.front()));
                background.pop_front();
            }
            if (queue.empty()) {
                worker_running = false;
                worker_idle.notify_all();
                return;
            }
            current = queue.front().get();
        }
        if (current->task) {
            // A throwing task would end the whole process from this thread.
            try {
                current->task();
            } catch (const std::exception& e) {
                net_log(std::string("[curl] task failed: ") + e.what());
            } catch (...) {
                net_log("[curl] task failed");
            }
            std::lock_guard<std::mutex> lock(queue_mutex);
            queue.pop_front();
            continue;
        }
        Outcome out = perform(current->request, transfer_timeout(current->limit_ms));
        if (out.delivered && current->request.callback != nullptr) {
            // A throwing callback would end the whole process from this thread.
            try {
                current->request.callback(out.body);
            } catch (const std::exception& e) {
                net_log(std::string("[curl] callback failed: ") + e.what());
            } catch (...) {
                net_log("[curl] callback failed");
            }
        }
        if (current->reply) current->reply->set_value(out.delivered ? out.body : std::string());
        std::lock_guard<std::mutex> lock(queue_mutex);
        queue.pop_front();  // still current: shutdown drops only the waiting ones
    }
}

size_t write_callback(char* data, size_t size, size_t count, void* response) {
    size_t bytes = size * count;
    net_log("[curl] recieved " + std::to_string(bytes) + " bytes");
    auto* body = static_cast<std::string*>(response);
    if (body->size() + bytes > FETCH_MAX_BODY_BYTES) {
        net_log("[curl] answer larger than " + std::to_string(FETCH_MAX_BODY_BYTES) + " bytes, dropped");
        return 0;  // fewer than delivered: the transport aborts the transfer
    }
    body->append(data, bytes);
    return bytes;
}

bool fetch_task(std::function<void()> task) {
    auto p = std::make_unique<Pending>();
    p->task = std::move(task);
    return enqueue(std::move(p)) >= 0;
}

bool fetch_task_background(std::function<void()> task) {
    auto p = std::make_unique<Pending>();
    p->task = std::move(task);
    return enqueue(std::move(p), true) >= 0;
}

std::string fetch_blocking(const std::string& url, const std::string& method, long limit_ms) {
    if (!ONLINE) return "";
    if (on_worker) {
        // The worker is in a callback or a task, so this is its turn: perform
        // the transfer right here, where a queued one would wait for itself.
        if (aborting) return "";
        Outcome out = perform(Request{url, method, nullptr}, transfer_timeout(limit_ms));
        return out.delivered ? out.body : std::string();
    }
    auto p = std::make_unique<Pending>();
    p->request = Request{url, method, nullptr};
    p->limit_ms = limit_ms;
    p->reply = std::make_shared<std::promise<std::string>>();
    std::future<std::string> answer = p->reply->get_future();
    long ahead = enqueue(std::move(p));
    if (ahead < 0) return "";
    // Every transfer ends within its total time-out; allow one per request ahead
    // plus this one, and a margin for callbacks.
    // A task ahead may hold the worker for FETCH_TASK_BOUND_MS.
    auto bound = std::chrono::milliseconds((ahead + 1) * std::max(total_timeout_ms.load(), FETCH_TASK_BOUND_MS) +
                                           FETCH_SHUTDOWN_WAIT_MS);
    if (answer.wait_for(bound) != std::future_status::ready) return "";
    try {
        return answer.get();
    } catch (const std::future_error&) {
        return "";  // dropped at shutdown
    }
}

bool fetch_shutdown() {
    std::unique_lock<std::mutex> lock(queue_mutex);
    closed = true;
    // Keep the request in progress (the worker owns it until its callback returns).
    while (queue.size() > (worker_running ? 1u : 0u)) queue.pop_back();
    background.clear();
    aborting = true;
    transport_abort();
    auto bound = std::chrono::milliseconds(FETCH_SHUTDOWN_WAIT_MS);
    return worker_idle.wait_for(lock, bound, [] { return !worker_running; });
}

void fetch_set_timeouts(long connect_ms, long total_ms) {
    connect_timeout_ms = connect_ms;
    total_timeout_ms = total_ms;
}

bool fetch_wait_idle(long timeout_ms) {
    std::unique_lock<std::mutex> lock(queue_mutex);
    return worker_idle.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                [] { return !worker_running && queue.empty() && background.empty(); });
}

size_t fetch_pending() {
    std::lock_guard<std::mutex> lock(queue_mutex);
    return queue.size() + background.size();
}

std::string url_encode(const std::string& text) {
    static const char HEX[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (unsigned char c : text) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '.' || c == '_' || c == '~';
        if (plain) {
            out += char(c);
        } else {
            out += '%';
            out += HEX[c >> 4];
            out += HEX[c & 15];
        }
    }
    return out;
}

bool net_start() {
    ONLINE = transport_start();
    return ONLINE;
}

void net_stop() {
    static bool stopped = false;
    if (!ONLINE || stopped) return;
    stopped = true;
    fetch_shutdown();  // the worker must be gone before the transport is torn down
    transport_stop();
}

void open(std::string url) {
    if (!ONLINE) return;
    if (!platform_url_is_web(url)) {
        net_log("open refused (not an http or https address): " + net_cut(url));
        return;
    }
    if (!platform_open_url(url)) net_log("open failed to start the browser for: " + net_cut(url));
}
