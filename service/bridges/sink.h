// Where a bridge puts what it reads: the same checks, limits, word filter, bans
// and retention as a message sent to /api/ingest, with the platform's own message
// id kept so that a replay is never stored twice and the platform's moderation
// can reach the message.
//
// Threads: any; the store and the limiter lock for themselves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bridges/bridge.h"

namespace bridges {

struct ChatMessage {
    std::string platform;     // "twitch", "matrix", "discord", "kick"
    std::string channel;      // where it was said: "#chan", a room id, a channel id
    std::string external_id;  // the platform's id of the message
    std::string sender_id;    // the platform's id of the sender
    std::string sender_name;  // the name the platform shows (the service shows it by its name rule)
    std::string text;         // cut to the service's bound
    std::string sender_handle;  // the platform's unique name of the sender, shown marked when
                                // sender_name is refused: Twitch login, Discord username, Matrix user id
    ChatLook look;              // colour, badges and emote spans over text (the chat path fits them)
};

// Stores m (or says why not) and counts it in report.
Outcome store_chat(ServiceCore& s, BridgeReport& report, const ChatMessage& m);

// The platform's moderation, logged as done by the platform ("twitch", ...).
// A message deleted on the platform; false when it is not stored here.
bool delete_chat(ServiceCore& s, BridgeReport& report, const std::string& platform, const std::string& external_id);
// A sender banned (seconds 0) or timed out for seconds on the platform: their
// messages are hidden, and new ones refused, for that long.
void ban_sender(ServiceCore& s, BridgeReport& report, const std::string& platform, const std::string& sender_id,
                int64_t seconds);
// Every message of a channel so far taken down (the platform's chat was cleared).
int64_t clear_channel(ServiceCore& s, BridgeReport& report, const std::string& platform, const std::string& channel);

// State that outlives a restart (Matrix's since token, Discord's session, ...).
std::optional<std::string> load_state(ServiceCore& s, const std::string& key);
void save_state(ServiceCore& s, const std::string& key, const std::string& value);

}  // namespace bridges
