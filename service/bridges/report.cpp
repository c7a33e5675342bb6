// How a bridge fares (BridgeReport), its reconnect delays (Backoff), and the
// bridges a service's options ask for (see bridge.h).
#include <cstdio>
#include <ctime>

#include "bridges/bridge.h"
#include "service.h"

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
        case Outcome::Invalid: ++invalid_; break;
    }
}

void BridgeReport::moderation() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++moderation_;
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
    };
    j["next_try"] = next_try_ms_ > 0 ? nlohmann::json(iso_utc(next_try_ms_)) : nlohmann::json(nullptr);
    return j;
}

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

std::vector<std::unique_ptr<Bridge>> make_bridges(Service& s, const BridgeOptions& o) {
    std::vector<std::unique_ptr<Bridge>> out;
    if (!o.twitch_channels.empty())
        if (auto b = make_twitch_bridge(s, o)) out.push_back(std::move(b));
    if (!o.matrix_homeserver.empty())
        if (auto b = make_matrix_bridge(s, o)) out.push_back(std::move(b));
    if (!o.discord_token.empty())
        if (auto b = make_discord_bridge(s, o)) out.push_back(std::move(b));
    return out;
}

}  // namespace bridges
