// Request rate limits of the community service: token buckets keyed by account,
// address or bridge. Thread-safe: HTTP worker threads share one RateLimiter.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>
#include <unordered_map>

struct RateRule {
    double burst = 0;       // requests allowed at once; 0 = no limit
    double per_second = 0;  // requests the bucket regains each second
};

class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;
    struct Take {
        const RateRule* rule;
        std::string key;
    };
    // Takes one request from every bucket named, or from none: 0 when the request
    // may go ahead, otherwise the whole seconds until every bucket has one again
    // (at least 1; the answer's Retry-After).
    int64_t take(std::initializer_list<Take> takes, Clock::time_point now = Clock::now());
    // What take would answer, taking nothing: for limits on failures, checked
    // before the attempt and taken only when it fails.
    int64_t wait(std::initializer_list<Take> takes, Clock::time_point now = Clock::now());
    size_t size();  // buckets held (tests)

private:
    struct Bucket {
        double tokens;
        Clock::time_point at;  // when tokens was computed
    };
    double level(const Bucket& b, const RateRule& r, Clock::time_point now) const;
    int64_t wait_locked(std::initializer_list<Take> takes, Clock::time_point now);
    void prune(Clock::time_point now);

    std::mutex mutex_;
    std::unordered_map<std::string, std::pair<Bucket, const RateRule*>> buckets_;
    size_t prune_at_ = 4096;  // size at which full buckets are dropped
};
