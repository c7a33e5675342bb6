// Discord's gateway protocol without the socket (see gateway.h).
#include "bridges/discord/gateway.h"

#include <algorithm>

#include "outbound/tls.h"

namespace bridges {

using nlohmann::json;

namespace {

// j[key] when j is an object holding a string there.
const std::string* field_string(const json& j, const char* key) {
    if (!j.is_object()) return nullptr;
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get_ptr<const std::string*>() : nullptr;
}

// j[key] when it is a string, else "".
std::string string_or_empty(const json& j, const char* key) {
    const std::string* s = field_string(j, key);
    return s ? *s : std::string();
}

const json* field_object(const json& j, const char* key) {
    if (!j.is_object()) return nullptr;
    auto it = j.find(key);
    return it != j.end() && it->is_object() ? &*it : nullptr;
}

bool field_true(const json& j, const char* key) {
    if (!j.is_object()) return false;
    auto it = j.find(key);
    return it != j.end() && it->is_boolean() && it->get<bool>();
}

// An integer JSON value that fits int64 and is not negative.
std::optional<int64_t> non_negative(const json& v) {
    if (v.is_number_unsigned()) {
        uint64_t u = v.get<uint64_t>();
        if (u <= uint64_t(INT64_MAX)) return int64_t(u);
    } else if (v.is_number_integer()) {
        int64_t i = v.get<int64_t>();
        if (i >= 0) return i;
    }
    return std::nullopt;
}

bool reads(const std::vector<std::string>& channels, const std::string& channel) {
    return std::find(channels.begin(), channels.end(), channel) != channels.end();
}

// Discord messages may span lines; the chat page shows one line per message.
std::string one_line(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    return text;
}

}  // namespace

std::string GatewayUrl::host_header() const {
    std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return port == "443" ? h : h + ":" + port;
}

bool discord_parse_url(const std::string& url, GatewayUrl* out, std::string* error) {
    const std::string scheme = "wss://";
    if (url.compare(0, scheme.size(), scheme) != 0) {
        *error = "the gateway must be a wss:// URL: " + url;
        return false;
    }
    std::string rest = url.substr(scheme.size());
    size_t slash = rest.find_first_of("/?");
    std::string authority = rest.substr(0, slash);
    std::string target = slash == std::string::npos ? "/" : rest.substr(slash);
    if (target[0] == '?') target = "/" + target;
    GatewayUrl u;
    bool ok = !authority.empty();
    size_t close = authority.find(']');
    if (ok && authority[0] == '[') {  // [v6] or [v6]:port
        ok = close != std::string::npos && (close + 1 == authority.size() || authority[close + 1] == ':');
        if (ok && close + 1 == authority.size()) u.host = authority.substr(1, close - 1), u.port = "443";
        else if (ok) ok = split_host_port(authority, &u.host, &u.port);
    } else if (ok && authority.find(':') != std::string::npos) {
        ok = split_host_port(authority, &u.host, &u.port);
    } else if (ok) {
        u.host = authority, u.port = "443";
    }
    if (!ok || u.host.empty() || u.host.find_first_of(" @\\[]") != std::string::npos) {
        *error = "malformed gateway URL: " + url;
        return false;
    }
    u.target = target;
    *out = u;
    return true;
}

std::string discord_resume_url(const std::string& ready_url, const std::string& gateway_url) {
    GatewayUrl parsed;
    std::string ignored;
    if (ready_url.size() > 2048 || !discord_parse_url(ready_url, &parsed, &ignored)) return "";
    if (ready_url.find('?') != std::string::npos) return ready_url;
    size_t q = gateway_url.find('?');
    std::string query = q == std::string::npos ? "" : gateway_url.substr(q);
    std::string base = ready_url;
    if (parsed.target == "/" && base.back() != '/') base += "/";
    return base + query;
}

std::string discord_identify(const std::string& token) {
    json d = {{"token", token},
              {"intents", DISCORD_INTENTS},
              {"properties", {{"os", "linux"}, {"browser", "vimo-service"}, {"device", "vimo-service"}}}};
    return json{{"op", DISCORD_OP_IDENTIFY}, {"d", d}}.dump();
}

std::string discord_resume(const std::string& token, const GatewaySession& session) {
    json seq = session.seq >= 0 ? json(session.seq) : json(nullptr);
    json d = {{"token", token}, {"session_id", session.session_id}, {"seq", seq}};
    return json{{"op", DISCORD_OP_RESUME}, {"d", d}}.dump();
}

std::string discord_heartbeat(const GatewaySession& session) {
    json seq = session.seq >= 0 ? json(session.seq) : json(nullptr);
    return json{{"op", DISCORD_OP_HEARTBEAT}, {"d", seq}}.dump();
}

bool discord_parse_frame(const std::string& text, GatewayFrame* out, std::string* error) {
    // nlohmann parses and frees without recursion, so deep nesting costs no stack.
    json j = json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        *error = "a gateway frame that is not a JSON object";
        return false;
    }
    auto op = j.find("op");
    std::optional<int64_t> code = op == j.end() ? std::nullopt : non_negative(*op);
    if (!code) {
        *error = "a gateway frame without an integer op";
        return false;
    }
    GatewayFrame f;
    f.op = *code;
    if (auto s = j.find("s"); s != j.end()) f.seq = non_negative(*s);
    f.event = string_or_empty(j, "t");
    if (auto d = j.find("d"); d != j.end()) f.d = std::move(*d);
    *out = std::move(f);
    return true;
}

