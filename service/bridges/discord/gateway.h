// Discord's gateway protocol without the socket: where to connect, what to send
// (Identify, Resume, Heartbeat), what a received frame is, which close codes
// end the bridge for good, and the chat messages and deletions inside dispatches.
// The transport (discord.cpp) owns the connection and calls these.
//
// Threads: pure functions of their arguments (and of the GatewaySession they are
// handed); any thread, one session per thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridges/sink.h"

namespace bridges {

inline constexpr int DISCORD_INTENT_GUILD_MESSAGES = 1 << 9;
inline constexpr int DISCORD_INTENT_MESSAGE_CONTENT = 1 << 15;  // privileged: else "content" arrives empty
inline constexpr int DISCORD_INTENTS = DISCORD_INTENT_GUILD_MESSAGES | DISCORD_INTENT_MESSAGE_CONTENT;
inline constexpr size_t DISCORD_MAX_FRAME_BYTES = 1 << 20;     // a larger frame ends the connection
inline constexpr int64_t DISCORD_MIN_HEARTBEAT_MS = 100;       // Hello's interval is held inside these
inline constexpr int64_t DISCORD_MAX_HEARTBEAT_MS = 10 * 60 * 1000;

// Gateway opcodes the bridge meets.
enum DiscordOp {
    DISCORD_OP_DISPATCH = 0,
    DISCORD_OP_HEARTBEAT = 1,
    DISCORD_OP_IDENTIFY = 2,
    DISCORD_OP_RESUME = 6,
    DISCORD_OP_RECONNECT = 7,
    DISCORD_OP_INVALID_SESSION = 9,
    DISCORD_OP_HELLO = 10,
    DISCORD_OP_HEARTBEAT_ACK = 11,
};

// A wss:// address split for the connection.
struct GatewayUrl {
    std::string host;    // name or address, without brackets
    std::string port;    // "443" when the URL gives none
    std::string target;  // path and query, "/" at least
    std::string host_header() const;  // host[:port] as the Host header wants it
};

// What survives a connection and lets the next one Resume instead of Identify.
struct GatewaySession {
    std::string session_id;  // from READY; "" = none, the next connection Identifies
    std::string resume_url;  // wss:// from READY with the gateway's query; "" = none
    int64_t seq = -1;        // the last "s" seen; -1 = none yet (null in a heartbeat)
    bool resumable() const { return !session_id.empty(); }
    void forget() { *this = GatewaySession{}; }
};

// One frame read from the gateway, with its fields checked for type.
struct GatewayFrame {
    int64_t op = -1;              // the opcode
    std::optional<int64_t> seq;   // "s" when it is a non-negative integer
    std::string event;            // "t" for dispatches ("" when absent or not a string)
    nlohmann::json d;             // the payload, any JSON value
};

// What the bridge does after a close code.
enum class CloseAction {
    Resume,    // reconnect and Resume (or Identify when no session is kept)
    Identify,  // reconnect and start a fresh session
    Fail,      // a setting is wrong: report it and stop reconnecting
};

// Splits a wss:// URL; false and *error for any other scheme or a malformed one.
bool discord_parse_url(const std::string& url, GatewayUrl* out, std::string* error);
// The resume_gateway_url of READY made usable: the configured gateway's query
// ("?v=10&encoding=json") added when it has none; "" when it is not a wss:// URL.
std::string discord_resume_url(const std::string& ready_url, const std::string& gateway_url);

// The payloads the bridge sends, as JSON text.
std::string discord_identify(const std::string& token);
std::string discord_resume(const std::string& token, const GatewaySession& session);
std::string discord_heartbeat(const GatewaySession& session);

// Parses one text frame; false and *error when it is not a JSON object with an integer "op".
bool discord_parse_frame(const std::string& text, GatewayFrame* out, std::string* error);
// Hello's heartbeat_interval in milliseconds, held between the bounds; nullopt when absent.
std::optional<int64_t> discord_hello_interval(const nlohmann::json& d);
// READY's session id and resume URL into *session; false when they are missing.
bool discord_ready(const nlohmann::json& d, const std::string& gateway_url, GatewaySession* session);

// What became of a MESSAGE_CREATE.
enum class DiscordMessageKind {
    Chat,       // a member's message in a channel we read: *out is filled
    Ignored,    // another channel, a bot's or a webhook's message
    Malformed,  // wrong shape: *why says what
};
DiscordMessageKind discord_message(const nlohmann::json& d, const std::vector<std::string>& channels, ChatMessage* out,
                                   std::string* why);
// Custom emoji in a message's text: each "<:name:id>" (key dc-ID) and "<a:name:id>"
// (animated, dca-ID) token as a span over the whole token, DISCORD_EMOJI_PX square.
// Unicode emoji stay text.
inline constexpr int DISCORD_EMOJI_PX = 28;  // a line of chat, as a Twitch emote's 1x
std::vector<EmoteSpan> discord_emoji(const std::string& text);
// MESSAGE_DELETE's message id, when it is in a channel we read.
std::optional<std::string> discord_deleted(const nlohmann::json& d, const std::vector<std::string>& channels);
// MESSAGE_DELETE_BULK's message ids (the strings among them), when in a channel we read.
std::vector<std::string> discord_deleted_bulk(const nlohmann::json& d, const std::vector<std::string>& channels);

// The close code's consequence, and for Fail the reason to show the streamer.
CloseAction discord_close_action(int code, std::string* reason);

}  // namespace bridges
