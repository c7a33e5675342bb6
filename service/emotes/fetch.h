// Keeps a Twitch bridge's third-party emote sets (sets.h) fresh: 7TV's,
// BetterTTV's and FrankerFaceZ's global sets and the sets of every channel
// whose user id (the room-id tag) the bridge has learned, fetched at start,
// a channel's as soon as its id is learned, and all again every
// EMOTE_REFRESH_S. Each emote's image URLs go to the ImageCatalog.
//
// A failed or refused answer (a network fault, a status other than 200, not
// the provider's shape, a body over EMOTE_ANSWER_MAX_BYTES, more than
// EMOTE_SET_MAX emotes) keeps the last good set and prints one line to stderr.
// A channel the provider does not know (404) has an empty set.
//
// Threads: everything runs on the bridge's thread, inside its event loop:
// run() is spawned there, add_room() is called there (by the chat commands).
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>

#include "core/options.h"
#include "emotes/sets.h"
#include "outbound/https_client.h"

namespace emotes {

inline constexpr double EMOTE_REFRESH_S = 600;    // every set fetched again this often
inline constexpr double EMOTE_ANSWER_TIMEOUT_S = 20;  // one answer, headers and body

class EmoteFetcher {
public:
    // tls: the bridge's client context (its --tls-ca too); catalog may be nullptr.
    EmoteFetcher(EmoteOptions options, std::shared_ptr<boost::asio::ssl::context> tls, ImageCatalog* catalog,
                 EmoteSets& sets);
    ~EmoteFetcher();
    // The fetcher's whole life on the loop that awaits it; a stop of that loop ends it.
    outbound::awaitable<void> run();
    // A channel's Twitch user id (digits) from its tags: fetched at once the first time.
    void add_room(const std::string& room);

private:
    struct Provider;
    outbound::awaitable<void> fetch(Provider& p, const std::string& room);
    outbound::awaitable<void> fetch_rooms(std::vector<Provider>& providers, std::set<std::string> rooms);

    EmoteOptions options_;
    std::shared_ptr<boost::asio::ssl::context> tls_;
    ImageCatalog* catalog_;
    EmoteSets& sets_;
    std::set<std::string> rooms_;    // every room learned
    std::set<std::string> pending_;  // learned, not fetched yet
    // run()'s wait, which add_room cuts short; nullptr outside run(). The timer and
    // the connections live in run()'s frame: they must go with the loop they use.
    boost::asio::steady_timer* wake_ = nullptr;
};

}  // namespace emotes
