// Reading YouTube Data API v3 answers for the YouTube bridge: the uploads
// playlist's latest videos, which of them is live with a chat, a page of live
// chat messages and an error's reason. Pure: no sockets, no store; the bridge
// (youtube.cpp) calls, and chat.cpp applies what a page says.
//
// Every answer is bounded (body, nesting, items, strings); a wrong shape is
// skipped and counted, never trusted.
//
// Threads: pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bridges {

inline constexpr size_t YT_MAX_BODY_BYTES = 2u << 20;     // a larger answer is a fault, not an answer
inline constexpr size_t YT_MAX_DEPTH = 32;                // JSON nesting; a real answer nests about 6
inline constexpr size_t YT_MAX_ITEMS = 2000;              // messages read of one page (the API's most)
inline constexpr size_t YT_MAX_ID_BYTES = 256;            // ids and page tokens sent back in URLs
inline constexpr size_t YT_MAX_NAME_BYTES = 512;          // a display name before the chat path's own bound
inline constexpr size_t YT_MAX_TEXT_BYTES = 8192;         // a message before the chat path's own bound
inline constexpr size_t YT_PLAYLIST_VIDEOS = 5;           // the uploads looked at for a live one
inline constexpr int64_t YT_DEFAULT_POLL_MS = 5000;       // when an answer gives no usable interval
inline constexpr int64_t YT_MIN_POLL_MS = 1000;           // a smaller asked interval is taken as this
inline constexpr int64_t YT_MAX_POLL_MS = 60000;          // a larger one as this (a chat is not left that long)

// One item of a liveChatMessages page, as far as the bridge uses it.
struct YtItem {
    enum Kind { Text, Deleted, Banned, Ended, Other } kind = Other;
    std::string id;           // the message's id
    std::string author_id;    // authorDetails.channelId (Text)
    std::string author_name;  // authorDetails.displayName (Text)
    std::string text;         // displayMessage, or textMessageDetails.messageText (Text)
    bool owner = false, moderator = false, member = false, verified = false;  // authorDetails' flags (Text)
    std::string target;       // Deleted: the deleted message's id; Banned: the banned channel id
    int64_t ban_seconds = 0;  // Banned: 0 permanent, else the time-out's length
};

struct YtPage {
    std::string next_page_token;  // "" when the answer gave none
    int64_t poll_ms = YT_DEFAULT_POLL_MS;  // the wait before the next call, clamped to [MIN, MAX]
    std::vector<YtItem> items;    // in the answer's order, only well-formed ones
    size_t malformed = 0;         // items of the wrong shape (or past YT_MAX_ITEMS), skipped
};

// A liveChatMessages.list answer; false and *error when it is unusable (not
// JSON, too deep or large, not an object, no usable nextPageToken).
bool yt_parse_messages(const std::string& body, YtPage* out, std::string* error);

// The video ids of a playlistItems.list answer (contentDetails.videoId), at most
// YT_PLAYLIST_VIDEOS; false when the answer is not one.
bool yt_parse_playlist(const std::string& body, std::vector<std::string>* videos, std::string* error);

// The live chat of a videos.list?part=liveStreamingDetails answer: the first
// video with an activeLiveChatId and no actualEndTime; "" in *chat_id when none
// is live. false when the answer is not one.
bool yt_parse_videos(const std::string& body, std::string* chat_id, std::string* error);

// An error answer's error.errors[0].reason and error.message ("" when absent).
struct YtError {
    std::string reason, message;
};
YtError yt_parse_error(const std::string& body);

// Whether s may be sent back in a URL or kept as an id: 1 to YT_MAX_ID_BYTES of
// printable ASCII without spaces (page tokens, video, chat, message and channel
// ids); each is percent-encoded when sent.
bool yt_id_ok(const std::string& s);

}  // namespace bridges
