// Reading YouTube Data API v3 answers (see api.h).
#include "bridges/youtube/api.h"

#include "bridges/json_depth.h"

#include <algorithm>
#include <climits>

#include <nlohmann/json.hpp>

namespace bridges {

using nlohmann::json;

namespace {

// The answer as an object, or why not.
bool parse_object(const std::string& body, json* out, std::string* error) {
    if (body.size() > YT_MAX_BODY_BYTES) *error = "an answer over " + std::to_string(YT_MAX_BODY_BYTES) + " bytes";
    else if (json_too_deep(body, YT_MAX_DEPTH)) *error = "an answer nested too deep";
    else if (*out = json::parse(body, nullptr, false); !out->is_object()) *error = "an answer that is not a JSON object";
    else return true;
    return false;
}

const json* member(const json& j, const char* key) {
    if (!j.is_object()) return nullptr;
    auto it = j.find(key);
    return it == j.end() ? nullptr : &*it;
}

// j[key] when it is a string of at most max bytes; "" otherwise.
std::string string_at(const json& j, const char* key, size_t max) {
    const json* v = member(j, key);
    if (!v || !v->is_string() || v->get_ref<const std::string&>().size() > max) return "";
    return v->get<std::string>();
}

bool bool_at(const json& j, const char* key) {
    const json* v = member(j, key);
    return v && v->is_boolean() && v->get<bool>();
}

// A whole number given as a JSON number or a decimal string (the API sends
// int64 fields as strings); fallback when absent, fractional or out of range.
int64_t whole_at(const json& j, const char* key, int64_t fallback) {
    const json* v = member(j, key);
    if (!v) return fallback;
    if (v->is_number_integer()) {
        if (v->is_number_unsigned() && v->get<uint64_t>() > uint64_t(INT64_MAX)) return fallback;
        return v->get<int64_t>();
    }
    if (!v->is_string()) return fallback;
    const std::string& s = v->get_ref<const std::string&>();
    if (s.empty() || s.size() > 15) return fallback;
    int64_t n = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return fallback;
        n = n * 10 + (c - '0');
    }
    return n;
}

// The chat path refuses control characters: a line break is a space.
std::string one_line(std::string text) {
    for (char& c : text)
        if ((unsigned char)c < 0x20 || c == 0x7f) c = ' ';
    return text;
}

bool read_text(const json& snippet, const json& author, YtItem* item) {
    item->author_id = string_at(author, "channelId", YT_MAX_ID_BYTES);
    item->author_name = one_line(string_at(author, "displayName", YT_MAX_NAME_BYTES));
    std::string text = string_at(snippet, "displayMessage", YT_MAX_TEXT_BYTES);
    if (text.empty())
        if (const json* d = member(snippet, "textMessageDetails")) text = string_at(*d, "messageText", YT_MAX_TEXT_BYTES);
    item->text = one_line(std::move(text));
    item->owner = bool_at(author, "isChatOwner");
    item->moderator = bool_at(author, "isChatModerator");
    item->member = bool_at(author, "isChatSponsor");
    item->verified = bool_at(author, "isVerified");
    return yt_id_ok(item->author_id) && !item->text.empty();
}

bool read_ban(const json& snippet, YtItem* item) {
    const json* d = member(snippet, "userBannedDetails");
    const json* who = d ? member(*d, "bannedUserDetails") : nullptr;
    if (!who) return false;
    item->target = string_at(*who, "channelId", YT_MAX_ID_BYTES);
    std::string type = string_at(*d, "banType", 64);
    if (type == "permanent") {
        item->ban_seconds = 0;
    } else if (type == "temporary") {
        // A time-out of nothing or past ten years is no time-out the API gives.
        item->ban_seconds = whole_at(*d, "banDurationSeconds", -1);
        if (item->ban_seconds <= 0 || item->ban_seconds > 315360000) return false;
    } else {
        return false;
    }
    return yt_id_ok(item->target);
}

// One item of a page into *item; false when it has the wrong shape.
bool read_item(const json& j, YtItem* item) {
    const json* snippet = member(j, "snippet");
    if (!snippet || !snippet->is_object()) return false;
    item->id = string_at(j, "id", YT_MAX_ID_BYTES);
    std::string type = string_at(*snippet, "type", 64);
    if (type == "chatEndedEvent") {
        item->kind = YtItem::Ended;
        return true;
    }
    if (!yt_id_ok(item->id)) return false;
    if (type == "textMessageEvent") {
        item->kind = YtItem::Text;
        const json* author = member(j, "authorDetails");
        return author && read_text(*snippet, *author, item);
    }
    if (type == "messageDeletedEvent") {
        item->kind = YtItem::Deleted;
        const json* d = member(*snippet, "messageDeletedDetails");
        item->target = d ? string_at(*d, "deletedMessageId", YT_MAX_ID_BYTES) : "";
        return yt_id_ok(item->target);
    }
    if (type == "userBannedEvent") {
        item->kind = YtItem::Banned;
        return read_ban(*snippet, item);
    }
    item->kind = YtItem::Other;  // super chats, polls, ...: not chat text here
    return !type.empty();
}

}  // namespace

