// What the Twitch bridge does with the chat lines it reads: PRIVMSG stored with
// its look (look.h), CLEARMSG and CLEARCHAT applied as Twitch's own moderation,
// ROOMSTATE's room id learned; and how it speaks of lines it drops without
// flooding the log. The connection itself is twitch.cpp.
//
// Threads: everything here runs on the bridge's own thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bridges/bridge.h"
#include "bridges/twitch/irc.h"
#include "emotes/sets.h"

struct ServiceCore;

namespace bridges {

// Dropped lines and refused commands: each one goes to the report (counted, the
// last one shown); stderr gets at most one line of each kind a minute.
class TwitchDiagnostics {
public:
    explicit TwitchDiagnostics(BridgeReport& report) : report_(report) {}
    void note(const std::string& kind, const std::string& message);

private:
    BridgeReport& report_;
    std::map<std::string, std::chrono::steady_clock::time_point> printed_;  // kind -> last stderr line
};

struct TwitchChat {
    ServiceCore* service = nullptr;                // where messages go (sink.h)
    BridgeReport* report = nullptr;            // the bridge's report
    TwitchDiagnostics* diagnostics = nullptr;  // the bridge's diagnostics
    std::vector<std::string> channels;         // "#chan", lower case: lines of other channels are ignored
    // A message without Twitch's "id" tag (a plain IRC server) gets local_id_prefix
    // and a count as its id: unique across runs, though a plain server never replays.
    std::string local_id_prefix;
    uint64_t local_ids = 0;
    const emotes::EmoteSets* emotes = nullptr;  // third-party emotes; nullptr when off
    // Called when a channel's Twitch user id (the room-id tag) is first seen or
    // changes: its third-party emote sets are fetched then.
    std::function<void(const std::string& room)> on_room;
    std::map<std::string, std::string> rooms;  // "#chan" -> its room id, once learned
};

// Applies m when it is one of the chat commands (PRIVMSG, CLEARMSG, CLEARCHAT,
// ROOMSTATE); false when it is not one of them.
bool twitch_chat_apply(TwitchChat& chat, const IrcMessage& m);

// A Twitch channel name as given ("Chan", "#chan") into "#chan"; "" when it is not
// one (1 to 25 of a-z, 0-9, '_'): anything else could smuggle IRC commands.
std::string twitch_channel_name(const std::string& given);

}  // namespace bridges
