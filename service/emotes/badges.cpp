// Twitch badges: Helix's lists with an app token, and our own marks (see badges.h).
#include "emotes/badges.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "emotes/get.h"
#include "images/images.h"

using json = nlohmann::json;

namespace {

// A key's parts hold no '-' (it separates them): the chat page's badge keys
// write Twitch's "sub-gifter" as "sub_gifter", and Helix's lists are kept the same way.
std::string key_part(std::string s) {
    for (char& c : s)
        if (c == '-') c = '_';
    return s;
}
constexpr size_t BADGE_HELIX_MAX_BYTES = 4 * 1024 * 1024;  // one badge list answer
constexpr size_t BADGE_MAX_ROOMS = 512;                    // channels' lists kept at once
}  // namespace

BadgeBook::BadgeBook(std::shared_ptr<bridges::TwitchAppToken> app, std::string helix_api,
                     std::shared_ptr<boost::asio::ssl::context> tls)
    : app_(std::move(app)), helix_api_(std::move(helix_api)), tls_(std::move(tls)) {
    while (!helix_api_.empty() && helix_api_.back() == '/') helix_api_.pop_back();
}

// One list ("" = the global badges), with a new token once when Helix says 401.
outbound::awaitable<std::optional<BadgeBook::Sets>> BadgeBook::ask_helix(const std::string& room) {
    std::string url = helix_api_ + (room.empty() ? "/chat/badges/global" : "/chat/badges?broadcaster_id=" + room);
    bridges::HttpsAnswer a;
    std::vector<std::pair<std::string, std::string>> headers{{"Client-Id", app_->client_id()}};
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string error, token = co_await app_->token(&error);
        if (token.empty()) {
            std::fprintf(stderr, "vimo-service: badges: %s\n", error.c_str());
            co_return std::nullopt;
        }
        a = co_await emote_get(tls_, url, token, headers, BADGE_CALL_TIMEOUT_S, BADGE_HELIX_MAX_BYTES);
        if (a.status != 401) break;
        app_->refused(token);  // expired or revoked: the next attempt asks for a new one
    }
    json j = json::parse(a.body, nullptr, false);
    if (a.status != 200 || !j.is_object() || !j["data"].is_array()) co_return std::nullopt;
    Sets sets;
    for (const json& set : j["data"]) {
        if (!set.is_object() || !set["set_id"].is_string() || !set["versions"].is_array()) continue;
        for (const json& v : set["versions"]) {
            if (!v.is_object() || !v["id"].is_string() || !v["image_url_1x"].is_string()) continue;
            ImageSource src{v["image_url_1x"].get<std::string>(),
                            v["image_url_2x"].is_string() ? v["image_url_2x"].get<std::string>() : "", false};
            sets.badges[key_part(set["set_id"].get<std::string>()) + "/" + key_part(v["id"].get<std::string>())] =
                std::move(src);
        }
    }
    co_return sets;
}

outbound::awaitable<std::optional<ImageSource>> BadgeBook::look_up(const std::string& room, const std::string& badge) {
    auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = lists_.find(room);
        if (it != lists_.end() && it->second.until > now) {
            auto b = it->second.badges.find(badge);
            co_return b == it->second.badges.end() ? std::nullopt : std::optional<ImageSource>(b->second);
        }
    }
    std::optional<Sets> sets = co_await ask_helix(room);
    double keep = sets ? BADGE_REFRESH_S : BADGE_RETRY_S;  // a failure is remembered too, for a minute
    if (!sets) sets.emplace();
    sets->until = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                         std::chrono::duration<double>(keep));
    std::optional<ImageSource> found;
    if (auto b = sets->badges.find(badge); b != sets->badges.end()) found = b->second;
    std::lock_guard<std::mutex> lock(mutex_);
    if (lists_.size() >= BADGE_MAX_ROOMS && !lists_.count(room)) {  // many channels asked for: the stalest goes
        auto stalest = lists_.begin();
        for (auto it = lists_.begin(); it != lists_.end(); ++it)
            if (it->second.until < stalest->second.until) stalest = it;
        lists_.erase(stalest);
    }
    lists_[room] = std::move(*sets);
    co_return found;
}

outbound::awaitable<std::optional<ImageSource>> BadgeBook::find(std::string set, std::string version, std::string room) {
    if (!has_app()) co_return std::nullopt;
    std::string badge = set + "/" + version;
    if (!room.empty()) {
        std::optional<ImageSource> own = co_await look_up(room, badge);
        if (own) co_return own;
    }
    co_return co_await look_up("", badge);
}
