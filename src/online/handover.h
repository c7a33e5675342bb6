// The hand-over of network results to the main thread (handover.cpp).
// Network callbacks never touch elements, `menu`, `USER` or `CONFIG`: what the
// main thread must do with an answer is queued here and run by online_drain,
// which online_tick calls once per frame, first thing.
//
// Threads: online_post from any thread; online_drain on the main thread.
// The queue is guarded by a lock private to handover.cpp.
#pragma once

#include <cstddef>
#include <functional>

// Queue an action for the main thread; any thread. Actions run in posting order.
void online_post(std::function<void()> action);
// Run the queued actions (main thread, once per frame at the start of the
// online tick). Actions posted while draining run in the next drain.
void online_drain();
// Number of actions waiting (tests wait on it with a deadline).
size_t online_pending();
