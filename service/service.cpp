// Routes, pages and answers of vimo-service.
#include "service.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <map>
#include <thread>

#include <arpa/inet.h>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include "store.h"
#include "text.h"

using nlohmann::json;

struct Service {
    ServiceOptions options;
    StorePtr store;
    httplib::Server http;
    std::string origin;       // for links in answers and pages
    std::string admin_token;  // from the store: only at the start that created it
    bool token_created = false;
    int port = -1;
    RateLimiter limiter;
    std::string streamer_key;  // text_key of the reserved streamer's handle
};

// ---- Text helpers ------------------------------------------------------------------

std::string html_escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string xml_escape(const std::string& text) { return html_escape(text); }

bool valid_utf8(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size(), i = 0;
    while (i < n) {
        unsigned c = p[i];
        size_t len;
        unsigned cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        static const unsigned MIN[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < MIN[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

bool percent_decode(const std::string& in, bool plus_is_space, std::string* out) {
    auto hex = [](char h) -> int {
        if (h >= '0' && h <= '9') return h - '0';
        if (h >= 'A' && h <= 'F') return h - 'A' + 10;
        if (h >= 'a' && h <= 'f') return h - 'a' + 10;
        return -1;
    };
    out->clear();
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '%') {
            if (in.size() - i < 3) return false;
            int hi = hex(in[i + 1]), lo = hex(in[i + 2]);
            if (hi < 0 || lo < 0) return false;
            *out += char(hi * 16 + lo);
            i += 2;
        } else if (c == '+' && plus_is_space) {
            *out += ' ';
        } else {
            *out += c;
        }
    }
    return true;
}

namespace {

// ---- Input rules ---------------------------------------------------------------------

// Ids and handles travel unencoded in the companion's URLs: only URL-safe bytes.
bool valid_token_chars(const std::string& s, size_t max, const char* extra) {
    if (s.empty() || s.size() > max) return false;
    for (char c : s) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        for (const char* e = extra; !ok && *e; ++e) ok = c == *e;
        if (!ok) return false;
    }
    return true;
}
bool valid_login_id(const std::string& s) { return valid_token_chars(s, SERVICE_MAX_ID_BYTES, ":._-"); }
bool valid_sender_id(const std::string& s) { return valid_token_chars(s, SERVICE_MAX_ID_BYTES, ":._~-"); }
bool valid_handle(const std::string& s) { return valid_token_chars(s, 64, "._-"); }
bool valid_actor(const std::string& s) { return valid_token_chars(s, 253, ":._-"); }
bool valid_link_token(const std::string& s) { return valid_token_chars(s, 32 + 2 * SERVICE_MAX_ID_BYTES, ""); }

// Human text: well-formed UTF-8, no control characters, at most max bytes, and
// something a reader can see once spaces and format characters are left out.
bool valid_text(const std::string& s, size_t max) {
    if (s.empty() || s.size() > max || !valid_utf8(s)) return false;
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return false;
    return text_visible(s);
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

const char* const ID_PLATFORMS[] = {"twitch", "discord", "web", "matrix"};
const char* const NAME_PLATFORM = "corvane";  // carries the display name itself, no id

bool is_id_platform(const std::string& p) {
    for (const char* q : ID_PLATFORMS)
        if (p == q) return true;
    return false;
}

// Query or form parameters; false when malformed (bad escape, repeated key).
using Params = std::map<std::string, std::string>;
bool parse_params(const std::string& text, bool plus_is_space, Params* out) {
    out->clear();
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t amp = text.find('&', pos);
        if (amp == std::string::npos) amp = text.size();
        std::string pair = text.substr(pos, amp - pos);
        pos = amp + 1;
        if (pair.empty()) {
            if (amp == text.size()) break;
            continue;
        }
        size_t eq = pair.find('=');  // the first '=' only: "where=twitch.id=5"
        std::string key, value;
        if (!percent_decode(pair.substr(0, eq), plus_is_space, &key)) return false;
        if (eq != std::string::npos && !percent_decode(pair.substr(eq + 1), plus_is_space, &value)) return false;
        if (!out->emplace(key, value).second) return false;
        if (amp == text.size()) break;
    }
    return true;
}

bool query_params(const httplib::Request& req, Params* out) {
    size_t q = req.target.find('?');
    return parse_params(q == std::string::npos ? std::string() : req.target.substr(q + 1), false, out);
}

const std::string* param(const Params& p, const char* key) {
    auto it = p.find(key);
    return it == p.end() ? nullptr : &it->second;
}

// ---- Answers ---------------------------------------------------------------------------

std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

void answer_json(httplib::Response& res, const json& j, int status = 200) {
    res.status = status;
    res.set_content(dump(j), "application/json; charset=utf-8");
}

void answer_error(httplib::Response& res, int status, const std::string& message) {
    answer_json(res, json{{"error", message}}, status);
}

// Public answers every companion polls: the same for everyone, so a proxy or the
// client may keep them a second; the ETag lets a repeated ask be answered 304.
void answer_public(const httplib::Request& req, httplib::Response& res, const std::string& body, const char* type) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    std::string etag = "\"";
    if (EVP_Digest(body.data(), body.size(), md, &len, EVP_sha256(), nullptr) == 1) {
        static const char HEX[] = "0123456789abcdef";
        for (unsigned i = 0; i < 16 && i < len; ++i) etag += {HEX[md[i] >> 4], HEX[md[i] & 15]};
    }
    etag += "\"";
    res.set_header("Cache-Control", "public, max-age=1");
    res.set_header("ETag", etag);
    std::string match = req.get_header_value("If-None-Match");
    if (!match.empty() && (match == "*" || match.find(etag) != std::string::npos)) {
        res.status = 304;
        return;
    }
    res.status = 200;
    res.set_content(body, type);
}

void answer_public_json(const httplib::Request& req, httplib::Response& res, const json& j) {
    answer_public(req, res, dump(j), "application/json; charset=utf-8");
}

void answer_page(httplib::Response& res, const std::string& title, const std::string& body_html, int status = 200) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_header("Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + html_escape(title) +
                        "</title><style>body{font-family:sans-serif;max-width:40em;margin:2em auto;padding:0 1em}"
                        "label{display:block;margin:.5em 0}input,textarea{width:100%}</style></head><body><h1>" +
                        html_escape(title) + "</h1>\n" + body_html + "\n</body></html>\n",
                    "text/html; charset=utf-8");
}

