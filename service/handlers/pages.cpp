// The HTML pages of vimo-service and the admin page's forms (see pages.h).
#include "handlers/pages.h"

#include <initializer_list>
#include <utility>
#include <vector>

#include "chat/incoming.h"
#include "text/input.h"
#include "text/text.h"

namespace service_detail {

// ---- Moderation page -------------------------------------------------------------------

// A one-button form that carries the admin token, and the hidden fields given,
// to another admin action.
static std::string token_button(const std::string& token, const char* action, const std::string& label,
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

// Each chat bridge: what it reads, its state and next try, what it stored and dropped.
static std::string bridges_html(Service& s) {
    std::string h = "<h2>Chat bridges</h2>";
    if (s.options.hold_s > 0)
        h += "<p>Messages are held " + std::to_string(s.options.hold_s) +
             " s before desktops see them: a delete, time-out, ban or clear within that time means they never do.</p>";
    else
        h += "<p>Messages reach desktops as soon as they are stored (no hold: --hold SECONDS sets one).</p>";
    if (s.bridges.empty()) return h + "<p>No bridge runs: chat arrives through /api/ingest only.</p>";
    h += "<table><tr><th>Platform</th><th>Reads</th><th>State</th><th>Stored</th><th>Dropped over limits</th>"
         "<th>Other dropped</th><th>Last message</th><th>Reconnects</th><th>Last error</th><th>Details</th></tr>";
    for (auto& b : s.bridges) {
        json r = b->report().to_json();
        const json& d = r["dropped"];
        std::string state = r["state"].get<std::string>();
        if (r["next_try"].is_string()) state += ", next try " + r["next_try"].get<std::string>();
        h += "<tr><td>" + html_escape(r["platform"].get<std::string>()) + "</td><td>" +
             html_escape(r["reads"].get<std::string>()) + "</td><td>" + html_escape(state) + "</td><td>" +
             std::to_string(r["stored"].get<int64_t>()) + "</td><td>" + std::to_string(d["over_limits"].get<int64_t>()) +
             "</td><td>" +
             std::to_string(d["duplicates"].get<int64_t>() + d["banned"].get<int64_t>() + d["invalid"].get<int64_t>()) +
             "</td><td>" + html_escape(r["last_message_at"].get<std::string>()) + "</td><td>" +
             std::to_string(r["reconnects"].get<int64_t>()) + "</td><td>" + html_escape(r["last_error"].get<std::string>()) +
             "</td><td>" + html_escape(r["details"].get<std::string>()) + "</td></tr>";
    }
    return h + "</table>";
}

// The newest accounts: signed in with a platform (verified) or a typed name (unverified).
static std::string accounts_html(Service& s) {
    std::string h = "<h2>Accounts</h2><table><tr><th>Account</th><th>Name</th><th>Identity</th></tr>";
    std::vector<AccountRef> accounts = store_accounts(*s.store, 100);
    for (const AccountRef& a : accounts)
        h += "<tr><td>" + std::to_string(a.id) + "</td><td><bdi>" + html_escape(a.name) + "</bdi></td><td>" +
             (a.verified() ? "verified: " + html_escape(a.platform + " " + a.sender) : "unverified (typed name)") +
             "</td></tr>";
    if (accounts.empty()) h += "<tr><td>No accounts yet.</td></tr>";
    return h + "</table>";
}

// The streamer's moderation page: recent messages with their buttons, bans, blocked words, the log.
static std::string moderation_html(Service& s, const std::string& token) {
    std::string h = "<h2>Recent messages</h2><table>";
    std::vector<StoredMessage> messages = store_recent_messages(*s.store, 100);
    for (const StoredMessage& m : messages) {
        std::string value = chat_message_value(s, m.seq), who = m.platform + ":" + m.sender, shown;
        if (m.platform != NAME_PLATFORM)
            if (auto name = store_chatter_name(*s.store, m.platform, m.sender)) shown = *name;
        const char* state = m.removed ? "deleted" : m.banned ? "banned sender" : m.blocked ? "blocked word" : "";
        // <bdi>: a name written right to left (or stored before names were checked) cannot
        // reorder the id beside it.
        if (!shown.empty()) who = "<bdi>" + html_escape(shown) + "</bdi> (" + html_escape(who) + ")";
        else who = "<bdi>" + html_escape(who) + "</bdi>";
        h += "<tr><td>" + who + "</td><td>" + html_escape(m.text) + "</td><td>" + state + "</td><td>";
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
        h += "<tr><td>" + html_escape(a.at) + "</td><td>" + html_escape(a.by) + "</td><td>" + html_escape(a.action) +
             "</td><td>" + html_escape(a.target) + "</td><td>" + html_escape(a.detail) + "</td></tr>";
    return bridges_html(s) + h + "</table>" + accounts_html(s);
}

// ---- Page handlers -------------------------------------------------------------------

void get_home(Service&, const httplib::Request&, httplib::Response& res) {
    answer_page(res, "vimo community service",
                "<p>The companion's chat, accounts, live list and feeds live here.</p>"
                "<ul><li><a href=\"/data/blog.xml\">Blog feed</a></li><li><a href=\"/admin\">Streamer's page</a></li></ul>");
}

void get_link(Service& s, const httplib::Request& req, httplib::Response& res) {
    Params q;
    const std::string* token = query_params(req, &q) ? param(q, "token") : nullptr;
    auto info = token && valid_link_token(*token) ? store_link_info(*s.store, *token) : std::nullopt;
    if (!info) return answer_page(res, "Unknown link", UNKNOWN_LINK_HTML, 404);
    if (info->linked)
        return answer_page(res, "Already linked",
                           "<p>This installation is linked as <b>" + html_escape(info->name) +
                               "</b>. Go back to vimo and click its speech bubble.</p>");
    // The companion showed its person this code when it opened the page. A page
    // somebody else sent shows a code of their installation's, which the person's
    // own mascot does not: signing in there would let the sender post as them.
    std::string code = "<p>Is this the code your mascot shows?</p><p class=\"code\" id=\"link-code\"><b>" +
                       html_escape(info->code) +
                       "</b></p><p>If your mascot shows another code, or you did not ask it to log in, close this page: "
                       "somebody else's installation would be linked to you, and they could post as you.</p>";
    // A community with a registered app links people as who they are on the platform.
    if (!s.signin.empty()) {
        answer_page(res, "Link vimo to your account",
                    code + "<p>Sign in with your account on the platform. Only your id and display name are read, "
                           "and nothing is posted for you.</p>" + signin_buttons(s, *token));
        // The buttons' answer is a redirect to the platform, which browsers hold
        // to form-action as well: the platforms' origins are allowed beside 'self'.
        std::string csp = PAGE_CSP;
        for (const SigninProvider& p : s.signin) {
            size_t host = p.base_url.find("://");
            csp += " " + p.base_url.substr(0, host == std::string::npos ? 0 : p.base_url.find('/', host + 3));
        }
        res.headers.erase("Content-Security-Policy");
        res.set_header("Content-Security-Policy", csp);
        return;
    }
    answer_page(res, "Link vimo to your account",
                code + "<form method=\"post\" action=\"/link\"><input type=\"hidden\" name=\"token\" value=\"" +
                    html_escape(*token) +
                    "\"><label>Display name <input name=\"name\" maxlength=\"32\" required autofocus></label>"
                    "<button type=\"submit\">Link</button></form>");
}

void post_link(Service& s, const httplib::Request& req, httplib::Response& res) {
    Params form;
    if (!parse_params(req.body, true, &form)) return answer_page(res, "Refused", "<p>Malformed form.</p>", 400);
    // Only this service's own link page links: another site's form would link the
    // visitor's browser session to a token of its choosing. Past this check the
    // form came from the page that holds the token, so "Back" shows it nobody new.
    if (!from_own_page(s, req))
        return answer_page(res, "Refused", "<p>A link is made from this service's own link page.</p>", 403);
    std::string token = form_value(form, "token"), name = trim(form_value(form, "name"));
    if (!valid_link_token(token)) return answer_page(res, "Unknown link", UNKNOWN_LINK_HTML, 404);
    std::string back = "<p><a href=\"/link?token=" + html_escape(token) + "\">Back</a></p>";
    // Typed names are for communities without a registered app: with one, nobody types a name.
    if (!s.signin.empty())
        return answer_page(res, "Refused", "<p>This community links accounts by signing in with the platform.</p>" + back,
                           403);
    if (!valid_text(name, 4 * SERVICE_MAX_NAME_CHARS))
        return answer_page(res, "Refused", "<p>A display name is 1 to 32 characters of visible text.</p>" + back, 400);
    // A typed name meets the rule every name meets; nobody typing proves to be the streamer.
    ShownName shown = name_shown(name, NameGuard{s.streamer, false, false});
    if (shown.refused == NameRefusal::Streamer)
        return answer_page(res, "Name taken", "<p>" + html_escape(name_refusal_text(shown.refused)) + "</p>" + back, 409);
    if (shown.refused != NameRefusal::None)
        return answer_page(res, "Refused", "<p>" + html_escape(name_refusal_text(shown.refused)) + "</p>" + back, 400);
    name = shown.name;
    if (int64_t wait = s.limiter.take({{&s.options.limits.link_address, "link-address " + client_address(s, req)}})) {
        res.set_header("Retry-After", std::to_string(wait));
        return answer_page(res, "Too many tries",
                           "<p>Too many tries from this address. Try again in " + std::to_string(wait) +
                               " seconds.</p>" + back, 429);
    }
    switch (store_link(*s.store, token, name)) {
        case LinkResult::UnknownToken: return answer_page(res, "Unknown link", UNKNOWN_LINK_HTML, 404);
        case LinkResult::AlreadyLinked:
            return answer_page(res, "Already linked", "<p>This installation is already linked.</p>", 409);
        case LinkResult::NameTaken:
            return answer_page(res, "Name taken", "<p>Somebody already has that name. Choose another.</p>" + back, 409);
        case LinkResult::Linked: break;
    }
    answer_page(res, "Linked",
                "<p>Linked as <b>" + html_escape(name) + "</b>. Go back to vimo and click its speech bubble.</p>");
}

// Stand-in for the streaming platform's channel page.
void get_channel(Service& s, const httplib::Request& req, httplib::Response& res) {
    std::string handle = req.matches[1].str();
    if (!valid_handle(handle)) return answer_page(res, "Unknown channel", "<p>No such channel.</p>", 404);
    bool live = false;
    for (const auto& h : store_live(*s.store)) live = live || h == handle;
    answer_page(res, handle, live ? "<p>Live now.</p>" : "<p>Offline.</p>");
}

void get_admin(Service&, const httplib::Request&, httplib::Response& res) {
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
}

void post_admin_moderation(Service& s, const httplib::Request& req, httplib::Response& res) {
    Params form;
    const std::string* token = admin_form_token(s, req, res, &form);
    if (!token) return;
    answer_page(res, "Moderation", "<p><a href=\"/admin\">Back</a> " + moderation_button(*token, "Refresh") +
                                       "</p>" + moderation_html(s, *token));
}

// ---- The admin page's forms as the JSON their calls take ---------------------------------

json delete_fields(const Params& f) { return json{{"message", form_value(f, "message")}}; }

json ban_fields(const Params& f) {
    if (param(f, "message")) return json{{"message", form_value(f, "message")}};
    return json{{"platform", form_value(f, "platform")}, {"sender_id", form_value(f, "sender_id")}};
}

json words_fields(const Params& f) {
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
}

json live_fields(const Params& f) {
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
}

json blog_fields(const Params& f) {
    return json{{"title", form_value(f, "title")}, {"link", form_value(f, "link")}, {"description", form_value(f, "description")}};
}

json post_fields(const Params& f) { return json{{"text", form_value(f, "text")}}; }

json chat_fields(const Params& f) {
    return json{{"platform", form_value(f, "platform")}, {"sender_id", form_value(f, "sender_id")},
                {"sender_name", form_value(f, "sender_name")}, {"text", form_value(f, "text")}};
}

}  // namespace service_detail
