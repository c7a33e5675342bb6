// The wake-up channel (wake.cpp). One GET to the service's endpoint_wake(),
// held open until a chat message newer than the one it last announced exists,
// on a thread and connection of its own (never the request worker). Its
// answer's body is that message's "message" value, and its ETag (at most
// WAKE_ETAG_MAX bytes; a longer one is not sent back) is sent back as
// If-None-Match on the next ask, so a message stored between two asks is not
// missed. 304 or 408 (the hold ran out): ask again, never sooner than
// WAKE_ASK_GAP_MS after the previous ask began, so a service that answers at
// once is asked at most once a second. 404 (a service without
// the channel): stop asking for this run; the chat poll keeps its plain
// schedule. Anything else, or no answer: ask again after WAKE_BACKOFF_FIRST s,
// doubling to WAKE_BACKOFF_MOST. The boxes still come through the chat poll:
// the channel only says when (the jobs' clock brings the poll forward,
// online/jobs.h).
//
// Threads: the channel's own thread asks; wake_start and wake_stop belong to
// the main thread's start-up and shutdown, wake_take and wake_seen to the
// frame loop. The announced value is guarded by a lock private to wake.cpp.
#pragma once

#include <cstddef>
#include <string>

inline constexpr long WAKE_HOLD_MS = 45000;        // one ask's total bound; the service holds it for less
inline constexpr long WAKE_CONNECT_MS = 5000;
inline constexpr long WAKE_BACKOFF_FIRST = 10;     // seconds
inline constexpr long WAKE_BACKOFF_MOST = 300;     // seconds
inline constexpr size_t WAKE_MESSAGE_MAX = 256;    // bytes of an announced "message" value kept
inline constexpr size_t WAKE_ETAG_MAX = 256;       // bytes of an ETag sent back
inline constexpr long WAKE_ASK_GAP_MS = 1000;      // between the starts of two asks after an answer
inline constexpr int WAKE_LINES_PER_MINUTE = 12;   // "[wake]" lines printed a minute; the rest are counted

// Start the channel's thread (main thread, start-up after online_init). Does
// nothing when ONLINE is false or the thread runs already.
void wake_start();
// End it within a few milliseconds whatever the service does (main thread,
// shutdown, before the network layer is torn down). Safe when never started.
void wake_stop();
// Main thread: the "message" value announced last since the previous call, or "".
std::string wake_take();
// Main thread: whether CONFIG["last_chat"] equals message (a JSON string).
bool wake_seen(const std::string& message);
// Whether the channel's thread is running now (tests).
bool wake_running();
// The back-off the channel is waiting out now, in seconds; 0 while it asks or is held.
long wake_backoff_seconds();