void answer_too_many(httplib::Response& res, int64_t retry_after) {
    res.set_header("Retry-After", std::to_string(retry_after));
    answer_error(res, 429, "too many requests: try again in " + std::to_string(retry_after) + " s");
}

// The requester's address for the per-address limits. Every address of one IPv6
// /64 belongs to one subscriber, so the /64 is the unit.
std::string client_address(const Service& s, const httplib::Request& req) {
    std::string addr = req.remote_addr;
    if (s.options.behind_proxy) {
        std::string real = req.get_header_value("X-Real-IP");
        if (!real.empty()) addr = real;
    }
    in6_addr a6{};
    if (inet_pton(AF_INET6, addr.c_str(), &a6) == 1) {
        for (int i = 8; i < 16; ++i) a6.s6_addr[i] = 0;
        char text[INET6_ADDRSTRLEN];
        if (inet_ntop(AF_INET6, &a6, text, sizeof text)) addr = std::string(text) + "/64";
    }
    return addr;
}

json chatter_json(const StoredMessage& m) { return json{{m.platform, m.sender}}; }

std::string message_value(Service& s, int64_t seq) { return store_instance(*s.store) + "-" + std::to_string(seq); }

bool token_matches(Service& s, const std::string& given) { return store_admin_token_matches(*s.store, given); }

// The streamer's JSON calls: true (having answered 401) unless the Bearer token is right.
bool admin_header_refused(Service& s, const httplib::Request& req, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    std::string auth = req.get_header_value("Authorization");
    const std::string prefix = "Bearer ";
    if (auth.rfind(prefix, 0) == 0 && token_matches(s, auth.substr(prefix.size()))) return false;
    res.set_header("WWW-Authenticate", "Bearer");
    answer_error(res, 401, "admin token required");
    return true;
}

// ---- The streamer's actions, shared by the JSON calls and the admin page -------------
// Each fills *result and returns a Refusal without status, or says why it refused
// (a bare reason is a 400).

struct Refusal {
    int status = 0;  // 0: done
    std::string why;
    int64_t retry_after = 0;  // for 429
    Refusal() = default;
    Refusal(const char* reason) : Refusal(std::string(reason)) {}
    Refusal(std::string reason) : status(reason.empty() ? 0 : 400), why(std::move(reason)) {}
    Refusal(int code, std::string reason, int64_t retry = 0) : status(code), why(std::move(reason)), retry_after(retry) {}
};

Refusal too_many(int64_t retry_after) {
    return {429, "too many requests: try again in " + std::to_string(retry_after) + " s", retry_after};
}

using Action = Refusal (*)(Service&, const httplib::Request&, const json&, json*);

Refusal do_ingest(Service& s, const httplib::Request& req, const json& in, json* result) {
    if (!in.is_object()) return "expected a JSON object";
    auto str = [&](const char* k) { return in.contains(k) && in[k].is_string() ? in[k].get<std::string>() : ""; };
    std::string platform = str("platform"), id = str("sender_id"), name = trim(str("sender_name")), text = str("text");
    if (!is_id_platform(platform) && platform != NAME_PLATFORM)
        return "platform must be one of twitch, discord, web, matrix, corvane";
    if (!valid_text(name, SERVICE_MAX_NAME_BYTES)) return "sender_name must be 1 to 64 bytes of visible text";
    if (platform == NAME_PLATFORM) {
        id = name;  // the name is the sender
    } else if (!valid_sender_id(id)) {
        return "sender_id must be 1 to 128 of A-Z a-z 0-9 : . _ ~ -";
    }
    if (!valid_text(text, SERVICE_MAX_TEXT_BYTES)) return "text must be 1 to 500 bytes of visible text";
    const ServiceLimits& l = s.options.limits;
    if (int64_t wait = s.limiter.take({{&l.ingest_bridge, "ingest-bridge " + platform},
                                       {&l.ingest_sender, "ingest-sender " + platform + ":" + id},
                                       {&l.ingest_address, "ingest-address " + client_address(s, req)}}))
        return too_many(wait);
    auto seq = store_add_message(*s.store, platform, id, name, text);
    if (!seq) return {403, "this sender is banned"};
    *result = json{{"message", message_value(s, *seq)}};
    return "";
}

