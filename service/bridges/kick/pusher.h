// Kick's chat as its web client reads it, without the socket: the Pusher
// protocol (version 7) frames the bridge sends and reads, and the chat events
// inside them (a message, a deletion, a ban or time-out, a cleared chat). The
// transport (kick.cpp) owns the connection and calls these.
//
// A Pusher frame is {"event", "channel", "data"} where "data" is itself JSON
// text (a string) for every event Kick sends; an object is taken as well.
//
// Threads: pure functions of their arguments; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridges/sink.h"

namespace bridges {

inline constexpr size_t KICK_MAX_FRAME_BYTES = 1 << 20;        // a larger frame ends the connection
inline constexpr size_t KICK_MAX_CONTENT_BYTES = 8 * 1024;      // a message's content read; the chat path cuts further
inline constexpr size_t KICK_MAX_EMOTE_ID_DIGITS = 20;          // an emote id fits uint64
inline constexpr size_t KICK_MAX_EMOTE_NAME_BYTES = 64;         // a longer "name" is no emote token
inline constexpr int KICK_EMOTE_PX = 28;                        // a line of chat, as a Twitch emote's 1x
inline constexpr int64_t KICK_MIN_ACTIVITY_S = 1;               // connection_established's activity_timeout
inline constexpr int64_t KICK_MAX_ACTIVITY_S = 600;             //   is held inside these
inline constexpr int64_t KICK_DEFAULT_ACTIVITY_S = 120;         // Pusher's own, when none is given

// One frame read from Pusher, its fields checked for type.
struct PusherFrame {
    std::string event;    // "pusher:ping", "App\\Events\\ChatMessageEvent", ...
    std::string channel;  // "chatrooms.ID.v2"; "" when absent
    nlohmann::json data;  // the payload parsed (an object, usually); null when absent
};

// What a Pusher error or close code asks of the client (the protocol's ranges).
enum class PusherNext {
    Fail,     // 4000-4099: do not come back with the same settings
    Backoff,  // 4100-4199 (and anything else): come back after a wait
    AtOnce,   // 4200-4299: come back now
};

// A chat event of a chatroom we read.
struct KickEvent {
    enum class Kind {
        Message,   // message is filled
        Deleted,   // id: the deleted message's id
        Banned,    // id: the sender; seconds: 0 for good, else the time-out's length
        Cleared,   // chatroom: its chat was cleared
        Ignored,   // another chatroom, or an event the bridge does not use
        Malformed  // wrong shape: why says what
    } kind = Kind::Ignored;
    ChatMessage message;
    std::string id;
    std::string chatroom;
    int64_t seconds = 0;
    std::string why;
};

// The frames the bridge sends, as JSON text.
std::string kick_subscribe(const std::string& chatroom);  // channel chatrooms.<ID>.v2, no auth (public)
std::string kick_ping();
std::string kick_pong();

// "chatrooms.<ID>.v2" for chatroom ID; the chatroom of such a channel name, "" for any other.
std::string kick_channel(const std::string& chatroom);
std::string kick_chatroom_of(const std::string& channel);
// Whether id is a chatroom id we accept: 1 to 20 digits.
bool kick_chatroom_valid(const std::string& id);

// Parses one text frame; false and *error when it is not an object with a string
// "event", or its "data" is a string that is not JSON.
bool kick_parse_frame(const std::string& text, PusherFrame* out, std::string* error);
// connection_established's activity_timeout in seconds, held between the bounds.
int64_t kick_activity_timeout(const nlohmann::json& data);
// pusher:error's code, when it has an integer one.
std::optional<int64_t> kick_error_code(const nlohmann::json& data);
// What an error or close code asks for; *reason says it for the streamer.
PusherNext kick_next_after(int64_t code, std::string* reason);

// The chat event in frame f when its channel is one of chatrooms.
KickEvent kick_event(const PusherFrame& f, const std::vector<std::string>& chatrooms, int64_t now_unix_s);

// content with each "[emote:ID:NAME]" token made NAME, into *text (one line, cut
// to KICK_MAX_CONTENT_BYTES), and a span (key kick-ID) over each NAME, at most
// LOOK_MAX_IMAGES of them; a malformed token stays text as it came.
std::vector<EmoteSpan> kick_emotes(const std::string& content, std::string* text);
// An ISO 8601 time ("2026-12-09T18:30:00.000000Z", "...+00:00") as Unix seconds.
std::optional<int64_t> kick_parse_time(const std::string& iso);

}  // namespace bridges
