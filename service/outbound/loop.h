// The one way an outbound connection waits: C++20 coroutines (Asio awaitables)
// on an event loop that the waiting thread runs itself. A bridge's thread runs
// its whole life as one such coroutine; a sign-in's HTTP worker runs its two
// provider calls as another. Every wait is an Asio operation, so one call,
// Loops::stop(), ends them all at once, whatever each is waiting on.
//
// Threads: Loops::run on the thread that waits (it returns when its task ends
// or when stop() is called); stop() and stopped() from any thread. The coroutine
// frames a stop leaves waiting are destroyed on the thread that called run, with
// its event loop, before run returns.
#pragma once

#include <utility>  // before Asio: Boost 1.74's awaitable.hpp uses std::exchange without it

#include <functional>
#include <mutex>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>

namespace outbound {

template <class T>
using awaitable = boost::asio::awaitable<T>;

// Event loops that are stopped together. Every run gets a loop of its own (so
// runs on several threads never share one); stop() ends all that are running
// and any run begun after it.
class Loops {
public:
    Loops() = default;
    Loops(const Loops&) = delete;
    Loops& operator=(const Loops&) = delete;

    // Runs task() to its end on a new event loop on this thread. true when it
    // ended by itself; false when stop() ended it (or came first). task is kept
    // alive, and what it refers to must be, until run returns. An exception the
    // task lets out is thrown again here.
    bool run(const std::function<awaitable<void>()>& task);
    // Ends every running loop and every later run (any thread, returns at once).
    void stop();
    bool stopped() const;

private:
    mutable std::mutex mutex_;                      // guards stopped_ and running_
    bool stopped_ = false;                          // set once, by stop()
    std::vector<boost::asio::io_context*> running_;  // the loops inside run() now
};

// Waits seconds on the loop of the coroutine that awaits it; a stop ends it with the loop.
awaitable<void> sleep_for(double seconds);

// Runs work on the awaiting coroutine's loop for at most seconds: true when it
// ended in time. When it did not, it is left waiting, and its frame is destroyed
// with the loop (so what work refers to must outlive the Loops::run it is under,
// and the awaiting task should end soon after).
awaitable<bool> run_within(double seconds, std::function<awaitable<void>()> work);

}  // namespace outbound