Refusal do_live(Service& s, const httplib::Request&, const json& in, json* result) {
    if (!in.is_object() || !in.contains("handles") || !in["handles"].is_array())
        return "expected {\"handles\": [...]}";
    std::vector<std::string> handles;
    for (const auto& h : in["handles"]) {
        if (!h.is_string() || !valid_handle(h.get<std::string>()))
            return "each handle must be 1 to 64 of A-Z a-z 0-9 . _ -";
        handles.push_back(h.get<std::string>());
    }
    if (handles.size() > 200) return "at most 200 handles";
    store_set_live(*s.store, handles);
    *result = json{{"live", store_live(*s.store)}};
    return "";
}

Refusal do_blog(Service& s, const httplib::Request&, const json& in, json* result) {
    if (!in.is_object()) return "expected a JSON object";
    auto str = [&](const char* k) { return in.contains(k) && in[k].is_string() ? in[k].get<std::string>() : ""; };
    std::string title = trim(str("title")), link = str("link"), description = str("description");
    if (!valid_text(title, SERVICE_MAX_TEXT_BYTES)) return "title must be 1 to 500 bytes of text";
    if (!link.empty() && ((link.rfind("http://", 0) != 0 && link.rfind("https://", 0) != 0) ||
                          !valid_text(link, SERVICE_MAX_TEXT_BYTES) || link.find(' ') != std::string::npos))
        return "link must be an http(s) address";
    if (!description.empty() && !valid_text(description, SERVICE_MAX_TEXT_BYTES))
        return "description must be at most 500 bytes of text";
    BlogEntry e = store_add_blog(*s.store, title, link, description);
    *result = json{{"guid", e.guid}};
    return "";
}

Refusal do_post(Service& s, const httplib::Request&, const json& in, json* result) {
    if (!in.is_object()) return "expected a JSON object";
    std::string actor = s.options.bluesky_actor;
    if (in.contains("actor")) {
        if (!in["actor"].is_string() || !valid_actor(in["actor"].get<std::string>())) return "bad actor";
        actor = in["actor"].get<std::string>();
    }
    std::string text = in.contains("text") && in["text"].is_string() ? in["text"].get<std::string>() : "";
    if (!valid_text(text, 300 * 4)) return "text must be 1 to 1200 bytes of text";
    FeedPost p = store_add_post(*s.store, actor, text);
    *result = json{{"createdAt", p.created_at}, {"actor", actor}, {"text", text}};
    return "";
}

// ---- Moderation -------------------------------------------------------------------

// The seq inside a "message" value of this database, or nullopt.
std::optional<int64_t> message_seq(Service& s, const std::string& value) {
    std::string prefix = store_instance(*s.store) + "-";
    if (value.rfind(prefix, 0) != 0 || value.size() == prefix.size() || value.size() - prefix.size() > 18)
        return std::nullopt;
    int64_t seq = 0;
    for (size_t i = prefix.size(); i < value.size(); ++i) {
        if (value[i] < '0' || value[i] > '9') return std::nullopt;
        seq = seq * 10 + (value[i] - '0');
    }
    return seq;
}

std::string json_text(const json& in, const char* key) {
    if (!in.contains(key)) return "";
    if (in[key].is_string()) return in[key].get<std::string>();
    if (in[key].is_number_unsigned()) return std::to_string(in[key].get<uint64_t>());
    return "";
}

Refusal do_delete(Service& s, const httplib::Request&, const json& in, json* result) {
    if (!in.is_object()) return "expected {\"message\": ...}";
    std::string value = json_text(in, "message");
    auto seq = message_seq(s, value);
    if (!seq) return "message must be a \"message\" value of this service's chat";
    if (!store_remove_message(*s.store, *seq)) return {404, "no such message, or it was already deleted"};
    *result = json{{"deleted", value}};
    return "";
}

// The sender named by {"message"} (the sender of that message), {"account"} (a
// linked account, which posts on "web") or {"platform", "sender_id"}.
Refusal ban_target(Service& s, const json& in, std::string* platform, std::string* sender) {
    if (!in.is_object()) return "expected a JSON object";
    if (in.contains("message")) {
        auto seq = message_seq(s, json_text(in, "message"));
        auto m = seq ? store_message(*s.store, *seq) : std::nullopt;
        if (!m) return {404, "no such message"};
        *platform = m->platform;
        *sender = m->sender;
        return "";
    }
    if (in.contains("account")) {
        std::string account = json_text(in, "account");
        if (account.empty() || account.size() > 18 || account.find_first_not_of("0123456789") != std::string::npos)
            return "account must be an account number";
        *platform = "web";
        *sender = account;
        return "";
    }
    *platform = json_text(in, "platform");
    *sender = json_text(in, "sender_id");
    if (*platform == NAME_PLATFORM) {
        if (!valid_text(*sender, SERVICE_MAX_NAME_BYTES)) return "sender_id of corvane is the display name";
    } else if (!is_id_platform(*platform)) {
        return "give message, account, or platform and sender_id";
    } else if (!valid_sender_id(*sender)) {
        return "sender_id must be 1 to 128 of A-Z a-z 0-9 : . _ ~ -";
    }
    return "";
}

