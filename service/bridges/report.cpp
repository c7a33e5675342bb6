// How a bridge fares (BridgeReport, see bridge.h).
#include <cstdio>
#include <ctime>

#include "bridges/bridge.h"

namespace bridges {

namespace {

int64_t wall_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string iso_utc(int64_t ms) {
    if (ms <= 0) return "";
    std::time_t secs = std::time_t(ms / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char out[32];
    std::strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return out;
}

}  // namespace

BridgeReport::BridgeReport(std::string platform, std::string what)
    : platform_(std::move(platform)), what_(std::move(what)) {}

void BridgeReport::connecting() {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = "connecting";
    next_try_ms_ = 0;
}

void BridgeReport::connected() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ever_connected_) ++reconnects_;
    ever_connected_ = true;
    state_ = "connected";
    next_try_ms_ = 0;
}

void BridgeReport::backing_off(double seconds, const std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = "backing off";
    next_try_ms_ = wall_ms() + int64_t(seconds * 1000);
    if (!error.empty()) {
        last_error_ = error;
        last_error_at_ = iso_utc(wall_ms());
    }
}

void BridgeReport::failed(const std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = "failed";
    next_try_ms_ = 0;
    last_error_ = error;
    last_error_at_ = iso_utc(wall_ms());
}

void BridgeReport::stopped() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != "failed") state_ = "stopped";
    next_try_ms_ = 0;
}

void BridgeReport::error(const std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++errors_;
    last_error_ = error;
    last_error_at_ = iso_utc(wall_ms());
}

void BridgeReport::counted(Outcome outcome) {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (outcome) {
        case Outcome::Stored:
            ++stored_;
            last_message_ms_ = wall_ms();
            break;
        case Outcome::Duplicate: ++duplicates_; break;
        case Outcome::Limited: ++limited_; break;
        case Outcome::Banned: ++banned_; break;
        case Outcome::Invalid:
        case Outcome::Unlinked: ++invalid_; break;
    }
}

void BridgeReport::moderation() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++moderation_;
}

void BridgeReport::details(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    details_ = std::move(text);
}

int64_t BridgeReport::stored() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stored_;
}

int64_t BridgeReport::reconnects() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reconnects_;
}

std::string BridgeReport::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

nlohmann::json BridgeReport::to_json() const {
    std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::json j = {
        {"platform", platform_},
        {"reads", what_},
        {"state", state_},
        {"stored", stored_},
        {"dropped", {{"over_limits", limited_}, {"duplicates", duplicates_}, {"banned", banned_}, {"invalid", invalid_}}},
        {"moderation", moderation_},
        {"reconnects", reconnects_},
        {"errors", errors_},
        {"last_message_at", iso_utc(last_message_ms_)},
        {"last_error", last_error_},
        {"last_error_at", last_error_at_},
        {"details", details_},
    };
    j["next_try"] = next_try_ms_ > 0 ? nlohmann::json(iso_utc(next_try_ms_)) : nlohmann::json(nullptr);
    return j;
}

}  // namespace bridges
