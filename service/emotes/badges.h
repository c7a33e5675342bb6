// Twitch badges (keys badge-SET-VERSION[-ROOM], see image_key.h): with a
// Twitch app configured (the sign-in's client id and secret), Helix's images,
// asked for with an app token (client credentials) and kept an hour; else,
// and for a badge Helix does not know, marks of our own for the four sets
// every channel has (broadcaster, moderator, vip, subscriber).
//
// Threads: BadgeBook::find runs on the event loop of the thread that awaits
// it (any number at once); one lock guards the token and the kept answers,
// never held across a wait.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <boost/asio/ssl.hpp>

#include "core/options.h"
#include "emotes/image_key.h"
#include "outbound/loop.h"
#include "outbound/twitch_app.h"

inline constexpr double BADGE_REFRESH_S = 3600;    // seconds Helix's badge lists are kept
inline constexpr double BADGE_RETRY_S = 60;        // seconds before asking again after Helix failed
inline constexpr double BADGE_CALL_TIMEOUT_S = 10;  // each call to Helix or the token endpoint
inline constexpr int BADGE_SIDE_PX = 18;           // a badge at 1x; 36 at 2x

class BadgeBook {
public:
    // app: the sign-in's Twitch app's token (shared with the live follower); tls: for https bases.
    BadgeBook(std::shared_ptr<bridges::TwitchAppToken> app, std::string helix_api,
              std::shared_ptr<boost::asio::ssl::context> tls);
    bool has_app() const { return app_ && app_->configured(); }
    // Helix's images for set/version, a channel's own (room not "") before the global
    // one; nullopt when Helix does not know it or cannot be asked.
    outbound::awaitable<std::optional<ImageSource>> find(std::string set, std::string version, std::string room);

private:
    struct Sets {
        std::chrono::steady_clock::time_point until;  // when to ask again
        std::map<std::string, ImageSource> badges;    // "set/version" -> images
    };
    outbound::awaitable<std::optional<Sets>> ask_helix(const std::string& room);  // one list ("" = global)
    outbound::awaitable<std::optional<ImageSource>> look_up(const std::string& room, const std::string& badge);

    std::shared_ptr<bridges::TwitchAppToken> app_;  // never nullptr
    std::string helix_api_;
    std::shared_ptr<boost::asio::ssl::context> tls_;
    std::mutex mutex_;              // guards lists_
    std::map<std::string, Sets> lists_;  // room ("" = global) -> its badges
};

// Our own mark for set at scale (1 or 2) as a PNG; "" for a set without one.
std::string badge_mark_png(const std::string& set, int scale);