std::optional<int64_t> discord_hello_interval(const json& d) {
    if (!d.is_object()) return std::nullopt;
    auto it = d.find("heartbeat_interval");
    if (it == d.end() || !it->is_number()) return std::nullopt;
    double ms = it->get<double>();
    if (!(ms == ms)) return std::nullopt;  // NaN cannot come from JSON, but a bound is cheap
    return int64_t(std::clamp(ms, double(DISCORD_MIN_HEARTBEAT_MS), double(DISCORD_MAX_HEARTBEAT_MS)));
}

bool discord_ready(const json& d, const std::string& gateway_url, GatewaySession* session) {
    std::string id = string_or_empty(d, "session_id");
    if (id.empty() || id.size() > 256) return false;
    session->session_id = id;
    // Without a usable resume address the next Resume goes to the gateway we know.
    session->resume_url = discord_resume_url(string_or_empty(d, "resume_gateway_url"), gateway_url);
    return true;
}

DiscordMessageKind discord_message(const json& d, const std::vector<std::string>& channels, ChatMessage* out,
                                   std::string* why) {
    const std::string* channel = field_string(d, "channel_id");
    const std::string* id = field_string(d, "id");
    const json* author = field_object(d, "author");
    if (!channel || !id || !author) {
        *why = "MESSAGE_CREATE without channel_id, id or author";
        return DiscordMessageKind::Malformed;
    }
    if (!reads(channels, *channel)) return DiscordMessageKind::Ignored;
    if (field_true(*author, "bot") || field_string(d, "webhook_id")) return DiscordMessageKind::Ignored;
    const std::string* sender = field_string(*author, "id");
    if (!sender) {
        *why = "MESSAGE_CREATE without author.id";
        return DiscordMessageKind::Malformed;
    }
    ChatMessage m;
    m.platform = "discord";
    m.channel = *channel;
    m.external_id = *id;
    m.sender_id = *sender;
    const json* member = field_object(d, "member");
    m.sender_name = member ? string_or_empty(*member, "nick") : "";
    if (m.sender_name.empty()) m.sender_name = string_or_empty(*author, "global_name");
    m.sender_handle = string_or_empty(*author, "username");  // unique on Discord since its 2023 names
    if (m.sender_name.empty()) m.sender_name = m.sender_handle;
    // Without the Message Content intent "content" is empty: the sink counts it invalid.
    m.text = one_line(string_or_empty(d, "content"));
    m.look.emotes = discord_emoji(m.text);
    *out = std::move(m);
    return DiscordMessageKind::Chat;
}

std::vector<EmoteSpan> discord_emoji(const std::string& text) {
    std::vector<EmoteSpan> spans;
    auto run = [&](size_t at, size_t max, bool digits) {  // bytes of a name (or id) at at
        size_t n = 0;
        while (at + n < text.size() && n <= max) {
            unsigned char c = static_cast<unsigned char>(text[at + n]);
            bool ok = (c >= '0' && c <= '9') || (!digits && ((c | 0x20) >= 'a' && (c | 0x20) <= 'z')) || (!digits && c == '_');
            if (!ok) break;
            ++n;
        }
        return n <= max ? n : 0;
    };
    int64_t cp = 0;  // code points before i
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '<') {
            bool animated = text.compare(i, 3, "<a:") == 0;
            size_t name_at = i + (animated ? 3 : 2);
            size_t name = text.compare(i, 2, "<:") == 0 || animated ? run(name_at, 32, false) : 0;
            size_t id = name && text.compare(name_at + name, 1, ":") == 0 ? run(name_at + name + 1, 20, true) : 0;
            size_t close = name_at + name + 1 + id;
            if (id && close < text.size() && text[close] == '>') {
                int64_t length = int64_t(close - i + 1);  // ASCII only: bytes are code points
                std::string key = (animated ? "dca-" : "dc-") + text.substr(name_at + name + 1, id);
                spans.push_back({cp, cp + length, key, DISCORD_EMOJI_PX, DISCORD_EMOJI_PX, false});
                cp += length;
                i = close;
                continue;
            }
        }
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++cp;
    }
    return spans;
}

std::optional<std::string> discord_deleted(const json& d, const std::vector<std::string>& channels) {
    const std::string* channel = field_string(d, "channel_id");
    const std::string* id = field_string(d, "id");
    if (!channel || !id || !reads(channels, *channel)) return std::nullopt;
    return *id;
}

std::vector<std::string> discord_deleted_bulk(const json& d, const std::vector<std::string>& channels) {
    std::vector<std::string> ids;
    const std::string* channel = field_string(d, "channel_id");
    if (!channel || !reads(channels, *channel) || !d.contains("ids") || !d["ids"].is_array()) return ids;
    for (const json& id : d["ids"])
        if (id.is_string()) ids.push_back(id.get<std::string>());
    return ids;
}

CloseAction discord_close_action(int code, std::string* reason) {
    switch (code) {
        case 4004:
            *reason = "Discord refused the bot token (close 4004): check the token file";
            return CloseAction::Fail;
        case 4010: *reason = "Discord refused the shard (close 4010)"; return CloseAction::Fail;
        case 4011: *reason = "Discord requires sharding for this bot (close 4011)"; return CloseAction::Fail;
        case 4012: *reason = "Discord refused the gateway version (close 4012)"; return CloseAction::Fail;
        case 4013: *reason = "Discord refused the intents (close 4013)"; return CloseAction::Fail;
        case 4014:
            *reason = "Discord refused the Message Content intent (close 4014): switch on the Message Content "
                      "intent for the bot in the developer portal (Bot, Privileged Gateway Intents)";
            return CloseAction::Fail;
        case 4007:  // invalid seq
        case 4009:  // session timed out
            return CloseAction::Identify;
        default: return CloseAction::Resume;
    }
}

}  // namespace bridges
