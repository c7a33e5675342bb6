// Network requests: one FIFO queue of HTTP requests performed by one background
// worker through the system's transport (libcurl on Linux, WinHTTP on Windows:
// net/transport.h), each answer handed to its callback on that worker; the
// browser opener; percent-encoding of query values; the diagnostic line printer.
// The diagnostic lines read "[curl] ..." whatever the transport: tools and
// tests read them.
//
// Threads: fetch, fetch_task, fetch_blocking, url_encode, open and net_log may be
// called from any thread (fetch also from inside a callback or a task).
// net_start belongs to start-up, net_stop and fetch_shutdown to the shutdown
// sequence, both on the main thread.
// Locks: the request queue and the worker's running flag are guarded by one
// mutex inside net.cpp; the printed lines by another (net_log).
#pragma once

#include <cstddef>
#include <functional>
#include <string>

// One queued request; created by fetch, owned by the queue, deleted by the worker
// after its callback returned (or dropped unrun at shutdown).
struct Request {
    std::string url;                       // absolute URL, query string included
    std::string method;                    // "GET" or any other method name, e.g. "POST" (never a body)
    void (*callback)(std::string body);    // run once on the worker for status 0 or 2xx; nullptr = none
};

// True when the transport started (net_start). Set once at start-up before any
// request; net_stop tears the transport down only when it is true. False makes
// fetch and open do nothing. Read by any thread after start-up; never written
// afterwards (tests switch it).
extern bool ONLINE;

// ---- Start and stop (main thread) ----------------------------------------------------
bool net_start();  // Start the transport (curl_global_init, a WinHTTP session) and set ONLINE; returns it
// Shutdown: fetch_shutdown, then tear the transport down. Does nothing when
// ONLINE is false or after the first call.
void net_stop();

// Bounds of one transfer. A transfer that hits a bound counts as "no status":
// the status line reads 0 and the callback runs with an empty body.
inline constexpr long FETCH_CONNECT_TIMEOUT_MS = 3000;            // TCP+TLS connect
inline constexpr long FETCH_TOTAL_TIMEOUT_MS = 10000;             // whole transfer
inline constexpr size_t FETCH_MAX_BODY_BYTES = 8u * 1024u * 1024u;  // larger answers are dropped
// fetch_shutdown's wait for the worker: the transfer in flight is aborted, so
// only a callback or a task's bookkeeping is left to finish.
inline constexpr long FETCH_SHUTDOWN_WAIT_MS = 500;
// The longest a task may hold the worker (its transfers together); a task keeps
// to it itself (the chat poll's deadline), fetch_blocking's wait counts on it.
inline constexpr long FETCH_TASK_BOUND_MS = 30000;

// ---- Requests --------------------------------------------------------------
// Queue a request and return at once; starts the worker when the queue was empty.
void fetch(std::string url, std::string method, void (*callback)(std::string));
// Body of the worker thread: perform queued requests in order until the queue is empty.
void fetch_loop();
// Every transport's sink for a piece of an answer: print "[curl] recieved N bytes",
// append size*count bytes to the std::string at response and return that
// count; past FETCH_MAX_BODY_BYTES print a line and return 0, which aborts the transfer.
size_t write_callback(char* data, size_t size, size_t count, void* response);
// Queue a task and return at once: when its turn comes the worker runs task,
// which may perform transfers with fetch_blocking (each at once, on the worker);
// requests queued meanwhile wait behind it. False when refused (ONLINE false,
// shut down): task never runs. A task keeps within FETCH_TASK_BOUND_MS.
bool fetch_task(std::function<void()> task);
// The same for work that may wait (pictures): the worker takes a background
// task only when nothing else is queued, so a request or task queued later
// waits at most for the background task in progress. Background tasks run in
// their own order; fetch_shutdown drops the waiting ones like the rest.
bool fetch_task_background(std::function<void()> task);
// Perform a request and wait for its body. Off the worker the request is queued
// and waited for; on the worker (inside a task or a callback) it is performed at
// once. Always ends: returns the body for status 0 or 2xx, "" when no callback
// would run (ONLINE false, other status, time-out, too large, dropped or aborted
// at shutdown). limit_ms > 0 shortens this transfer's total time-out.
std::string fetch_blocking(const std::string& url, const std::string& method = "GET", long limit_ms = 0);
// Shutdown: refuse new requests, drop waiting ones unrun, abort the transfer in
// flight (its callback runs as for status 0) and wait at most
// FETCH_SHUTDOWN_WAIT_MS for the worker to end. net_stop calls it first.
// Returns false when the worker was still running.
bool fetch_shutdown();
// Change the transfer bounds (tests use short ones); affects requests started afterwards.
void fetch_set_timeouts(long connect_ms, long total_ms);
// Wait until the queue (background tasks included) is empty and no worker
// runs; false when timeout_ms passed first.
bool fetch_wait_idle(long timeout_ms);
// Requests and tasks queued now, background ones and the one in progress included.
size_t fetch_pending();

// ---- A held request (the wake-up channel) ------------------------------------------
// One GET that the server may hold open for many seconds, on a connection of
// its own and performed on the calling thread, never on the request worker:
// the queue above keeps serving the ordinary requests meanwhile. Through the
// same transport (libcurl, WinHTTP) and its rules (http and https only, no
// redirect followed, certificates verified); its body goes to no
// write_callback (no "[curl] recieved" lines) and is capped at
// TRANSPORT_HOLD_MAX_BODY bytes. transport_hold_cancel ends it at once from any
// thread, independently of fetch_shutdown. Implemented beside each transport.
inline constexpr size_t TRANSPORT_HOLD_MAX_BODY = 1024;

struct TransportHold;  // one per holding thread; opaque
// What a held GET produced.
struct TransportHeld {
    bool completed = false;  // an answer arrived whole; false: time-out, too large, cancelled, no connection
    long status = 0;         // HTTP status of a completed GET
    std::string body;        // its body (empty when not completed)
    std::string etag;        // its ETag header as sent ("" when none)
    std::string error;       // why it did not complete
};
TransportHold* transport_hold_new();            // nullptr when the system refuses
void transport_hold_free(TransportHold* hold);  // after its last transport_hold_get returned
// Any thread: end the GET in flight now and make every later one fail at once.
void transport_hold_cancel(TransportHold* hold);
// GET url with "If-None-Match: if_none_match" when that is not empty, within
// connect_ms for the connection and total_ms for the whole wait.
TransportHeld transport_hold_get(TransportHold* hold, const std::string& url, const std::string& if_none_match,
                                 long connect_ms, long total_ms);

// ---- Helpers -----------------------------------------------------------------
// Percent-encode every byte except A-Z a-z 0-9 - . _ ~ (space is %20, never +).
std::string url_encode(const std::string& text);
// Open an http:// or https:// URL in the user's browser; anything else is refused
// with a line on standard output. Does nothing when ONLINE is false.
void open(std::string url);
// Print one line (a line end is added) to standard output and flush, under a lock
// so lines from different threads never interleave. For every module's diagnostics.
void net_log(const std::string& line);
// The most bytes of an answer body (or of a URL or a value taken from one) that
// a diagnostic line prints: a hostile answer of megabytes must not become a
// line of megabytes on the console and a copy of itself in memory.
inline constexpr size_t NET_LOG_BODY_MAX = 4096;
// text as a diagnostic line shows it: whole when it is at most NET_LOG_BODY_MAX
// bytes, else its first bytes up to that bound (never ending inside a UTF-8
// sequence) followed by "… (N bytes in all)". Any thread.
std::string net_cut(const std::string& text);
