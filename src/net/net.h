// Network requests: one FIFO queue of HTTP requests performed by one background
// worker with libcurl, each answer handed to its callback on that worker; the
// browser opener; percent-encoding of query values; the diagnostic line printer.
//
// Threads: fetch, fetch_blocking, url_encode, open and net_log may be called from
// any thread (fetch also from inside a callback). fetch_blocking must not be
// called on the worker (it would wait for itself; it then returns "" at once).
// fetch_shutdown belongs to the shutdown sequence on the main thread.
// Locks: the request queue and the worker's running flag are guarded by one
// mutex inside net.cpp; the printed lines by another (net_log).
#pragma once

#include <cstddef>
#include <string>

// One queued request; created by fetch, owned by the queue, deleted by the worker
// after its callback returned (or dropped unrun at shutdown).
struct Request {
    std::string url;                       // absolute URL, query string included
    std::string method;                    // "GET" or any other method name, e.g. "POST" (never a body)
    void (*callback)(std::string body);    // run once on the worker for status 0 or 2xx; nullptr = none
};

// True when curl_global_init(CURL_GLOBAL_ALL) succeeded. Owned by the program's
// entry: main sets it once at start-up before any request, and calls
// curl_global_cleanup at shutdown only when it is true. False makes fetch and
// open do nothing. Read by any thread after start-up; never written afterwards.
extern bool ONLINE;

// Bounds of one transfer. A transfer that hits a bound counts as "no status":
// the status line reads 0 and the callback runs with an empty body.
inline constexpr long FETCH_CONNECT_TIMEOUT_MS = 3000;            // TCP+TLS connect
inline constexpr long FETCH_TOTAL_TIMEOUT_MS = 10000;             // whole transfer
inline constexpr size_t FETCH_MAX_BODY_BYTES = 8u * 1024u * 1024u;  // larger answers are dropped
inline constexpr long FETCH_SHUTDOWN_WAIT_MS = 2000;              // fetch_shutdown's extra wait beyond one transfer

// ---- Requests --------------------------------------------------------------
// Queue a request and return at once; starts the worker when the queue was empty.
void fetch(std::string url, std::string method, void (*callback)(std::string));
// Body of the worker thread: perform queued requests in order until the queue is empty.
void fetch_loop();
// libcurl write function: append size*count bytes to the std::string at response.
size_t write_callback(char* data, size_t size, size_t count, void* response);
// Queue a request and wait for it (any thread but the worker). Always ends: returns
// the body for status 0 or 2xx, "" when no callback would run (ONLINE false,
// other status, time-out, too large, dropped at shutdown).
std::string fetch_blocking(const std::string& url, const std::string& method = "GET");
// Shutdown: refuse new requests, drop waiting ones unrun, let the current one
// finish and wait for the worker to end, at most one transfer plus FETCH_SHUTDOWN_WAIT_MS.
// Call before curl_global_cleanup. Returns false when the worker was still running.
bool fetch_shutdown();
// Change the transfer bounds (tests use short ones); affects requests started afterwards.
void fetch_set_timeouts(long connect_ms, long total_ms);
// Wait until the queue is empty and no worker runs; false when timeout_ms passed first.
bool fetch_wait_idle(long timeout_ms);
// Requests queued now, the one in progress included.
size_t fetch_pending();

// ---- Helpers -----------------------------------------------------------------
// Percent-encode every byte except A-Z a-z 0-9 - . _ ~ (space is %20, never +).
std::string url_encode(const std::string& text);
// Open an http:// or https:// URL in the user's browser; anything else is refused
// with a line on standard output. Does nothing when ONLINE is false.
void open(std::string url);
// Print one line (a line end is added) to standard output and flush, under a lock
// so lines from different threads never interleave. For every module's diagnostics.
void net_log(const std::string& line);
