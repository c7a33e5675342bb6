// Reading Matrix /sync answers (client-server API v3) for the Matrix bridge:
// the text messages and redactions of the configured rooms, and the members'
// display names they are shown with. Pure: no sockets, no store; the bridge
// (matrix.cpp) stores what this returns.
//
// Threads: a MatrixNames belongs to one bridge thread.
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace bridges {

inline constexpr size_t MATRIX_MAX_BODY_BYTES = 16u << 20;       // a larger /sync answer is dropped
inline constexpr size_t MATRIX_MAX_DEPTH = 64;                   // JSON nesting; a real answer nests about 8
inline constexpr size_t MATRIX_MAX_TOKEN_BYTES = 4096;           // next_batch, sent back in the next URL
inline constexpr size_t MATRIX_MAX_MEMBERS_PER_ROOM = 100000;    // display names kept per room

// Display names of the configured rooms' members, from m.room.member events:
// room id -> user id -> name. A user without an entry is shown by localpart.
struct MatrixNames {
    std::map<std::string, std::unordered_map<std::string, std::string>> rooms;
};

// One thing to do with the store, in the order the homeserver gave them.
struct MatrixEvent {
    enum Kind { Text, Redaction } kind = Text;
    std::string room;      // room id (!abc:server)
    std::string event_id;  // the message's id, or for a redaction the redacted event's id
    std::string sender;    // @name:server (Text only)
    std::string name;      // the sender's display name then, or their localpart (Text only)
    std::string text;      // body with controls as spaces, without a reply's quote (Text only)
};

struct MatrixSync {
    std::string next_batch;            // the token to resume from
    std::vector<MatrixEvent> events;   // texts and redactions of the configured rooms
    std::vector<std::string> gaps;     // configured rooms whose timeline was cut (limited): older events not read
    std::vector<std::string> encrypted;  // configured rooms seen turning end-to-end encrypted (unreadable here)
    size_t malformed = 0;              // events or blocks of the wrong shape, skipped
};

// Reads one /sync answer body: the joined configured rooms' member events update
// names (state first, then the timeline in order), their m.text messages and
// redactions go to out->events. Edits (m.replace) are skipped: the first text
// stays. false and *error when the answer is unusable (not JSON, too deep, not
// an object, no next_batch string of printable ASCII within its bound).
bool matrix_parse_sync(const std::string& body, const std::set<std::string>& rooms, MatrixNames& names,
                       MatrixSync* out, std::string* error);

// The room ids of a /joined_rooms answer; false when it is not one.
bool matrix_parse_joined(const std::string& body, std::set<std::string>* joined);

// The errcode and error of a Matrix error answer ("" when absent), and its
// retry_after_ms (-1 when absent).
struct MatrixError {
    std::string code, message;
    long long retry_after_ms = -1;
};
MatrixError matrix_parse_error(const std::string& body);

// "@name:server" -> "name"; the id itself when it has no such form.
std::string matrix_localpart(const std::string& user_id);

// The filter sent with every /sync (JSON text): only the rooms given, only
// messages, redactions, members and encryption, each timeline sender's member
// event with it.
std::string matrix_sync_filter(const std::set<std::string>& rooms);

}  // namespace bridges
