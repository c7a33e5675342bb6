// The transfer of one request with libcurl (Linux). See transport.h.
#include "net/transport.h"

#include <atomic>
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
    CURLcode result = CURLE_ABORTED_BY_CALLBACK;
    for (int running = 1; running != 0;) {
        if (aborting) break;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        int queued = 0;
        for (CURLMsg* msg; (msg = curl_multi_info_read(multi, &queued)) != nullptr;)
            if (msg->msg == CURLMSG_DONE) result = msg->data.result;
        if (running == 0) break;
        // The transfer's own time-outs still apply; the 1 s bound only keeps the
        // abort check alive should a wake-up ever be lost.
        curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
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
