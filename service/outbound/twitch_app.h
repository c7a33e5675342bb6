// A Twitch app's own token (OAuth client credentials): what Helix wants from a
// service that acts for nobody in particular (badge lists, who is live). One
// TwitchAppToken is shared by all who call Helix with that app, so a token is
// asked for once, kept until shortly before it expires, and asked for again
// when Helix refuses it (401).
//
// Threads: any number of coroutines on any event loops may await token() at
// once; one lock guards the kept token, never held across a wait (two callers
// that find no token may both ask; the later answer is kept).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <boost/asio/ssl.hpp>

#include "outbound/loop.h"

namespace bridges {

inline constexpr double TWITCH_APP_CALL_TIMEOUT_S = 10;   // the token endpoint's answer
inline constexpr double TWITCH_APP_EARLY_S = 300;         // a token is renewed this long before it expires

class TwitchAppToken {
public:
    // id_base: Twitch's OAuth server (https://id.twitch.tv; http:// only on this machine);
    // tls: for an https base (nullptr: only a loopback http base can be asked).
    TwitchAppToken(std::string id_base, std::string client_id, std::string secret,
                   std::shared_ptr<boost::asio::ssl::context> tls);
    bool configured() const { return !client_id_.empty() && !secret_.empty(); }
    const std::string& client_id() const { return client_id_; }
    // The kept token, or a new one when none is kept or it is about to expire;
    // "" when the endpoint refused or could not be reached (*error says why).
    outbound::awaitable<std::string> token(std::string* error);
    // Helix refused `used` (401): it is forgotten, so the next token() asks anew.
    void refused(const std::string& used);
    int64_t grants() const;  // tokens received since start (the streamer's page, tests)

private:
    outbound::awaitable<std::string> ask(std::string* error);  // POST /oauth2/token

    std::string id_base_, client_id_, secret_;
    std::shared_ptr<boost::asio::ssl::context> tls_;
    mutable std::mutex mutex_;                         // guards what follows
    std::string token_;                                // "" before the first, or after a refusal
    std::chrono::steady_clock::time_point renew_at_;   // when token_ is to be replaced
    int64_t grants_ = 0;
};

}  // namespace bridges
