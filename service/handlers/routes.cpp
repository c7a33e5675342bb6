// The routes of vimo-service: the companion's calls, and the table every route
// is registered from (see routes.h).
#include "handlers/routes.h"

#include <cctype>
#include <set>

#include "chat/incoming.h"
#include "handlers/actions.h"
#include "text/input.h"
#include "handlers/pages.h"

namespace service_detail {

// ---- The companion's calls ---------------------------------------------------------------

// Login ask: linked → the account; otherwise the page where the user links it.
static void get_login(Service& s, const httplib::Request& req, httplib::Response& res) {
    Params q;
    if (!query_params(req, &q)) return answer_error(res, 400, "malformed query");
    const std::string* id = param(q, "id");
    if (!id || !valid_login_id(*id)) return answer_error(res, 400, "id must be 1 to 128 of A-Z a-z 0-9 : . _ -");
    res.set_header("Cache-Control", "no-store");  // one installation's own answer
    LoginState st = store_login(*s.store, *id);
    // The code is what the link page shows too: the person compares the two.
    if (!st.linked)
        return answer_json(res, json{{"status", false}, {"url", s.origin + "/link?token=" + st.token}, {"code", st.code}});
    // The companion greets with user.twitch.name: every account is presented in that
    // shape (a Discord or typed name too), with the platform identity it signed in with.
    std::string acc = std::to_string(st.account);
    json user{{"id", acc}, {"twitch", {{"name", st.name}}}, {"web", {{"id", acc}, {"name", st.name}}}};
    if (!st.platform.empty()) user[st.platform] = {{"id", st.user_id}, {"name", st.name}};
    user["verified"] = !st.platform.empty();
    answer_json(res, json{{"status", true}, {"user", user}});
}

static void get_chat(Service& s, const httplib::Request& req, httplib::Response& res) {
    Params q;
    if (!query_params(req, &q)) return answer_error(res, 400, "malformed query");
    const std::string* c = param(q, "count");
    int count = 0;
    if (!c || !parse_count(*c, SERVICE_MAX_CHAT_COUNT, &count))
        return answer_error(res, 400, "count must be a whole number from 1 to 100");
    json page = json::array();
    for (const StoredMessage& m : store_chat_page(*s.store, count)) page.push_back(chat_message_json(s, m));
    answer_public_json(req, res, page);
}

// select=<p>.name&where=<p>.id=<id>, the one lookup the companion makes.
static void get_user(Service& s, const httplib::Request& req, httplib::Response& res) {
    Params q;
    if (!query_params(req, &q)) return answer_error(res, 400, "malformed query");
    const std::string *select = param(q, "select"), *where = param(q, "where");
    if (!select || !where) return answer_error(res, 400, "select and where are required");
    size_t dot = select->find('.');
    std::string platform = dot == std::string::npos ? "" : select->substr(0, dot);
    if (!is_id_platform(platform) || select->substr(dot) != ".name")
        return answer_error(res, 400, "select must be <platform>.name for twitch, discord, web, matrix, youtube or kick");
    std::string prefix = platform + ".id=";
    if (where->rfind(prefix, 0) != 0) return answer_error(res, 400, "where must be " + prefix + "<id>");
    std::string id = where->substr(prefix.size());
    if (!valid_sender_id(id)) return answer_error(res, 400, "bad id");
    auto name = store_chatter_name(*s.store, platform, id);
    if (!name) return answer_error(res, 404, "unknown user");
    answer_public_json(req, res, json::array({json{{platform, {{"id", id}, {"name", *name}}}}}));
}

// The composer's post: a message of the linked account; the body is its "message" value.
static void post_chat(Service& s, const httplib::Request& req, httplib::Response& res) {
    Params q;
    if (!query_params(req, &q)) return answer_error(res, 400, "malformed query");
    const std::string *id = param(q, "id"), *content = param(q, "content");
    if (!id || !valid_login_id(*id)) return answer_error(res, 400, "bad id");
    if (!content) return answer_error(res, 400, "content must be 1 to 500 characters of visible text");
    IncomingChat m;
    m.source = ChatSource::Composer;
    m.login_id = *id;
    m.text = *content;
    m.address = client_address(s, req);
    ChatReceipt r = chat_receive(s, std::move(m));
    switch (r.outcome) {
        case ChatOutcome::Stored: break;
        case ChatOutcome::Unlinked: return answer_error(res, 403, "this installation is not linked to an account");
        case ChatOutcome::Limited: return answer_too_many(res, r.retry_after);
        case ChatOutcome::Banned: return answer_error(res, 403, "this account is banned from the chat");
        default: return answer_error(res, 400, r.why);
    }
    res.set_content(chat_message_value(s, r.seq), "text/plain; charset=utf-8");
}

// The wake-up channel: held until a served message newer than the one the
// companion names in If-None-Match (the ETag of its last wake-up) exists.
static void get_wake(Service& s, const httplib::Request& req, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    if (s.wake.most() == 0) return answer_error(res, 404, "this service has no wake-up channel");
    std::string seen = req.get_header_value("If-None-Match");
    if (seen.rfind("W/", 0) == 0) seen.erase(0, 2);
    if (seen.size() >= 2 && seen.front() == '"' && seen.back() == '"') seen = seen.substr(1, seen.size() - 2);
    s.deadline.held(req.remote_addr, req.remote_port, WAKE_HOLD);
    std::string newest;
    switch (s.wake.wait(client_address(s, req), seen, WAKE_HOLD, &newest)) {
        case WakeHub::Waited::News:
            res.set_header("ETag", "\"" + newest + "\"");
            res.set_content(newest, "text/plain; charset=utf-8");
            return;
        case WakeHub::Waited::Quiet:
            res.status = 304;
            return;
        case WakeHub::Waited::Full:
            // Its threads are for the polls: this companion keeps its schedule for now.
            res.set_header("Retry-After", std::to_string(WAKE_BUSY_RETRY_AFTER));
            return answer_error(res, 503, "the wake-up channel is full");
        case WakeHub::Waited::AddressFull:
            // One address (a household, or one program opening many) may not take every place.
            res.set_header("Retry-After", std::to_string(WAKE_BUSY_RETRY_AFTER));
            return answer_error(res, 503, "this address holds " + std::to_string(WAKE_PER_ADDRESS) +
                                              " wake-up requests already");
        case WakeHub::Waited::Closed:
            return answer_error(res, 503, "the service is stopping");
    }
}

// The streamer's own handles (/api/admin/live) in their order, then the followed
// Twitch logins live now in --live-twitch's order, each name once (compared
// without case: a Twitch login is lower case, a handle may not be). The ETag is
// the body's, so it changes whenever the list does.
static void get_live(Service& s, const httplib::Request& req, httplib::Response& res) {
    std::vector<std::string> list = store_live(*s.store);
    std::set<std::string> seen;
    for (std::string h : list) {  // a handle is ASCII (valid_handle)
        for (char& c : h) c = char(std::tolower((unsigned char)c));
        seen.insert(h);
    }
    for (std::string& login : s.live_now.get())
        if (seen.insert(login).second) list.push_back(std::move(login));
    answer_public_json(req, res, json(list));
}

static void get_blog_xml(Service& s, const httplib::Request& req, httplib::Response& res) {
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
}

static void get_author_feed(Service& s, const httplib::Request& req, httplib::Response& res) {
    Params q;
    if (!query_params(req, &q)) return answer_json(res, json{{"error", "InvalidRequest"}, {"message", "malformed query"}}, 400);
    const std::string *actor = param(q, "actor"), *limit_text = param(q, "limit");
    if (!actor || !valid_actor(*actor))
        return answer_json(res, json{{"error", "InvalidRequest"}, {"message", "actor must be a handle or DID"}}, 400);
    int limit = 50;
    if (limit_text && !parse_count(*limit_text, 100, &limit))
        return answer_json(res, json{{"error", "InvalidRequest"}, {"message", "limit must be 1 to 100"}}, 400);
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
}

// Recent messages (hidden ones too, with why), bans, blocked words and the log.
static void get_moderation(Service& s, const httplib::Request& req, httplib::Response& res) {
    if (admin_header_refused(s, req, res)) return;
    answer_json(res, moderation_json(s));
}

// Each chat bridge's state: connected or backing off (with the next try), messages
// stored and dropped, last message, reconnects, the last error.
static void get_bridges(Service& s, const httplib::Request& req, httplib::Response& res) {
    if (admin_header_refused(s, req, res)) return;
    json list = json::array();
    for (auto& b : s.bridges) list.push_back(b->report().to_json());
    answer_json(res, json{{"bridges", list}});
}

// An emote's or a badge's image as one PNG (an animation's frames stacked, see
// images/images.h). Immutable once made: a key's image never changes.
static void get_emote(Service& s, const httplib::Request& req, httplib::Response& res) {
    Params q;
    if (!query_params(req, &q)) return answer_error(res, 400, "malformed query");
    const std::string* scale_text = param(q, "scale");
    int scale = 1;
    if (scale_text && *scale_text != "1" && *scale_text != "2") return answer_error(res, 400, "scale must be 1 or 2");
    if (scale_text) scale = *scale_text == "2" ? 2 : 1;
    // A first ask fetches the source, or waits for the fetch another ask began:
    // more than an ordinary answer's time (emotes/images.h).
    s.deadline.held(req.remote_addr, req.remote_port, std::chrono::seconds(int(IMAGE_LONGEST_ASK_S)));
    ImageAnswer a = s.images->get(req.matches[1].str(), scale);
    switch (a.kind) {
        case ImageAnswer::Png:
            res.set_header("Cache-Control", "public, max-age=604800, immutable");
            res.set_header("ETag", a.etag);
            if (req.get_header_value("If-None-Match").find(a.etag) != std::string::npos) {
                res.status = 304;
                return;
            }
            res.set_content(*a.png, "image/png");
            return;
        case ImageAnswer::Unknown:
            return answer_error(res, 404, "no such image");
        case ImageAnswer::Refused:
            // The companion shows this text in the image's place; asked again within
            // the refusal's memory, the answer is the same.
            res.set_header("Cache-Control", "public, max-age=600");
            res.status = 502;
            res.set_content(a.why, "text/plain; charset=utf-8");
            return;
    }
}

// ---- The table -----------------------------------------------------------------------------

using RouteHandler = void (*)(Service&, const httplib::Request&, httplib::Response&);

// One route: a handler of its own, or one of the streamer's actions reached as a
// JSON call (Bearer token) or, with fields, as a form of the admin page (token field).
struct Route {
    enum Method { GET, POST } method;
    const char* pattern;           // a path, or a regular expression (httplib matches the whole path)
    RouteHandler handler;          // nullptr for an action
    Action action = nullptr;
    FormFields fields = nullptr;   // nullptr: the JSON call
};

const Route ROUTES[] = {
    // The companion's calls.
    {Route::GET, "/api/vimoexe/login", get_login},
    {Route::GET, "/api/chat", get_chat},
    {Route::GET, "/api/user", get_user},
    {Route::POST, "/api/vimoexe/chat", post_chat},
    {Route::GET, "/api/wake", get_wake},
    {Route::GET, "/api/ferncircle", get_live},
    {Route::GET, "/data/blog.xml", get_blog_xml},
    {Route::GET, "/xrpc/app.bsky.feed.getAuthorFeed", get_author_feed},
    {Route::GET, R"(/api/emote/([^/]+))", get_emote},
    // Pages.
    {Route::GET, "/", get_home},
    {Route::GET, "/link", get_link},
    {Route::POST, "/link", post_link},
    {Route::GET, R"(/channel/([^/]+))", get_channel},
    {Route::POST, R"(/auth/(twitch|discord))", post_signin_start},
    {Route::GET, R"(/auth/(twitch|discord)/callback)", get_signin_callback},
    // The streamer's calls (Bearer token).
    {Route::POST, "/api/ingest", nullptr, do_ingest},
    {Route::POST, "/api/admin/live", nullptr, do_live},
    {Route::POST, "/api/admin/blog", nullptr, do_blog},
    {Route::POST, "/api/admin/bsky", nullptr, do_post},
    {Route::POST, "/api/admin/delete", nullptr, do_delete},
    {Route::POST, "/api/admin/ban", nullptr, do_ban},
    {Route::POST, "/api/admin/unban", nullptr, do_unban},
    {Route::POST, "/api/admin/words", nullptr, do_words},
    {Route::GET, "/api/admin/moderation", get_moderation},
    {Route::GET, "/api/admin/bridges", get_bridges},
    // The streamer's page (token field).
    {Route::GET, "/admin", get_admin},
    {Route::POST, "/admin/moderation", post_admin_moderation},
    {Route::POST, "/admin/delete", nullptr, do_delete, delete_fields},
    {Route::POST, "/admin/ban", nullptr, do_ban, ban_fields},
    {Route::POST, "/admin/unban", nullptr, do_unban, ban_fields},
    {Route::POST, "/admin/words", nullptr, do_words, words_fields},
    {Route::POST, "/admin/live", nullptr, do_live, live_fields},
    {Route::POST, "/admin/blog", nullptr, do_blog, blog_fields},
    {Route::POST, "/admin/bsky", nullptr, do_post, post_fields},
    {Route::POST, "/admin/chat", nullptr, do_ingest, chat_fields},
};

void add_routes(Service& s) {
    for (const Route& r : ROUTES) {
        httplib::Server::Handler h;
        if (r.handler) {
            h = [&s, f = r.handler](const httplib::Request& req, httplib::Response& res) { f(s, req, res); };
        } else if (r.fields) {
            h = admin_form(s, r.action, r.fields);
        } else {
            h = admin_call(s, r.action);
        }
        if (r.method == Route::GET) {
            s.http.Get(r.pattern, guarded(std::move(h)));
        } else {
            s.http.Post(r.pattern, guarded(std::move(h)));
        }
    }
}

}  // namespace service_detail