Refusal do_ban_or_unban(Service& s, const json& in, json* result, bool ban) {
    std::string platform, sender;
    Refusal r = ban_target(s, in, &platform, &sender);
    if (r.status) return r;
    bool changed = store_set_banned(*s.store, platform, sender, ban);
    *result = json{{ban ? "banned" : "unbanned", {{"platform", platform}, {"sender_id", sender}}}, {"changed", changed}};
    return "";
}
Refusal do_ban(Service& s, const httplib::Request&, const json& in, json* result) { return do_ban_or_unban(s, in, result, true); }
Refusal do_unban(Service& s, const httplib::Request&, const json& in, json* result) { return do_ban_or_unban(s, in, result, false); }

Refusal do_words(Service& s, const httplib::Request&, const json& in, json* result) {
    if (!in.is_object() || !in.contains("words") || !in["words"].is_array()) return "expected {\"words\": [...]}";
    std::vector<std::string> words;
    for (const auto& w : in["words"]) {
        std::string word = w.is_string() ? trim(w.get<std::string>()) : "";
        if (!valid_text(word, SERVICE_MAX_NAME_BYTES)) return "each word must be 1 to 64 bytes of visible text";
        words.push_back(word);
    }
    if (words.size() > 1000) return "at most 1000 words";
    store_set_blocked_words(*s.store, words);
    *result = json{{"words", store_blocked_words(*s.store)}};
    return "";
}

json moderation_json(Service& s) {
    json messages = json::array(), bans = json::array(), log = json::array();
    for (const StoredMessage& m : store_recent_messages(*s.store, 100))
        messages.push_back(json{{"message", message_value(s, m.seq)}, {"text", m.text}, {"chatter", chatter_json(m)},
                                {"removed", m.removed}, {"blocked", m.blocked}, {"banned", m.banned}});
    for (const auto& [platform, sender] : store_bans(*s.store))
        bans.push_back(json{{"platform", platform}, {"sender_id", sender}});
    for (const ModAction& a : store_mod_log(*s.store, 200))
        log.push_back(json{{"at", a.at}, {"action", a.action}, {"target", a.target}, {"detail", a.detail}});
    return json{{"messages", messages}, {"bans", bans}, {"words", store_blocked_words(*s.store)}, {"log", log}};
}

// A one-button form that carries the admin token, and the hidden fields given,
// to another admin action.
std::string token_button(const std::string& token, const char* action, const std::string& label,
                         std::initializer_list<std::pair<const char*, std::string>> hidden = {}) {
    std::string out = std::string("<form method=\"post\" action=\"") + action +
                      "\" style=\"display:inline\"><input type=\"hidden\" name=\"token\" value=\"" + html_escape(token) + "\">";
    for (const auto& [name, value] : hidden)
        out += std::string("<input type=\"hidden\" name=\"") + name + "\" value=\"" + html_escape(value) + "\">";
    return out + "<button type=\"submit\">" + html_escape(label) + "</button></form>";
}

std::string moderation_button(const std::string& token, const std::string& label) {
    return token_button(token, "/admin/moderation", label);
}

// The streamer's moderation page: recent messages with their buttons, bans, blocked words, the log.
std::string moderation_html(Service& s, const std::string& token) {
    std::string h = "<h2>Recent messages</h2><table>";
    std::vector<StoredMessage> messages = store_recent_messages(*s.store, 100);
    for (const StoredMessage& m : messages) {
        std::string value = message_value(s, m.seq), who = m.platform + ":" + m.sender;
        if (m.platform != NAME_PLATFORM)
            if (auto name = store_chatter_name(*s.store, m.platform, m.sender)) who = *name + " (" + who + ")";
        const char* state = m.removed ? "deleted" : m.banned ? "banned sender" : m.blocked ? "blocked word" : "";
        h += "<tr><td>" + html_escape(who) + "</td><td>" + html_escape(m.text) + "</td><td>" + state + "</td><td>";
        if (!m.removed) h += token_button(token, "/admin/delete", "Delete", {{"message", value}});
        if (!m.banned) h += token_button(token, "/admin/ban", "Ban sender", {{"message", value}});
        h += "</td></tr>";
    }
    if (messages.empty()) h += "<tr><td>No messages yet.</td></tr>";
    h += "</table><h2>Banned senders</h2><ul>";
    auto bans = store_bans(*s.store);
    if (bans.empty()) h += "<li>Nobody is banned.</li>";
    for (const auto& [platform, sender] : bans)
        h += "<li>" + html_escape(platform + ":" + sender) + " " +
             token_button(token, "/admin/unban", "Unban", {{"platform", platform}, {"sender_id", sender}}) + "</li>";
    std::string words;
    for (const std::string& w : store_blocked_words(*s.store)) words += w + "\n";
    h += "</ul><h2>Blocked words</h2><form method=\"post\" action=\"/admin/words\"><input type=\"hidden\" "
         "name=\"token\" value=\"" + html_escape(token) + "\"><label>One word or phrase per line <textarea "
         "name=\"words\" rows=\"5\">" + html_escape(words) + "</textarea></label><button type=\"submit\">Save "
         "words</button></form><h2>Log</h2><table>";
    for (const ModAction& a : store_mod_log(*s.store, 200))
        h += "<tr><td>" + html_escape(a.at) + "</td><td>" + html_escape(a.action) + "</td><td>" + html_escape(a.target) +
             "</td><td>" + html_escape(a.detail) + "</td></tr>";
    return h + "</table>";
}

