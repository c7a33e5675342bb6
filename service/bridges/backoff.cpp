// Reconnect delays (see backoff.h).
#include "bridges/backoff.h"

#include <algorithm>

namespace bridges {

Backoff::Backoff(double first_s, double max_s, double reset_after_s)
    : first_(first_s), max_(max_s), reset_after_(reset_after_s), step_(first_s), random_(std::random_device{}()) {}

void Backoff::connected() {
    connected_at_ = std::chrono::steady_clock::now();
    was_connected_ = true;
}

double Backoff::next_delay() {
    if (was_connected_) {
        std::chrono::duration<double> up = std::chrono::steady_clock::now() - connected_at_;
        if (up.count() >= reset_after_) step_ = first_;
        was_connected_ = false;
    }
    double step = step_;
    step_ = std::min(max_, step_ * 2);
    return std::uniform_real_distribution<double>(step / 2, step)(random_);
}

}  // namespace bridges
