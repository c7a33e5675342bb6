// Reading Matrix /sync answers (see sync.h). Every field is checked for
// its type before it is read: an answer of the wrong shape costs the part that
// is wrong, never the process.
#include "bridges/matrix/sync.h"

#include "bridges/json_depth.h"

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace bridges {

namespace {

json parse_bounded(const std::string& body) {
    if (body.size() > MATRIX_MAX_BODY_BYTES || json_too_deep(body, MATRIX_MAX_DEPTH)) return json(json::value_t::discarded);
    return json::parse(body, nullptr, false);
}

const json* member(const json& j, const char* key) {
    if (!j.is_object()) return nullptr;
    auto it = j.find(key);
    return it == j.end() ? nullptr : &*it;
}

std::string string_at(const json& j, const char* key) {
    const json* v = member(j, key);
    return v && v->is_string() ? v->get<std::string>() : std::string();
}

// The array at j[a][b], or nullptr.
const json* array_at(const json& j, const char* a, const char* b) {
    const json* outer = member(j, a);
    const json* inner = outer ? member(*outer, b) : nullptr;
    return inner && inner->is_array() ? inner : nullptr;
}

bool printable_token(const std::string& t) {
    if (t.empty() || t.size() > MATRIX_MAX_TOKEN_BYTES) return false;
    for (unsigned char c : t)
        if (c <= 0x20 || c >= 0x7f) return false;
    return true;
}

// A reply's body starts with the quoted message ("> <@a:b> text" lines, then an
// empty line); the desktop shows only what was said now.
std::string without_reply_quote(const std::string& body) {
    size_t pos = 0;
    while (pos < body.size() && body[pos] == '>') {
        size_t nl = body.find('\n', pos);
        if (nl == std::string::npos) return body;
        pos = nl + 1;
    }
    if (pos > 0 && pos < body.size() && body[pos] == '\n') return body.substr(pos + 1);
    return body;
}

// Line breaks and other controls as spaces: a chat box is one paragraph, and the
// store refuses control characters.
std::string one_line(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    size_t b = text.find_first_not_of(' '), e = text.find_last_not_of(' ');
    return b == std::string::npos ? std::string() : text.substr(b, e - b + 1);
}

// An m.room.member event: the user's display name from now on. false when malformed.
bool read_member(const json& e, std::unordered_map<std::string, std::string>& names) {
    std::string user = string_at(e, "state_key");
    const json* content = member(e, "content");
    if (user.empty() || !content || !content->is_object()) return false;
    std::string name = string_at(*content, "displayname");
    if (name.empty()) {
        names.erase(user);
    } else if (names.size() < MATRIX_MAX_MEMBERS_PER_ROOM || names.count(user)) {
        names[user] = name;
    }
    return true;
}

bool is_edit(const json& content) {
    const json* rel = member(content, "m.relates_to");
    return rel && string_at(*rel, "rel_type") == "m.replace";
}

bool is_reply(const json& content) {
    const json* rel = member(content, "m.relates_to");
    return rel && member(*rel, "m.in_reply_to");
}

// An m.room.message event. false when malformed; true (and nothing added) for
// what the desktop does not show: other msgtypes, edits, redacted leftovers.
bool read_message(const json& e, const std::string& room, const MatrixNames& names, MatrixSync* out) {
    const json* content = member(e, "content");
    if (!content || !content->is_object()) return false;
    if (string_at(*content, "msgtype") != "m.text" || is_edit(*content)) return true;
    const json* body = member(*content, "body");
    MatrixEvent m;
    m.room = room;
    m.event_id = string_at(e, "event_id");
    m.sender = string_at(e, "sender");
    if (!body || !body->is_string() || m.event_id.empty() || m.sender.empty()) return false;
    m.text = one_line(is_reply(*content) ? without_reply_quote(body->get<std::string>()) : body->get<std::string>());
    m.name = matrix_localpart(m.sender);
    auto room_names = names.rooms.find(room);
    if (room_names != names.rooms.end()) {
        auto name = room_names->second.find(m.sender);
        if (name != room_names->second.end()) m.name = name->second;
    }
    out->events.push_back(std::move(m));
    return true;
}

// An m.room.redaction: the redacted id at the top (room versions up to 10) or in
// content (11 on). false when it names none.
bool read_redaction(const json& e, const std::string& room, MatrixSync* out) {
    std::string target = string_at(e, "redacts");
    if (target.empty())
        if (const json* content = member(e, "content")) target = string_at(*content, "redacts");
    if (target.empty()) return false;
    MatrixEvent r;
    r.kind = MatrixEvent::Redaction;
    r.room = room;
    r.event_id = target;
    out->events.push_back(std::move(r));
    return true;
}

bool read_event(const json& e, const std::string& room, bool timeline, MatrixNames& names, MatrixSync* out) {
    if (!e.is_object()) return false;
    std::string type = string_at(e, "type");
    if (type == "m.room.member") return read_member(e, names.rooms[room]);
    if (type == "m.room.encryption") {
        out->encrypted.push_back(room);
        return true;
    }
    if (!timeline) return true;
    if (type == "m.room.message") return read_message(e, room, names, out);
    if (type == "m.room.redaction") return read_redaction(e, room, out);
    return true;
}

void read_room(const json& r, const std::string& room, MatrixNames& names, MatrixSync* out) {
    if (!r.is_object()) {
        ++out->malformed;
        return;
    }
    // State is as it was before the timeline began; the timeline then runs in order.
    if (const json* state = array_at(r, "state", "events"))
        for (const json& e : *state)
            if (!read_event(e, room, false, names, out)) ++out->malformed;
    if (const json* timeline = array_at(r, "timeline", "events"))
        for (const json& e : *timeline)
            if (!read_event(e, room, true, names, out)) ++out->malformed;
    const json* timeline = member(r, "timeline");
    const json* limited = timeline ? member(*timeline, "limited") : nullptr;
    if (limited && limited->is_boolean() && limited->get<bool>()) out->gaps.push_back(room);
}

}  // namespace

bool matrix_parse_sync(const std::string& body, const std::set<std::string>& rooms, MatrixNames& names,
                       MatrixSync* out, std::string* error) {
    *out = MatrixSync();
    json j = parse_bounded(body);
    if (j.is_discarded() || !j.is_object()) {
        *error = j.is_discarded() ? "a /sync answer that is not JSON (or nests too deep)" : "a /sync answer that is not an object";
        return false;
    }
    out->next_batch = string_at(j, "next_batch");
    if (!printable_token(out->next_batch)) {
        *error = "a /sync answer without a usable next_batch";
        return false;
    }
    const json* all = member(j, "rooms");
    const json* join = all ? member(*all, "join") : nullptr;
    if (all && !all->is_object()) ++out->malformed;
    if (join && !join->is_object()) ++out->malformed;
    // Only the configured rooms are read, whatever else the homeserver sends.
    for (const std::string& room : rooms)
        if (const json* r = join ? member(*join, room.c_str()) : nullptr) read_room(*r, room, names, out);
    return true;
}

bool matrix_parse_joined(const std::string& body, std::set<std::string>* joined) {
    json j = parse_bounded(body);
    const json* list = member(j, "joined_rooms");
    if (!list || !list->is_array()) return false;
    joined->clear();
    for (const json& id : *list)
        if (id.is_string()) joined->insert(id.get<std::string>());
    return true;
}

MatrixError matrix_parse_error(const std::string& body) {
    json j = parse_bounded(body);
    MatrixError e;
    e.code = string_at(j, "errcode");
    e.message = string_at(j, "error");
    if (e.message.size() > 200) e.message.resize(200);
    const json* after = member(j, "retry_after_ms");
    if (after && after->is_number()) {
        double ms = after->get<double>();
        e.retry_after_ms = ms < 0 ? 0 : ms > 3600e3 ? 3600000 : (long long)ms;
    }
    return e;
}

std::string matrix_localpart(const std::string& user_id) {
    size_t colon = user_id.find(':');
    if (user_id.size() < 2 || user_id[0] != '@' || colon == std::string::npos || colon < 2) return user_id;
    return user_id.substr(1, colon - 1);
}

std::string matrix_sync_filter(const std::set<std::string>& rooms) {
    json room_list = json::array();
    for (const std::string& r : rooms) room_list.push_back(r);
    json none = {{"types", json::array()}};
    json f = {
        {"presence", none},
        {"account_data", none},
        {"room",
         {{"rooms", room_list},
          {"timeline",
           {{"types", {"m.room.message", "m.room.redaction", "m.room.member", "m.room.encryption"}}, {"limit", 100}}},
          // Each timeline sender's member event comes with the batch, also after a
          // restart, so names are known without reading whole member lists.
          {"state",
           {{"types", {"m.room.member", "m.room.encryption"}},
            {"lazy_load_members", true},
            {"include_redundant_members", true}}},
          {"ephemeral", none},
          {"account_data", none}}},
    };
    return f.dump();
}

}  // namespace bridges