// Admin page forms: the form's token, or nullptr having answered 400 or 401.
const std::string* admin_form_token(Service& s, const httplib::Request& req, httplib::Response& res, Params* form) {
    if (!parse_params(req.body, true, form)) {
        answer_page(res, "Refused", "<p>Malformed form.</p>", 400);
        return nullptr;
    }
    const std::string* token = param(*form, "token");
    if (token && token_matches(s, *token)) return token;
    answer_page(res, "Refused", "<p>Wrong admin token.</p><p><a href=\"/admin\">Back</a></p>", 401);
    return nullptr;
}

// JSON call: Bearer token, JSON body, JSON answer.
httplib::Server::Handler admin_call(Service& s, Action action) {
    return [&s, action](const httplib::Request& req, httplib::Response& res) {
        if (admin_header_refused(s, req, res)) return;
        json in = json::parse(req.body, nullptr, false);
        if (in.is_discarded()) return answer_error(res, 400, "body is not JSON");
        json out;
        Refusal r = action(s, req, in, &out);
        if (r.status == 429) return answer_too_many(res, r.retry_after);
        if (r.status) return answer_error(res, r.status, r.why);
        answer_json(res, out);
    };
}

// Admin page form: token field, fields turned into the same JSON the call takes.
httplib::Server::Handler admin_form(Service& s, Action action, std::function<json(const Params&)> to_json) {
    return [&s, action, to_json](const httplib::Request& req, httplib::Response& res) {
        Params form;
        const std::string* token = admin_form_token(s, req, res, &form);
        if (!token) return;
        json out;
        Refusal r = action(s, req, to_json(form), &out);
        std::string back = "<p><a href=\"/admin\">Back</a></p>" + moderation_button(*token, "Back to moderation");
        if (r.status == 429) res.set_header("Retry-After", std::to_string(r.retry_after));
        if (r.status) return answer_page(res, "Refused", "<p>" + html_escape(r.why) + "</p>" + back, r.status);
        answer_page(res, "Done", "<pre>" + html_escape(dump(out)) + "</pre>" + back);
    };
}

std::string form_value(const Params& p, const char* key) {
    const std::string* v = param(p, key);
    return v ? *v : std::string();
}

// Exceptions (SQLite failures) become a 500 instead of reaching the HTTP library.
httplib::Server::Handler guarded(httplib::Server::Handler h) {
    return [h](const httplib::Request& req, httplib::Response& res) {
        try {
            h(req, res);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "vimo-service: %s %s failed: %s\n", req.method.c_str(), req.path.c_str(), e.what());
            answer_error(res, 500, "internal error");
        }
    };
}

// ---- Routes ----------------------------------------------------------------------------

