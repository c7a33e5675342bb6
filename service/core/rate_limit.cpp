// Token buckets for the community service's limits.
#include "core/rate_limit.h"

#include <algorithm>
#include <cmath>
#include <vector>

double RateLimiter::level(const Bucket& b, const RateRule& r, Clock::time_point now) const {
    double secs = std::chrono::duration<double>(now - b.at).count();
    return std::min(r.burst, b.tokens + std::max(0.0, secs) * r.per_second);
}

int64_t RateLimiter::wait(std::initializer_list<Take> takes, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    return wait_locked(takes, now);
}

int64_t RateLimiter::wait_locked(std::initializer_list<Take> takes, Clock::time_point now) {
    double wait = 0;
    for (const Take& t : takes) {
        if (t.rule->burst <= 0) continue;
        auto it = buckets_.find(t.key);
        double have = it == buckets_.end() ? t.rule->burst : level(it->second.first, *t.rule, now);
        if (have < 1) {
            double need = t.rule->per_second > 0 ? (1 - have) / t.rule->per_second : 86400;
            wait = std::max(wait, need);
        }
    }
    return wait > 0 ? std::max<int64_t>(1, int64_t(std::ceil(wait))) : 0;
}

int64_t RateLimiter::take(std::initializer_list<Take> takes, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int64_t w = wait_locked(takes, now)) return w;
    for (const Take& t : takes) {
        if (t.rule->burst <= 0) continue;
        auto it = buckets_.find(t.key);
        double have = it == buckets_.end() ? t.rule->burst : level(it->second.first, *t.rule, now);
        buckets_[t.key] = {Bucket{have - 1, now}, t.rule};
    }
    if (buckets_.size() >= prune_at_) prune(now);
    return 0;
}

// A bucket that has filled up again says nothing a new one would not: dropping
// them keeps the map as large as the set of recent requesters, not of all ever.
void RateLimiter::prune(Clock::time_point now) {
    for (auto it = buckets_.begin(); it != buckets_.end();) {
        if (level(it->second.first, *it->second.second, now) >= it->second.second->burst)
            it = buckets_.erase(it);
        else
            ++it;
    }
    prune_at_ = std::max<size_t>(4096, buckets_.size() * 2);
}

size_t RateLimiter::size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return buckets_.size();
}
