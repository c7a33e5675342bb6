// Live notices that follow Twitch (live_follow.cpp): a bridge-like poller of
// Helix's /streams that keeps ServiceCore::live_now, shown on the bridges' table
// as "twitch-live" with its state, errors, back-off and a details line.
#pragma once

#include <memory>
#include <set>
#include <string>

#include "bridges/bridge.h"

namespace bridges {

// The follower of s.options.live's logins (made by make_bridges when any are set).
std::unique_ptr<Bridge> make_live_follow(ServiceCore& s);

// The logins (lower-cased) that a /streams answer lists live, added to *live;
// false when the answer has no data list. Any other shape of an entry is skipped.
bool live_streams_parse(const std::string& body, std::set<std::string>* live);

}  // namespace bridges
