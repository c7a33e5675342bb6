// Reconnect delays shared by every bridge.
//
// Threads: one Backoff belongs to one bridge's event loop.
#pragma once

#include <chrono>
#include <random>

namespace bridges {

// Reconnect delays: 1 s doubling to 60 s, each drawn at random from the upper half
// of its step so that many clients do not come back at once; a connection that
// lasted a minute starts the series again. Not thread-safe: one per bridge thread.
class Backoff {
public:
    explicit Backoff(double first_s = 1, double max_s = 60, double reset_after_s = 60);
    void connected();     // a connection is up: remember when
    double next_delay();  // seconds to wait before the next try (after a failure or a drop)
    double step() const { return step_; }

private:
    double first_, max_, reset_after_, step_;
    std::chrono::steady_clock::time_point connected_at_{};
    bool was_connected_ = false;
    std::mt19937_64 random_;
};

}  // namespace bridges