void add_routes(Service& s) {
    httplib::Server& h = s.http;

    // Login ask: linked → the account; otherwise the page where the user links it.
    h.Get("/api/vimoexe/login", guarded([&s](const httplib::Request& req, httplib::Response& res) {
              Params q;
              if (!query_params(req, &q)) return answer_error(res, 400, "malformed query");
              const std::string* id = param(q, "id");
              if (!id || !valid_login_id(*id)) return answer_error(res, 400, "id must be 1 to 128 of A-Z a-z 0-9 : . _ -");
              res.set_header("Cache-Control", "no-store");  // one installation's own answer
              LoginState st = store_login(*s.store, *id);
              if (!st.linked) return answer_json(res, json{{"status", false}, {"url", s.origin + "/link?token=" + st.token}});
              // The companion greets with user.twitch.name: the account is presented in that shape.
              std::string acc = std::to_string(st.account);
              answer_json(res, json{{"status", true},
                                    {"user", {{"id", acc}, {"twitch", {{"name", st.name}}}, {"web", {{"id", acc}, {"name", st.name}}}}}});
          }));

    h.Get("/api/chat", guarded([&s](const httplib::Request& req, httplib::Response& res) {
              Params q;
              if (!query_params(req, &q)) return answer_error(res, 400, "malformed query");
              const std::string* c = param(q, "count");
              int count = 0;
              bool ok = c && !c->empty() && c->size() <= 3;
              for (char ch : ok ? *c : std::string()) {
                  if (ch < '0' || ch > '9') ok = false;
                  count = count * 10 + (ch - '0');
              }
              if (!ok || count < 1 || count > SERVICE_MAX_CHAT_COUNT)
                  return answer_error(res, 400, "count must be a whole number from 1 to 100");
              std::string inst = store_instance(*s.store);
              json page = json::array();
              for (const StoredMessage& m : store_chat_page(*s.store, count))
                  page.push_back(json{{"message", inst + "-" + std::to_string(m.seq)}, {"text", m.text}, {"chatter", chatter_json(m)}});
              answer_public_json(req, res, page);
          }));

    // select=<p>.name&where=<p>.id=<id>, the one lookup the companion makes.
    h.Get("/api/user", guarded([&s](const httplib::Request& req, httplib::Response& res) {
              Params q;
              if (!query_params(req, &q)) return answer_error(res, 400, "malformed query");
              const std::string *select = param(q, "select"), *where = param(q, "where");
              if (!select || !where) return answer_error(res, 400, "select and where are required");
              size_t dot = select->find('.');
              std::string platform = dot == std::string::npos ? "" : select->substr(0, dot);
              if (!is_id_platform(platform) || select->substr(dot) != ".name")
                  return answer_error(res, 400, "select must be <platform>.name for twitch, discord, web or matrix");
              std::string prefix = platform + ".id=";
              if (where->rfind(prefix, 0) != 0) return answer_error(res, 400, "where must be " + prefix + "<id>");
              std::string id = where->substr(prefix.size());
              if (!valid_sender_id(id)) return answer_error(res, 400, "bad id");
              auto name = store_chatter_name(*s.store, platform, id);
              if (!name) return answer_error(res, 404, "unknown user");
              answer_public_json(req, res, json::array({json{{platform, {{"id", id}, {"name", *name}}}}}));
          }));

    // The composer's post: a message of the linked account; the body is its "message" value.
    h.Post("/api/vimoexe/chat", guarded([&s](const httplib::Request& req, httplib::Response& res) {
               Params q;
               if (!query_params(req, &q)) return answer_error(res, 400, "malformed query");
               const std::string *id = param(q, "id"), *content = param(q, "content");
               if (!id || !valid_login_id(*id)) return answer_error(res, 400, "bad id");
               if (!content || !valid_text(*content, SERVICE_MAX_TEXT_BYTES))
                   return answer_error(res, 400, "content must be 1 to 500 bytes of visible text");
               auto account = store_account(*s.store, *id);
               if (!account) return answer_error(res, 403, "this installation is not linked to an account");
               const ServiceLimits& l = s.options.limits;
               if (int64_t wait = s.limiter.take({{&l.post_account, "post-account " + std::to_string(account->first)},
                                                  {&l.post_address, "post-address " + client_address(s, req)}}))
                   return answer_too_many(res, wait);
               auto seq = store_add_message(*s.store, "web", std::to_string(account->first), account->second, *content);
               if (!seq) return answer_error(res, 403, "this account is banned from the chat");
               res.set_content(message_value(s, *seq), "text/plain; charset=utf-8");
           }));

    h.Get("/api/ferncircle", guarded([&s](const httplib::Request& req, httplib::Response& res) {
              answer_public_json(req, res, json(store_live(*s.store)));
          }));

    h.Get("/data/blog.xml", guarded([&s](const httplib::Request& req, httplib::Response& res) {
              std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rss version=\"2.0\"><channel>\n"
                                "<title>Blog</title><link>" + xml_escape(s.origin) + "/</link><description>News from the stream</description>\n";
              for (const BlogEntry& e : store_blog(*s.store, SERVICE_BLOG_ITEMS)) {
                  xml += "<item><title>" + xml_escape(e.title) + "</title>";
                  if (!e.link.empty()) xml += "<link>" + xml_escape(e.link) + "</link>";
                  xml += "<description>" + xml_escape(e.description) + "</description><pubDate>" + e.published_at +
                         "</pubDate><guid>" + xml_escape(e.guid) + "</guid></item>\n";
              }
              xml += "</channel></rss>\n";
              // Readers take the text between "<guid>" and "</guid>": the tag carries no attribute.
              answer_public(req, res, xml, "application/rss+xml; charset=utf-8");
          }));

    h.Get("/xrpc/app.bsky.feed.getAuthorFeed", guarded([&s](const httplib::Request& req, httplib::Response& res) {
              Params q;
              if (!query_params(req, &q)) return answer_json(res, json{{"error", "InvalidRequest"}, {"message", "malformed query"}}, 400);
              const std::string *actor = param(q, "actor"), *limit_text = param(q, "limit");
              if (!actor || !valid_actor(*actor))
                  return answer_json(res, json{{"error", "InvalidRequest"}, {"message", "actor must be a handle or DID"}}, 400);
              int limit = 50;
              if (limit_text) {
                  bool ok = !limit_text->empty() && limit_text->size() <= 3;
                  limit = 0;
                  for (char ch : ok ? *limit_text : std::string()) {
                      if (ch < '0' || ch > '9') ok = false;
                      limit = limit * 10 + (ch - '0');
                  }
                  if (!ok || limit < 1 || limit > 100)
                      return answer_json(res, json{{"error", "InvalidRequest"}, {"message", "limit must be 1 to 100"}}, 400);
              }
              json feed = json::array();
              for (const FeedPost& p : store_posts(*s.store, *actor, limit)) {
                  std::string uri = "at://" + p.actor + "/app.bsky.feed.post/" + std::to_string(p.seq);
                  feed.push_back(json{{"post",
                                       {{"uri", uri},
                                        {"author", {{"handle", p.actor}}},
                                        {"record", {{"$type", "app.bsky.feed.post"}, {"text", p.text}, {"createdAt", p.created_at}}},
                                        {"indexedAt", p.created_at}}}});
              }
              answer_public_json(req, res, json{{"feed", feed}});
          }));

    // ---- Pages ----
    h.Get("/", guarded([](const httplib::Request&, httplib::Response& res) {
              answer_page(res, "vimo community service",
                          "<p>The companion's chat, accounts, live list and feeds live here.</p>"
                          "<ul><li><a href=\"/data/blog.xml\">Blog feed</a></li><li><a href=\"/admin\">Streamer's page</a></li></ul>");
          }));

    h.Get("/link", guarded([&s](const httplib::Request& req, httplib::Response& res) {
              Params q;
              const std::string* token = query_params(req, &q) ? param(q, "token") : nullptr;
              if (!token || !valid_link_token(*token)) return answer_page(res, "Unknown link", "<p>This link is not valid.</p>", 404);
              auto info = store_link_info(*s.store, *token);
              if (!info) return answer_page(res, "Unknown link", "<p>This link is not valid.</p>", 404);
              if (info->linked)
                  return answer_page(res, "Already linked",
                                     "<p>This installation is linked as <b>" + html_escape(info->name) +
                                         "</b>. Go back to vimo and click its speech bubble.</p>");
              answer_page(res, "Link vimo to your account",
                          "<form method=\"post\" action=\"/link\"><input type=\"hidden\" name=\"token\" value=\"" +
                              html_escape(*token) +
                              "\"><label>Display name <input name=\"name\" maxlength=\"64\" required autofocus></label>"
                              "<button type=\"submit\">Link</button></form>");
          }));

    h.Post("/link", guarded([&s](const httplib::Request& req, httplib::Response& res) {
               Params form;
               if (!parse_params(req.body, true, &form)) return answer_page(res, "Refused", "<p>Malformed form.</p>", 400);
               std::string token = form_value(form, "token"), name = trim(form_value(form, "name"));
               if (!valid_link_token(token)) return answer_page(res, "Unknown link", "<p>This link is not valid.</p>", 404);
               std::string back = "<p><a href=\"/link?token=" + html_escape(token) + "\">Back</a></p>";
               if (!valid_text(name, SERVICE_MAX_NAME_BYTES))
                   return answer_page(res, "Refused", "<p>A display name is 1 to 64 bytes of visible text.</p>" + back, 400);
               if (text_key(name) == s.streamer_key)
                   return answer_page(res, "Name taken", "<p>That name is the streamer's own. Choose another.</p>" + back, 409);
               if (int64_t wait = s.limiter.take({{&s.options.limits.link_address, "link-address " + client_address(s, req)}})) {
                   res.set_header("Retry-After", std::to_string(wait));
                   return answer_page(res, "Too many tries",
                                      "<p>Too many tries from this address. Try again in " + std::to_string(wait) +
                                          " seconds.</p>" + back, 429);
               }
               switch (store_link(*s.store, token, name)) {
                   case LinkResult::UnknownToken: return answer_page(res, "Unknown link", "<p>This link is not valid.</p>", 404);
                   case LinkResult::AlreadyLinked:
                       return answer_page(res, "Already linked", "<p>This installation is already linked.</p>", 409);
                   case LinkResult::NameTaken:
                       return answer_page(res, "Name taken", "<p>Somebody already has that name. Choose another.</p>" + back, 409);
                   case LinkResult::Linked: break;
               }
               answer_page(res, "Linked",
                           "<p>Linked as <b>" + html_escape(name) + "</b>. Go back to vimo and click its speech bubble.</p>");
           }));

    // Stand-in for the streaming platform's channel page.
    h.Get(R"(/channel/([^/]+))", guarded([&s](const httplib::Request& req, httplib::Response& res) {
              std::string handle = req.matches[1].str();
              if (!valid_handle(handle)) return answer_page(res, "Unknown channel", "<p>No such channel.</p>", 404);
              bool live = false;
              for (const auto& h2 : store_live(*s.store)) live = live || h2 == handle;
              answer_page(res, handle, live ? "<p>Live now.</p>" : "<p>Offline.</p>");
          }));

    // ---- The streamer's calls (Bearer token) and page (token field) ----
    h.Post("/api/ingest", guarded(admin_call(s, do_ingest)));
    h.Post("/api/admin/live", guarded(admin_call(s, do_live)));
    h.Post("/api/admin/blog", guarded(admin_call(s, do_blog)));
    h.Post("/api/admin/bsky", guarded(admin_call(s, do_post)));
    h.Post("/api/admin/delete", guarded(admin_call(s, do_delete)));
    h.Post("/api/admin/ban", guarded(admin_call(s, do_ban)));
    h.Post("/api/admin/unban", guarded(admin_call(s, do_unban)));
    h.Post("/api/admin/words", guarded(admin_call(s, do_words)));
    // Recent messages (hidden ones too, with why), bans, blocked words and the log.
    h.Get("/api/admin/moderation", guarded([&s](const httplib::Request& req, httplib::Response& res) {
              if (admin_header_refused(s, req, res)) return;
              answer_json(res, moderation_json(s));
          }));

    h.Get("/admin", guarded([](const httplib::Request&, httplib::Response& res) {
              auto form = [](const char* action, const char* title, const std::string& fields) {
                  return std::string("<h2>") + title + "</h2><form method=\"post\" action=\"" + action +
                         "\"><label>Admin token <input type=\"password\" name=\"token\" required></label>" + fields +
                         "<button type=\"submit\">" + title + "</button></form>";
              };
              answer_page(res, "Streamer's page",
                          form("/admin/live", "Who is live",
                               "<label>Live handles, one per line <textarea name=\"handles\" rows=\"4\"></textarea></label>") +
                              form("/admin/blog", "Add a blog entry",
                                   "<label>Title <input name=\"title\" required></label><label>Link <input name=\"link\"></label>"
                                   "<label>Text <textarea name=\"description\" rows=\"3\"></textarea></label>") +
                              form("/admin/bsky", "Post",
                                   "<label>Text <textarea name=\"text\" rows=\"3\" required></textarea></label>") +
                              form("/admin/chat", "Send chat",
                                   "<label>Platform <select name=\"platform\"><option>twitch</option><option>discord</option>"
                                   "<option>web</option><option>matrix</option><option>corvane</option></select></label>"
                                   "<label>Sender id <input name=\"sender_id\"></label>"
                                   "<label>Sender name <input name=\"sender_name\" required></label>"
                                   "<label>Text <input name=\"text\" required></label>") +
                              form("/admin/moderation", "Moderate", ""));
          }));
    h.Post("/admin/moderation", guarded([&s](const httplib::Request& req, httplib::Response& res) {
               Params form;
               const std::string* token = admin_form_token(s, req, res, &form);
               if (!token) return;
               answer_page(res, "Moderation", "<p><a href=\"/admin\">Back</a> " + moderation_button(*token, "Refresh") +
                                                   "</p>" + moderation_html(s, *token));
           }));
    h.Post("/admin/delete", guarded(admin_form(s, do_delete, [](const Params& f) { return json{{"message", form_value(f, "message")}}; })));
    auto ban_json = [](const Params& f) {
        if (param(f, "message")) return json{{"message", form_value(f, "message")}};
        return json{{"platform", form_value(f, "platform")}, {"sender_id", form_value(f, "sender_id")}};
    };
    h.Post("/admin/ban", guarded(admin_form(s, do_ban, ban_json)));
    h.Post("/admin/unban", guarded(admin_form(s, do_unban, ban_json)));
    h.Post("/admin/words", guarded(admin_form(s, do_words, [](const Params& f) {
               json words = json::array();
               std::string all = form_value(f, "words"), line;
               for (size_t i = 0; i <= all.size(); ++i) {
                   if (i == all.size() || all[i] == '\n' || all[i] == '\r') {
                       if (!trim(line).empty()) words.push_back(line);
                       line.clear();
                   } else {
                       line += all[i];
                   }
               }
               return json{{"words", words}};
           })));
    h.Post("/admin/live", guarded(admin_form(s, do_live, [](const Params& f) {
               json handles = json::array();
               std::string all = form_value(f, "handles"), line;
               for (size_t i = 0; i <= all.size(); ++i) {
                   if (i == all.size() || all[i] == '\n' || all[i] == '\r' || all[i] == ' ' || all[i] == ',') {
                       if (!line.empty()) handles.push_back(line);
                       line.clear();
                   } else {
                       line += all[i];
                   }
               }
               return json{{"handles", handles}};
           })));
    h.Post("/admin/blog", guarded(admin_form(s, do_blog, [](const Params& f) {
               return json{{"title", form_value(f, "title")}, {"link", form_value(f, "link")}, {"description", form_value(f, "description")}};
           })));
    h.Post("/admin/bsky", guarded(admin_form(s, do_post, [](const Params& f) { return json{{"text", form_value(f, "text")}}; })));
    h.Post("/admin/chat", guarded(admin_form(s, do_ingest, [](const Params& f) {
               return json{{"platform", form_value(f, "platform")}, {"sender_id", form_value(f, "sender_id")},
                           {"sender_name", form_value(f, "sender_name")}, {"text", form_value(f, "text")}};
           })));
}

}  // namespace

