// The streamer's actions of vimo-service and the two ways they are called (see
// actions.h).
#include "handlers/actions.h"

#include <optional>
#include <vector>

#include "text/input.h"
#include "handlers/pages.h"
#include "text/text.h"
#include "chat/incoming.h"

namespace service_detail {

// ---- Chat, live list, blog and posts ---------------------------------------------------

static Refusal too_many(int64_t retry_after) {
    return {429, "too many requests: try again in " + std::to_string(retry_after) + " s", retry_after};
}

Refusal do_ingest(Service& s, const httplib::Request& req, const json& in, json* result) {
    if (!in.is_object()) return "expected a JSON object";
    auto str = [&](const char* k) { return in.contains(k) && in[k].is_string() ? in[k].get<std::string>() : ""; };
    IncomingChat m;
    m.source = ChatSource::Ingest;
    m.platform = str("platform");
    m.sender_id = str("sender_id");
    m.sender_name = str("sender_name");
    m.text = str("text");
    m.look = chat_look_from_json(in);  // optional "color", "badges", "emotes", as the chat page serves them
    m.address = client_address(s, req);
    ChatReceipt r = chat_receive(s, std::move(m));
    switch (r.outcome) {
        case ChatOutcome::Stored: break;
        case ChatOutcome::Limited: return too_many(r.retry_after);
        case ChatOutcome::Banned: return {403, "this sender is banned"};
        default: return r.why;
    }
    *result = json{{"message", chat_message_value(s, r.seq)}};
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
static std::optional<int64_t> message_seq(Service& s, const std::string& value) {
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

static std::string json_text(const json& in, const char* key) {
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
// linked account: its platform identity, or "web" for a typed name) or {"platform", "sender_id"}.
static Refusal ban_target(Service& s, const json& in, std::string* platform, std::string* sender) {
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
        // A signed-in account is banned as its platform identity: its posts and its bridged chat.
        auto ref = store_account_by_id(*s.store, std::stoll(account));
        *platform = ref ? ref->platform : "web";
        *sender = ref ? ref->sender : account;
        return "";
    }
    *platform = json_text(in, "platform");
    *sender = json_text(in, "sender_id");
    if (*platform == NAME_PLATFORM) {
        if (!valid_text_chars(*sender, SERVICE_MAX_NAME_CHARS)) return "sender_id of corvane is the display name";
    } else if (!is_id_platform(*platform)) {
        return "give message, account, or platform and sender_id";
    } else if (!valid_sender_id(*sender)) {
        return "sender_id must be 1 to 128 of A-Z a-z 0-9 @ : . _ ~ -";
    }
    return "";
}

static Refusal do_ban_or_unban(Service& s, const json& in, json* result, bool ban) {
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
        messages.push_back(json{{"message", chat_message_value(s, m.seq)}, {"text", m.text}, {"chatter", chat_chatter_json(m)},
                                {"removed", m.removed}, {"blocked", m.blocked}, {"banned", m.banned}});
    for (const auto& [platform, sender] : store_bans(*s.store))
        bans.push_back(json{{"platform", platform}, {"sender_id", sender}});
    for (const ModAction& a : store_mod_log(*s.store, 200))
        log.push_back(
            json{{"at", a.at}, {"by", a.by}, {"action", a.action}, {"target", a.target}, {"detail", a.detail}});
    json accounts = json::array();
    for (const AccountRef& a : store_accounts(*s.store, 100))
        accounts.push_back(json{{"account", a.id}, {"name", a.name}, {"platform", a.platform}, {"sender_id", a.sender},
                                {"verified", a.verified()}});
    return json{{"messages", messages}, {"bans", bans}, {"words", store_blocked_words(*s.store)}, {"log", log},
                {"accounts", accounts}};
}

// ---- The two ways in ------------------------------------------------------------------

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
httplib::Server::Handler admin_form(Service& s, Action action, FormFields to_json) {
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

}  // namespace service_detail
