// A bridge whose whole life is one coroutine (outbound/loop.h) on a thread of
// its own: the shape every platform's bridge takes. A platform writes prepare()
// (its options checked, its TLS context made) and main_loop() (connections one
// after another, with Backoff between); starting, stopping and the thread are
// here, and the same for all.
//
// Threads: start() and stop() on the thread that owns the Service; prepare() on
// that thread inside start(); main_loop() and everything it awaits on the
// bridge's thread. stop() ends the loop wherever it waits and joins the thread;
// the coroutines still waiting are destroyed on the bridge's thread first.
#pragma once

#include <thread>

#include "bridges/bridge.h"
#include "outbound/loop.h"

namespace bridges {

class LoopBridge : public Bridge {
public:
    using Bridge::Bridge;
    // A derived bridge's destructor calls stop() first: its members must outlive the thread.
    ~LoopBridge() override { stop(); }

    // prepare(), then the thread; true at once when already started, false after stop().
    bool start() final;
    // Stops the loop and joins the thread (a few milliseconds, whatever the connection waits on).
    void stop() final;

protected:
    // false (report_ says why) when the bridge cannot start at all.
    virtual bool prepare() = 0;
    // The bridge thread's whole life; returning ends the bridge (a setting proved wrong).
    virtual outbound::awaitable<void> main_loop() = 0;

private:
    outbound::Loops loops_;  // the bridge thread's one loop
    std::thread thread_;     // runs main_loop(); joinable from start() to stop()
};

}  // namespace bridges