ServicePtr service_create(const ServiceOptions& options, std::string* error) {
    ServicePtr s(new Service);
    s->options = options;
    s->store = store_open(options.db_path, error);
    if (!s->store) return nullptr;
    s->admin_token = store_admin_token(*s->store, &s->token_created);
    store_set_keep(*s->store, options.keep_messages);
    s->streamer_key = text_key(options.streamer);
    int threads = std::max(4, options.threads);
    s->http.new_task_queue = [threads] { return new httplib::ThreadPool(size_t(threads)); };
    s->http.set_payload_max_length(SERVICE_MAX_BODY_BYTES);
    s->http.set_keep_alive_max_count(10000);
    s->http.set_tcp_nodelay(true);  // headers and body go out in separate writes: no 40 ms Nagle stall
    s->http.set_read_timeout(5, 0);
    s->http.set_write_timeout(5, 0);
    add_routes(*s);
    return s;
}

std::string service_admin_token(Service& s, bool* created_now) {
    if (created_now) *created_now = s.token_created;
    return s.admin_token;
}

int service_bind(Service& s) {
    if (s.options.port == 0) {
        s.port = s.http.bind_to_any_port(s.options.host);
    } else {
        s.port = s.http.bind_to_port(s.options.host, s.options.port) ? s.options.port : -1;
    }
    if (s.port < 0) return -1;
    s.origin = s.options.origin;
    while (!s.origin.empty() && s.origin.back() == '/') s.origin.pop_back();
    if (s.origin.empty()) {
        std::string host = s.options.host == "0.0.0.0" ? "127.0.0.1" : s.options.host;
        s.origin = "http://" + host + ":" + std::to_string(s.port);
    }
    return s.port;
}

std::string service_origin(Service& s) { return s.origin; }

void service_run(Service& s) { s.http.listen_after_bind(); }

bool service_wait_running(Service& s, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!s.http.is_running()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

void service_stop(Service& s) { s.http.stop(); }

void ServiceDeleter::operator()(Service* s) const { delete s; }

void service_destroy(ServicePtr& s) { s.reset(); }
