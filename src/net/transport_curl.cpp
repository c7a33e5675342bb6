// The transfer of one request with libcurl (Linux). See transport.h.
#include "net/transport.h"

#include <atomic>
#include <cctype>
#include <mutex>

#include <curl/curl.h>

#include "net/net.h"

namespace {

// Set by transport_abort: the transfer in flight stops at once and later ones
// are not started. The multi handle of the transfer in flight (worker only),
// published under active_mutex so transport_abort can wake its wait.
std::atomic<bool> aborting{false};
std::mutex active_mutex;
CURLM* active_multi = nullptr;

// Drives the one transfer of multi to its end, or until stop is set (its
// setter wakes the poll). The transfer's own time-outs still apply; the 1 s
// bound only keeps the stop check alive should a wake-up ever be lost.
CURLcode run_multi(CURLM* multi, const std::atomic<bool>& stop) {
    CURLcode result = CURLE_ABORTED_BY_CALLBACK;
    for (int running = 1; running != 0;) {
        if (stop) break;
        if (curl_multi_perform(multi, &running) != CURLM_OK) return CURLE_FAILED_INIT;
        int queued = 0;
        for (CURLMsg* msg; (msg = curl_multi_info_read(multi, &queued)) != nullptr;)
            if (msg->msg == CURLMSG_DONE) result = msg->data.result;
        if (running == 0) break;
        curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    return result;
}

// Run one easy handle to its end through a multi handle, so that the wait can
// be cut short: transport_abort sets `aborting` and wakes the poll, and the
// transfer ends within milliseconds whatever the server does.
CURLcode run_transfer(CURL* handle) {
    if (aborting) return CURLE_ABORTED_BY_CALLBACK;
    CURLM* multi = curl_multi_init();
    if (multi == nullptr) return curl_easy_perform(handle);
    curl_multi_add_handle(multi, handle);
    {
        std::lock_guard<std::mutex> lock(active_mutex);
        active_multi = multi;
    }
    CURLcode result = run_multi(multi, aborting);
    {
        std::lock_guard<std::mutex> lock(active_mutex);
        active_multi = nullptr;
    }
    curl_multi_remove_handle(multi, handle);
    curl_multi_cleanup(multi);
    return result;
}

}  // namespace

bool transport_start() {
    return curl_global_init(CURL_GLOBAL_ALL) == 0;
}

void transport_stop() {
    curl_global_cleanup();
}

void transport_abort() {
    aborting = true;
    std::lock_guard<std::mutex> active(active_mutex);
    if (active_multi != nullptr) curl_multi_wakeup(active_multi);
}

TransportResult transport_perform(const std::string& url, const std::string& method, long connect_ms, long total_ms) {
    TransportResult out;
    CURL* handle = curl_easy_init();
    if (handle == nullptr) {
        out.error = curl_easy_strerror(CURLE_FAILED_INIT);
        return out;
    }
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, write_callback);
    // Without a length, some servers (cpp-httplib among them) read a POST's body
    // until the connection closes; saying "no body" outright keeps them answering.
    curl_slist* headers = nullptr;
    if (method != "GET") {
        curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, method.c_str());
        headers = curl_slist_append(headers, "Content-Length: 0");
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    }
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &out.body);
    // Bounds: an answer that never comes or never ends must not hold the queue
    // (the chat poll waits on it with the frame loop stalled). NOSIGNAL because
    // libcurl's signal-based DNS time-outs are unsafe off the main thread.
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, connect_ms);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, total_ms);
    curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(FETCH_MAX_BODY_BYTES));
    // Only web addresses: a configured origin must never make us read file:// etc.
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");

    CURLcode result = run_transfer(handle);
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &out.status);
    curl_easy_cleanup(handle);
    curl_slist_free_all(headers);
    out.completed = result == CURLE_OK;
    if (!out.completed) {
        out.error = curl_easy_strerror(result);
        out.status = 0;
        out.body.clear();
    }
    return out;
}

// ---- The held request ----------------------------------------------------------------

struct TransportHold {
    std::atomic<bool> cancelled{false};
    std::mutex mutex;         // guards multi
    CURLM* multi = nullptr;   // of the GET in flight; null between GETs
};

namespace {

size_t hold_body(char* data, size_t size, size_t count, void* out) {
    auto* body = static_cast<std::string*>(out);
    size_t n = size * count;
    if (body->size() + n > TRANSPORT_HOLD_MAX_BODY) return 0;  // aborts: not a wake-up's answer
    body->append(data, n);
    return n;
}

// Keeps the ETag header of the final answer (an interim 100 has none).
size_t hold_header(char* data, size_t size, size_t count, void* out) {
    size_t n = size * count;
    std::string line(data, n);
    const char name[] = "etag:";
    if (line.size() > sizeof name - 1) {
        bool match = true;
        for (size_t i = 0; i < sizeof name - 1 && match; i++)
            match = char(std::tolower(static_cast<unsigned char>(line[i]))) == name[i];
        if (match) {
            size_t start = line.find_first_not_of(" \t", sizeof name - 1);
            size_t end = line.find_last_not_of(" \t\r\n");
            *static_cast<std::string*>(out) =
                start == std::string::npos || end < start ? "" : line.substr(start, end - start + 1);
        }
    }
    return n;
}

}  // namespace

TransportHold* transport_hold_new() { return new TransportHold; }

void transport_hold_free(TransportHold* hold) { delete hold; }

void transport_hold_cancel(TransportHold* hold) {
    hold->cancelled = true;
    std::lock_guard<std::mutex> lock(hold->mutex);
    if (hold->multi != nullptr) curl_multi_wakeup(hold->multi);
}

TransportHeld transport_hold_get(TransportHold* hold, const std::string& url, const std::string& if_none_match,
                                 long connect_ms, long total_ms) {
    TransportHeld out;
    CURL* handle = curl_easy_init();
    CURLM* multi = curl_multi_init();
    if (handle == nullptr || multi == nullptr || hold->cancelled) {
        if (handle) curl_easy_cleanup(handle);
        if (multi) curl_multi_cleanup(multi);
        out.error = curl_easy_strerror(hold->cancelled ? CURLE_ABORTED_BY_CALLBACK : CURLE_FAILED_INIT);
        return out;
    }
    curl_slist* headers = nullptr;
    if (!if_none_match.empty()) {
        headers = curl_slist_append(headers, ("If-None-Match: " + if_none_match).c_str());
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    }
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, hold_body);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &out.body);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, hold_header);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &out.etag);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, connect_ms);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, total_ms);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_multi_add_handle(multi, handle);
    {
        std::lock_guard<std::mutex> lock(hold->mutex);
        hold->multi = multi;
    }
    CURLcode result = run_multi(multi, hold->cancelled);
    {
        std::lock_guard<std::mutex> lock(hold->mutex);
        hold->multi = nullptr;
    }
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &out.status);
    curl_multi_remove_handle(multi, handle);
    curl_multi_cleanup(multi);
    curl_easy_cleanup(handle);
    curl_slist_free_all(headers);
    out.completed = result == CURLE_OK;
    if (!out.completed) {
        out.error = curl_easy_strerror(result);
        out.status = 0;
        out.body.clear();
        out.etag.clear();
    }
    return out;
}