bool yt_id_ok(const std::string& s) {
    if (s.empty() || s.size() > YT_MAX_ID_BYTES) return false;
    for (unsigned char c : s)
        if (c <= 0x20 || c >= 0x7f) return false;
    return true;
}

bool yt_parse_messages(const std::string& body, YtPage* out, std::string* error) {
    *out = YtPage{};
    json j;
    if (!parse_object(body, &j, error)) return false;
    out->next_page_token = string_at(j, "nextPageToken", YT_MAX_ID_BYTES);
    if (!yt_id_ok(out->next_page_token)) {
        *error = "a chat page without a usable nextPageToken";
        return false;
    }
    int64_t ms = whole_at(j, "pollingIntervalMillis", -1);
    out->poll_ms = ms < 0 ? YT_DEFAULT_POLL_MS : std::clamp(ms, YT_MIN_POLL_MS, YT_MAX_POLL_MS);
    const json* items = member(j, "items");
    if (!items) return true;
    if (!items->is_array()) {
        *error = "a chat page whose items are not a list";
        return false;
    }
    for (const json& i : *items) {
        YtItem item;
        if (out->items.size() < YT_MAX_ITEMS && read_item(i, &item)) out->items.push_back(std::move(item));
        else ++out->malformed;
    }
    return true;
}

bool yt_parse_playlist(const std::string& body, std::vector<std::string>* videos, std::string* error) {
    videos->clear();
    json j;
    if (!parse_object(body, &j, error)) return false;
    const json* items = member(j, "items");
    if (!items || !items->is_array()) {
        *error = "a playlist answer without items";
        return false;
    }
    for (const json& i : *items) {
        const json* details = member(i, "contentDetails");
        std::string id = details ? string_at(*details, "videoId", YT_MAX_ID_BYTES) : "";
        if (yt_id_ok(id) && videos->size() < YT_PLAYLIST_VIDEOS) videos->push_back(id);
    }
    return true;
}

bool yt_parse_videos(const std::string& body, std::string* chat_id, std::string* error) {
    chat_id->clear();
    json j;
    if (!parse_object(body, &j, error)) return false;
    const json* items = member(j, "items");
    if (!items || !items->is_array()) {
        *error = "a videos answer without items";
        return false;
    }
    for (const json& i : *items) {
        const json* live = member(i, "liveStreamingDetails");
        if (!live || member(*live, "actualEndTime")) continue;
        std::string id = string_at(*live, "activeLiveChatId", YT_MAX_ID_BYTES);
        if (yt_id_ok(id)) {
            *chat_id = id;
            return true;
        }
    }
    return true;
}

YtError yt_parse_error(const std::string& body) {
    YtError e;
    json j;
    std::string ignored;
    if (!parse_object(body, &j, &ignored)) return e;
    const json* err = member(j, "error");
    if (!err) return e;
    e.message = one_line(string_at(*err, "message", 300));
    const json* list = member(*err, "errors");
    if (list && list->is_array() && !list->empty()) e.reason = string_at((*list)[0], "reason", 64);
    return e;
}

}  // namespace bridges
