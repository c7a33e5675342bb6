// Kick's chat over Pusher without the socket (see pusher.h).
#include "bridges/kick/pusher.h"

#include <algorithm>
#include <ctime>

#include "chat/look.h"

namespace bridges {

using nlohmann::json;

namespace {

const char* const EVENT_MESSAGE = "App\\Events\\ChatMessageEvent";
const char* const EVENT_DELETED = "App\\Events\\MessageDeletedEvent";
const char* const EVENT_BANNED = "App\\Events\\UserBannedEvent";
const char* const EVENT_CLEARED = "App\\Events\\ChatroomClearEvent";

const json* field(const json& j, const char* key) {
    if (!j.is_object()) return nullptr;
    auto it = j.find(key);
    return it == j.end() ? nullptr : &*it;
}

std::string string_or_empty(const json& j, const char* key) {
    const json* v = field(j, key);
    return v && v->is_string() ? v->get<std::string>() : std::string();
}

bool all_digits(const std::string& s, size_t max) {
    if (s.empty() || s.size() > max) return false;
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A Kick id: a non-negative integer, or a string of digits; "" when neither.
std::string id_digits(const json* v) {
    if (!v) return "";
    if (v->is_number_unsigned()) return std::to_string(v->get<uint64_t>());
    if (v->is_number_integer() && v->get<int64_t>() >= 0) return std::to_string(v->get<int64_t>());
    if (v->is_string() && all_digits(v->get<std::string>(), 20)) return v->get<std::string>();
    return "";
}

// The chat page shows one line per message.
void one_line(std::string& text) {
    for (char& c : text)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
}

// s cut to at most max bytes without splitting a UTF-8 sequence.
std::string cut_utf8(const std::string& s, size_t max) {
    if (s.size() <= max) return s;
    size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

int64_t code_points(const std::string& s) {
    int64_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

// Kick's badge types that our own marks draw (emotes/badge_marks.cpp); the rest
// (og, founder, verified, sub_gifter, staff, ...) have no image we may show.
bool badge_drawn(const std::string& type) {
    return type == "broadcaster" || type == "moderator" || type == "vip" || type == "subscriber";
}

ChatLook look_of(const json& identity) {
    ChatLook look;
    look.color = string_or_empty(identity, "color");  // "#RRGGBB"; the chat path fits it for contrast
    const json* badges = field(identity, "badges");
    if (!badges || !badges->is_array()) return look;
    for (const json& b : *badges) {
        std::string type = string_or_empty(b, "type");
        if (!badge_drawn(type) || look.badges.size() >= 8) continue;
        const json* count = field(b, "count");
        std::string version = count && count->is_number_unsigned() && count->get<uint64_t>() < 10000
                                  ? std::to_string(count->get<uint64_t>())
                                  : "1";
        look.badges.push_back({type, version, chat_badge_key(type, "1", "")});
    }
    return look;
}

KickEvent malformed(std::string why) {
    KickEvent e;
    e.kind = KickEvent::Kind::Malformed;
    e.why = std::move(why);
    return e;
}

KickEvent chat_message(const json& d, const std::string& chatroom) {
    std::string id = string_or_empty(d, "id");
    const json* content = field(d, "content");
    const json* sender = field(d, "sender");
    std::string sender_id = sender ? id_digits(field(*sender, "id")) : "";
    if (id.empty() || id.size() > 128 || !content || !content->is_string() || sender_id.empty())
        return malformed("a ChatMessageEvent without id, content or sender.id");
    KickEvent e;
    e.kind = KickEvent::Kind::Message;
    ChatMessage& m = e.message;
    m.platform = "kick";
    m.channel = chatroom;
    m.external_id = id;
    m.sender_id = sender_id;
    m.sender_name = string_or_empty(*sender, "username");
    m.sender_handle = string_or_empty(*sender, "slug");
    const json* identity = field(*sender, "identity");
    if (identity) m.look = look_of(*identity);
    m.look.emotes = kick_emotes(content->get<std::string>(), &m.text);
    return e;
}

KickEvent user_banned(const json& d, int64_t now) {
    const json* user = field(d, "user");
    std::string id = user ? id_digits(field(*user, "id")) : "";
    if (id.empty()) return malformed("a UserBannedEvent without user.id");
    KickEvent e;
    e.kind = KickEvent::Kind::Banned;
    e.id = id;
    const json* permanent = field(d, "permanent");
    if (permanent && permanent->is_boolean() && permanent->get<bool>()) return e;  // seconds 0: for good
    std::optional<int64_t> until = kick_parse_time(string_or_empty(d, "expires_at"));
    const json* minutes = field(d, "duration");
    if (until) {
        e.seconds = std::max<int64_t>(1, *until - now);
    } else if (minutes && minutes->is_number_unsigned() && minutes->get<uint64_t>() > 0 &&
               minutes->get<uint64_t>() < 100LL * 365 * 24 * 60) {
        e.seconds = int64_t(minutes->get<uint64_t>()) * 60;
    } else if (!permanent) {
        return e;  // neither a time-out's end nor "permanent": a ban
    } else {
        return malformed("a UserBannedEvent time-out without expires_at");
    }
    return e;
}

// The part of [emote:ID:NAME] at text[at] ('['): the token's length, *id and *name; 0 when it is none.
size_t emote_token(const std::string& s, size_t at, std::string* id, std::string* name) {
    static const std::string open = "[emote:";
    if (s.compare(at, open.size(), open) != 0) return 0;
    size_t id_at = at + open.size();
    size_t colon = s.find(':', id_at);
    if (colon == std::string::npos || !all_digits(s.substr(id_at, colon - id_at), KICK_MAX_EMOTE_ID_DIGITS)) return 0;
    size_t close = s.find_first_of("[]", colon + 1);
    if (close == std::string::npos || s[close] != ']') return 0;
    size_t name_bytes = close - colon - 1;
    if (name_bytes == 0 || name_bytes > KICK_MAX_EMOTE_NAME_BYTES) return 0;
    *id = s.substr(id_at, colon - id_at);
    *name = s.substr(colon + 1, name_bytes);
    if (name->find_first_of(" :\n\r\t") != std::string::npos) return 0;
    return close - at + 1;
}

}  // namespace

std::string kick_channel(const std::string& chatroom) { return "chatrooms." + chatroom + ".v2"; }

std::string kick_chatroom_of(const std::string& channel) {
    const std::string head = "chatrooms.", tail = ".v2";
    if (channel.size() <= head.size() + tail.size() || channel.compare(0, head.size(), head) != 0 ||
        channel.compare(channel.size() - tail.size(), tail.size(), tail) != 0)
        return "";
    std::string id = channel.substr(head.size(), channel.size() - head.size() - tail.size());
    return kick_chatroom_valid(id) ? id : "";
}

bool kick_chatroom_valid(const std::string& id) { return all_digits(id, 20); }

std::string kick_subscribe(const std::string& chatroom) {
    return json{{"event", "pusher:subscribe"}, {"data", {{"auth", ""}, {"channel", kick_channel(chatroom)}}}}.dump();
}

std::string kick_ping() { return json{{"event", "pusher:ping"}, {"data", json::object()}}.dump(); }
std::string kick_pong() { return json{{"event", "pusher:pong"}, {"data", json::object()}}.dump(); }

bool kick_parse_frame(const std::string& text, PusherFrame* out, std::string* error) {
    // nlohmann parses and frees without recursion, so deep nesting costs no stack.
    json j = json::parse(text, nullptr, false);
    const json* event = field(j, "event");
    if (j.is_discarded() || !j.is_object() || !event || !event->is_string()) {
        *error = "a Pusher frame that is not a JSON object with a string event";
        return false;
    }
    PusherFrame f;
    f.event = event->get<std::string>();
    f.channel = string_or_empty(j, "channel");
    if (const json* data = field(j, "data")) {
        if (data->is_string()) {
            f.data = json::parse(data->get<std::string>(), nullptr, false);
            if (f.data.is_discarded()) {
                *error = "a Pusher frame (" + cut_utf8(f.event, 64) + ") whose data is not JSON";
                return false;
            }
        } else {
            f.data = std::move(*data);
        }
    }
    *out = std::move(f);
    return true;
}

int64_t kick_activity_timeout(const json& data) {
    const json* t = field(data, "activity_timeout");
    if (!t || !t->is_number()) return KICK_DEFAULT_ACTIVITY_S;
    double s = t->get<double>();
    if (!(s == s)) return KICK_DEFAULT_ACTIVITY_S;
    return int64_t(std::clamp(s, double(KICK_MIN_ACTIVITY_S), double(KICK_MAX_ACTIVITY_S)));
}

std::optional<int64_t> kick_error_code(const json& data) {
    const json* code = field(data, "code");
    if (!code || !code->is_number_integer()) return std::nullopt;
    if (code->is_number_unsigned() && code->get<uint64_t>() > 100000) return std::nullopt;
    return code->get<int64_t>();
}

PusherNext kick_next_after(int64_t code, std::string* reason) {
    std::string c = std::to_string(code);
    if (code >= 4000 && code <= 4099) {
        *reason = "Pusher refused the connection for good (code " + c + "): check --kick-pusher";
        return PusherNext::Fail;
    }
    if (code >= 4200 && code <= 4299) {
        *reason = "Pusher asked for a reconnect (code " + c + ")";
        return PusherNext::AtOnce;
    }
    if (code >= 4100 && code <= 4199) *reason = "Pusher asked to come back later (code " + c + ")";
    else *reason = "Pusher closed the connection (code " + c + ")";
    return PusherNext::Backoff;
}

KickEvent kick_event(const PusherFrame& f, const std::vector<std::string>& chatrooms, int64_t now_unix_s) {
    std::string chatroom = kick_chatroom_of(f.channel);
    if (chatroom.empty() || std::find(chatrooms.begin(), chatrooms.end(), chatroom) == chatrooms.end()) return {};
    if (!f.data.is_object()) {
        if (f.event == EVENT_MESSAGE || f.event == EVENT_DELETED || f.event == EVENT_BANNED)
            return malformed("a chat event whose data is not an object");
        if (f.event != EVENT_CLEARED) return {};
    }
    KickEvent e;
    if (f.event == EVENT_MESSAGE) {
        e = chat_message(f.data, chatroom);
    } else if (f.event == EVENT_DELETED) {
        const json* message = field(f.data, "message");
        std::string id = message ? string_or_empty(*message, "id") : "";
        if (id.empty() || id.size() > 128) return malformed("a MessageDeletedEvent without message.id");
        e.kind = KickEvent::Kind::Deleted;
        e.id = id;
    } else if (f.event == EVENT_BANNED) {
        e = user_banned(f.data, now_unix_s);
    } else if (f.event == EVENT_CLEARED) {
        e.kind = KickEvent::Kind::Cleared;
    }
    e.chatroom = chatroom;
    return e;
}

std::vector<EmoteSpan> kick_emotes(const std::string& content, std::string* text) {
    std::string in = cut_utf8(content, KICK_MAX_CONTENT_BYTES), out;
    one_line(in);
    out.reserve(in.size());
    std::vector<EmoteSpan> spans;
    int64_t cp = 0;  // code points in out
    for (size_t i = 0; i < in.size();) {
        std::string id, name;
        size_t token = in[i] == '[' ? emote_token(in, i, &id, &name) : 0;
        if (token == 0) {
            cp += (static_cast<unsigned char>(in[i]) & 0xC0) != 0x80;
            out += in[i++];
            continue;
        }
        int64_t length = code_points(name);
        if (spans.size() < LOOK_MAX_IMAGES)  // later ones stay their names, as text
            spans.push_back({cp, cp + length, "kick-" + id, KICK_EMOTE_PX, KICK_EMOTE_PX, false});
        out += name;
        cp += length;
        i += token;
    }
    *text = std::move(out);
    return spans;
}

std::optional<int64_t> kick_parse_time(const std::string& iso) {
    int y, mo, d, h, mi, s, used = 0;
    if (iso.size() < 19 || iso.size() > 40 ||
        std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &used) != 6 || used != 19)
        return std::nullopt;
    if (y < 1970 || y > 9999 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return std::nullopt;
    size_t at = 19;
    if (at < iso.size() && iso[at] == '.')
        for (++at; at < iso.size() && iso[at] >= '0' && iso[at] <= '9';) ++at;
    int64_t offset = 0;  // seconds east of UTC
    std::string zone = iso.substr(at);
    if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':' &&
        all_digits(zone.substr(1, 2) + zone.substr(4, 2), 4)) {
        offset = (std::stoi(zone.substr(1, 2)) * 3600 + std::stoi(zone.substr(4, 2)) * 60) * (zone[0] == '-' ? -1 : 1);
    } else if (zone != "Z" && !zone.empty()) {
        return std::nullopt;
    }
    std::tm t{};
    t.tm_year = y - 1900, t.tm_mon = mo - 1, t.tm_mday = d, t.tm_hour = h, t.tm_min = mi, t.tm_sec = s;
    return int64_t(timegm(&t)) - offset;
}

}  // namespace bridges
