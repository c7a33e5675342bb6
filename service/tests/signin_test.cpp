// Sign-in with Twitch and Discord against a real OAuth 2.0 server on loopback
// (tools/oauth-mock/provider.mjs: oauth2-mock-server with a consent page and
// the platforms' user endpoints), followed over HTTP as a browser would, its
// one cookie kept: the whole flow to the companion's login answer, the account
// of one person across installations, posts under the platform identity,
// single-use, expiring, browser-bound states, and refusals that store nothing.
#include <regex>

#include <sqlite3.h>

#include <tuple>

#include "bridge_test_util.h"
#include "lookalikes.h"
#include "service_fixture.h"
#include "core/state.h"
#include "handlers/signin.h"
#include "text/text.h"

using namespace service_test;
using namespace bridge_test;

namespace {

// "http://127.0.0.1:PORT/path?query" into its port and target.
bool split_url(const std::string& url, int* port, std::string* target) {
    const std::string head = "http://127.0.0.1:";
    if (url.rfind(head, 0) != 0) return false;
    size_t slash = url.find('/', head.size());
    *port = std::stoi(url.substr(head.size(), slash - head.size()));
    *target = slash == std::string::npos ? "/" : url.substr(slash);
    return true;
}

std::string query_value(const std::string& url, const std::string& key) {
    size_t at = url.find("?" + key + "=");
    if (at == std::string::npos) at = url.find("&" + key + "=");
    if (at == std::string::npos) return "";
    size_t start = at + key.size() + 2, end = url.find('&', start);
    return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// One browser: requests to any loopback origin, the service's sign-in cookie kept.
// Its forms are on a page of the site they post to (the link page, the
// provider's consent page), so a POST says so as a browser does.
struct Browser {
    std::string cookie;  // "name=value" as last set
    Answer request(const std::string& method, const std::string& url, const std::string& form = "") {
        int port = 0;
        std::string target;
        Answer a;
        if (!split_url(url, &port, &target)) return a;
        httplib::Client c("127.0.0.1", port);
        httplib::Headers h;
        if (!cookie.empty()) h.emplace("Cookie", cookie);
        if (method == "POST") {
            h.emplace("Sec-Fetch-Site", "same-origin");
            h.emplace("Origin", "http://127.0.0.1:" + std::to_string(port));
        }
        auto r = method == "GET" ? c.Get(target, h) : c.Post(target, h, form, "application/x-www-form-urlencoded");
        if (!r) return a;
        a.status = r->status;
        a.body = r->body;
        a.headers = r->headers;
        std::string set = r->get_header_value("Set-Cookie");
        if (!set.empty()) cookie = set.substr(0, set.find(';'));
        return a;
    }
};

class SigninTest : public ServiceTest {
protected:
    // The provider of platform as a child on a free loopback port; its base URL.
    std::string start_provider(const std::string& platform, const json& users, const std::string& secret = "s3cret") {
        auto child = std::make_unique<Child>(std::vector<std::string>{
            VIMO_NODE, VIMO_OAUTH_PROVIDER, "--platform", platform, "--client-id", platform + "-app",
            "--client-secret", secret, "--users", users.dump()});
        std::string line;
        if (!child->read_line(&line, 30) || line.rfind("listening ", 0) != 0) return "";
        providers.push_back(std::move(child));
        return "http://127.0.0.1:" + line.substr(10);
    }
    // Restarts the service signing in with the providers at these bases ("" leaves one out).
    void use_providers(const std::string& twitch, const std::string& discord, const std::string& secret = "s3cret") {
        options.signin.twitch_client_id = twitch.empty() ? "" : "twitch-app";
        options.signin.twitch_secret = secret;
        options.signin.twitch_id_base = twitch;
        options.signin.discord_client_id = discord.empty() ? "" : "discord-app";
        options.signin.discord_secret = secret;
        options.signin.discord_base = discord;
        restart();
    }
    std::string origin() { return "http://127.0.0.1:" + std::to_string(port); }
    std::string link_token(const std::string& login_id) {
        std::string url = get("/api/vimoexe/login?id=" + login_id).parsed()["url"];
        return url.substr(url.find("token=") + 6);
    }
    // From the link page to the provider's consent page; the authorize address it opened.
    std::string start(Browser& b, const std::string& platform, const std::string& token) {
        Answer page = b.request("GET", origin() + "/link?token=" + token);
        EXPECT_NE(page.body.find("action=\"/auth/" + platform + "\""), std::string::npos) << page.body;
        Answer go = b.request("POST", origin() + "/auth/" + platform, "token=" + token);
        EXPECT_EQ(go.status, 303) << go.body;
        std::string authorize = go.header("Location");
        Answer consent = b.request("GET", authorize);
        EXPECT_EQ(consent.status, 200) << consent.body;
        EXPECT_NE(consent.body.find("Authorize"), std::string::npos);
        return authorize;
    }
    // The person answers the consent page; the callback address the provider sends the browser to.
    std::string consent(Browser& b, const std::string& authorize, const std::string& decision, const std::string& login) {
        std::string form = authorize.substr(authorize.find('?') + 1) + "&login=" + login + "&decision=" + decision;
        Answer back = b.request("POST", authorize.substr(0, authorize.find('?')), form);
        EXPECT_EQ(back.status, 302) << back.body;
        return back.header("Location");
    }
    // The whole sign-in of login_id as the provider's login; the service's last page.
    Answer sign_in(Browser& b, const std::string& platform, const std::string& login_id, const std::string& login) {
        std::string callback = consent(b, start(b, platform, link_token(login_id)), "allow", login);
        last_callback = callback;
        return b.request("GET", callback);
    }
    json login(const std::string& login_id) { return get("/api/vimoexe/login?id=" + login_id).parsed(); }
    void db_exec(const std::string& sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((dir + "/service.db").c_str(), &db), SQLITE_OK);
        sqlite3_busy_timeout(db, 2000);
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
    int64_t stored_people() {
        return db_number("SELECT (SELECT COUNT(*) FROM accounts) + (SELECT COUNT(*) FROM installs) + "
                         "(SELECT COUNT(*) FROM identities)");
    }

    std::vector<std::unique_ptr<Child>> providers;  // killed when the test ends
    std::string last_callback;
};

const json TWITCH_USERS = {{"fan", {{"id", "1001"}, {"name", "Streamfan"}}},
                           {"fan_renamed", {{"id", "1001"}, {"name", "StreamfanTwo"}}}};
const json DISCORD_USERS = {{"ann", {{"id", "80351110224678912"}, {"name", "Ann Élise"}, {"username", "ann"}}},
                            {"plain", {{"id", "80351110224678913"}, {"name", nullptr}, {"username", "plainuser"}}}};

TEST_F(SigninTest, TwitchSignInIsOneAccountPerPersonPostingAsTheirChat) {
    // A typed name from before the app was registered stays, marked unverified.
    std::string typed = link("0:0:1", "Typist");
    std::string twitch = start_provider("twitch", TWITCH_USERS);
    ASSERT_FALSE(twitch.empty());
    use_providers(twitch, "");
    Answer typed_try = call("POST", "/link", "token=" + link_token("1:1:1") + "&name=Streamfan", "", "application/x-www-form-urlencoded");
    EXPECT_EQ(typed_try.status, 403);  // with an app, nobody types a name

    Browser b;
    Answer done = sign_in(b, "twitch", "1:1:1", "fan");
    EXPECT_EQ(done.status, 200) << done.body;
    EXPECT_NE(done.body.find("Logged in as <b>Streamfan</b> with Twitch"), std::string::npos) << done.body;
    EXPECT_NE(b.cookie.find("vimo_signin="), std::string::npos);
    json user = login("1:1:1")["user"];
    EXPECT_EQ(user["twitch"]["name"], "Streamfan");  // what the companion's greeting reads
    EXPECT_EQ(user["twitch"]["id"], "1001");
    EXPECT_EQ(user["verified"], true);
    std::string account = user["id"];

    // A second installation of the same person, whose Twitch name changed since: one account, today's name.
    Browser other;
    EXPECT_EQ(sign_in(other, "twitch", "2:2:2", "fan_renamed").status, 200);
    EXPECT_EQ(login("2:2:2")["user"]["id"], account);
    EXPECT_EQ(login("1:1:1")["user"]["twitch"]["name"], "StreamfanTwo");
    EXPECT_EQ(db_number("SELECT COUNT(*) FROM identities"), 1);

    // The post is chat of Twitch id 1001, as is that person's bridged chat: one name, one lookup.
    Answer post = call("POST", "/api/vimoexe/chat?id=1:1:1&content=hello%20desk");
    ASSERT_EQ(post.status, 200) << post.body;
    ingest("twitch", "1001", "StreamfanTwo", "hello from twitch");
    json page = chat(2);
    EXPECT_EQ(page[0]["chatter"], json({{"twitch", "1001"}}));
    EXPECT_EQ(page[1]["chatter"], json({{"twitch", "1001"}}));
    EXPECT_EQ(get("/api/user?select=twitch.name&where=twitch.id=1001").parsed()[0]["twitch"]["name"], "StreamfanTwo");

    // A ban of the account reaches the person's bridged chat and their posts; the word filter both.
    admin("/api/admin/words", {{"words", {"forbidden"}}});
    EXPECT_EQ(call("POST", "/api/vimoexe/chat?id=2:2:2&content=forbidden%20thing").status, 200);
    EXPECT_EQ(chat(1)[0]["text"], "hello from twitch");  // held back by the filter
    EXPECT_EQ(admin("/api/admin/ban", {{"account", account}}).parsed()["banned"],
              json({{"platform", "twitch"}, {"sender_id", "1001"}}));
    EXPECT_EQ(call("POST", "/api/vimoexe/chat?id=1:1:1&content=again").status, 403);
    EXPECT_EQ(admin("/api/ingest", {{"platform", "twitch"}, {"sender_id", "1001"}, {"sender_name", "x"}, {"text", "t"}}).status,
              403);
    EXPECT_TRUE(chat(5).empty());

    // The streamer tells verified accounts from typed names.
    json accounts = call("GET", "/api/admin/moderation", "", token).parsed()["accounts"];
    ASSERT_EQ(accounts.size(), 2u);
    EXPECT_EQ(accounts[0]["verified"], true);
    EXPECT_EQ(accounts[1]["account"], std::stoll(typed));
    EXPECT_EQ(accounts[1]["verified"], false);
    Answer mod = call("POST", "/admin/moderation", "token=" + token, "", "application/x-www-form-urlencoded");
    EXPECT_NE(mod.body.find("unverified (typed name)"), std::string::npos);
    EXPECT_NE(mod.body.find("verified: twitch 1001"), std::string::npos);
}

TEST_F(SigninTest, DiscordSignInSendsPkceAndAnswersTheDiscordName) {
    std::string twitch = start_provider("twitch", TWITCH_USERS), discord = start_provider("discord", DISCORD_USERS);
    ASSERT_FALSE(discord.empty());
    use_providers(twitch, discord);
    Browser b;
    std::string authorize = start(b, "discord", link_token("3:3:3"));
    EXPECT_EQ(query_value(authorize, "code_challenge_method"), "S256");
    EXPECT_EQ(query_value(authorize, "code_challenge").size(), 43u);
    EXPECT_EQ(query_value(authorize, "scope"), "identify");
    // (httplib's client hands Location over percent-decoded.)
    EXPECT_EQ(query_value(authorize, "redirect_uri"), origin() + "/auth/discord/callback");
    Answer done = b.request("GET", consent(b, authorize, "allow", "ann"));
    EXPECT_EQ(done.status, 200) << done.body;
    json user = login("3:3:3")["user"];
    EXPECT_EQ(user["twitch"]["name"], "Ann Élise");  // the greeting's key, with the Discord name
    EXPECT_EQ(user["discord"]["id"], "80351110224678912");

    // No global name: the username. Twitch's authorize page gets no PKCE (Twitch takes none).
    Browser c;
    EXPECT_EQ(sign_in(c, "discord", "4:4:4", "plain").status, 200);
    EXPECT_EQ(login("4:4:4")["user"]["twitch"]["name"], "plainuser");
    Browser t;
    std::string twitch_authorize = start(t, "twitch", link_token("5:5:5"));
    EXPECT_EQ(query_value(twitch_authorize, "code_challenge"), "");
    EXPECT_EQ(query_value(twitch_authorize, "scope"), "openid");
    EXPECT_EQ(query_value(twitch_authorize, "redirect_uri"), origin() + "/auth/twitch/callback");
}

// Every lookalike of the streamer's handle as a Discord global name gives way to
// the username, and where the username spells the handle too, to the username
// with Discord's mark; Twitch's display name to the login or the id, marked; the
// streamer's own id (--streamer-ids) keeps the handle.
TEST_F(SigninTest, NoLookalikeSignsInAsTheStreamer) {
    auto lookalikes = lookalike_test::streamer_lookalikes();
    json discord_users = json::object(), twitch_users = json::object();
    std::vector<std::tuple<std::string, std::string, std::string>> want;  // platform, login, the name shown
    for (size_t i = 0; i < lookalikes.size(); ++i) {
        std::string login = "l" + std::to_string(i), username = i % 2 ? "quelmara" : "fan" + std::to_string(i);
        discord_users[login] = {{"id", std::to_string(90000 + i)}, {"name", lookalikes[i].first}, {"username", username}};
        want.emplace_back("discord", login, i % 2 ? "quelmara (discord)" : username);
    }
    discord_users["own"] = {{"id", "89999"}, {"name", "Quelmara"}, {"username", "quelmara"}};
    want.emplace_back("discord", "own", "Quelmara");
    twitch_users["cased"] = {{"id", "2001"}, {"name", "QuelMara"}};
    want.emplace_back("twitch", "cased", "quelmara (twitch)");  // the login
    twitch_users["localized"] = {{"id", "2002"}, {"name", "qu\u0435lmara"}};
    want.emplace_back("twitch", "localized", "2002 (twitch)");  // no login to be read: the id
    twitch_users["fine"] = {{"id", "2003"}, {"name", "Quelmarafan"}};
    want.emplace_back("twitch", "fine", "Quelmarafan");
    std::string discord = start_provider("discord", discord_users), twitch = start_provider("twitch", twitch_users);
    ASSERT_FALSE(discord.empty() || twitch.empty());
    options.limits.signin_address = {0, 0};
    options.streamer_ids = {"discord:89999"};
    use_providers(twitch, discord);
    int n = 0;
    for (const auto& [platform, login, name] : want) {
        Browser b;
        std::string login_id = "7:7:" + std::to_string(n++);
        Answer done = sign_in(b, platform, login_id, login);
        ASSERT_EQ(done.status, 200) << login << done.body;
        std::string id = this->login(login_id)["user"][platform]["id"].get<std::string>();
        Answer user = get("/api/user?select=" + platform + ".name&where=" + platform + ".id=" + id);
        ASSERT_EQ(user.status, 200) << login;
        std::string shown = user.parsed()[0][platform]["name"];
        EXPECT_EQ(shown, name) << platform << " " << login;
        EXPECT_EQ(this->login(login_id)["user"]["twitch"]["name"], name);  // the greeting's
        if (login != "own") lookalike_test::expect_not_streamer(shown, platform + " " + login);
    }
}

TEST_F(SigninTest, StatesAreSingleUseExpireAndStayWithTheirBrowser) {
    std::string twitch = start_provider("twitch", TWITCH_USERS);
    use_providers(twitch, "");
    Browser b;
    ASSERT_EQ(sign_in(b, "twitch", "6:6:6", "fan").status, 200);
    // The same callback again (a reload, or somebody who saw the address): refused.
    Answer replay = b.request("GET", last_callback);
    EXPECT_EQ(replay.status, 400);
    EXPECT_NE(replay.body.find("already used"), std::string::npos);
    int64_t linked = stored_people();

    // Finished after more than 10 minutes: refused, with the way back to the link page.
    std::string token = link_token("7:7:7");
    std::string callback = consent(b, start(b, "twitch", token), "allow", "fan");
    db_exec("UPDATE signins SET created_ms = created_ms - 600001");
    Answer late = b.request("GET", callback);
    EXPECT_EQ(late.status, 400);
    EXPECT_NE(late.body.find("expired"), std::string::npos);
    EXPECT_EQ(late.body.find(token), std::string::npos);  // a refusal never hands the link token on

    // A callback reached by another browser than the one that started it.
    callback = consent(b, start(b, "twitch", token), "allow", "fan");
    Browser stranger;
    Answer elsewhere = stranger.request("GET", callback);
    EXPECT_EQ(elsewhere.status, 400);
    EXPECT_NE(elsewhere.body.find("another browser"), std::string::npos);
    EXPECT_EQ(elsewhere.body.find(token), std::string::npos);
    // Nor does the right browser get a second go with that state.
    EXPECT_NE(b.request("GET", callback).body.find("already used"), std::string::npos);
    // A state this service never made, and none at all.
    EXPECT_EQ(b.request("GET", origin() + "/auth/twitch/callback?code=x&state=" + std::string(64, 'a')).status, 400);
    EXPECT_EQ(b.request("GET", origin() + "/auth/twitch/callback?code=x").status, 400);
    EXPECT_EQ(stored_people(), linked);
    EXPECT_EQ(login("7:7:7")["status"], false);
    // Another site's form cannot start one.
    Answer cross = call("POST", "/auth/twitch", "token=" + token, "", "application/x-www-form-urlencoded",
                        {{"Sec-Fetch-Site", "cross-site"}});
    EXPECT_EQ(cross.status, 403);
}

TEST_F(SigninTest, RefusalsSayWhatHappenedAndStoreNothing) {
    std::string twitch = start_provider("twitch", TWITCH_USERS), discord = start_provider("discord", DISCORD_USERS);
    use_providers(twitch, discord);
    std::string token = link_token("8:8:8");

    // Cancelled at the provider.
    Browser b;
    Answer cancelled = b.request("GET", consent(b, start(b, "discord", token), "cancel", "ann"));
    EXPECT_EQ(cancelled.status, 400);
    EXPECT_NE(cancelled.body.find("You cancelled the sign-in at Discord"), std::string::npos) << cancelled.body;
    EXPECT_EQ(cancelled.body.find(token), std::string::npos);
    EXPECT_NE(cancelled.body.find("Go back to vimo and choose Log In again."), std::string::npos);

    // A wrong PKCE verifier: Discord's stand-in refuses the code, and the page says so.
    std::string callback = consent(b, start(b, "discord", token), "allow", "ann");
    db_exec("UPDATE signins SET verifier = '" + std::string(64, 'f') + "'");
    Answer pkce = b.request("GET", callback);
    EXPECT_EQ(pkce.status, 502);
    EXPECT_NE(pkce.body.find("Discord refused the sign-in (invalid_request: code_verifier provided does not match"),
              std::string::npos) << pkce.body;

    // The provider refuses the app (a wrong client secret) or cannot be reached.
    use_providers(twitch, discord, "not-the-secret");
    Browser c;
    Answer refused = c.request("GET", consent(c, start(c, "twitch", token), "allow", "fan"));
    EXPECT_EQ(refused.status, 502);
    EXPECT_NE(refused.body.find("Twitch refused the sign-in (invalid_client"), std::string::npos) << refused.body;
    callback = consent(c, start(c, "twitch", token), "allow", "fan");
    providers[0]->kill();
    Answer gone = c.request("GET", callback);
    EXPECT_EQ(gone.status, 502);
    EXPECT_NE(gone.body.find("Twitch could not be reached"), std::string::npos) << gone.body;
    EXPECT_EQ(stored_people(), 0);
    EXPECT_EQ(login("8:8:8")["status"], false);

    // A secret is never sent in the clear beyond this machine.
    options.signin.twitch_id_base = "http://192.0.2.1:8080";
    std::string error;
    ServiceOptions o = options;
    o.port = 0;
    o.db_path = dir + "/other.db";
    EXPECT_FALSE(service_create(o, &error));
    EXPECT_NE(error.find("plain http:// only to this machine"), std::string::npos) << error;
}

std::string hex_of(const std::string& text) {
    static const char HEX[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) out += std::string{HEX[c >> 4], HEX[c & 15]};
    return out;
}

// Everything an attacker on another page, with a planted cookie or with a link
// token read off a page could do to link their installation to somebody else.
TEST_F(SigninTest, OnlyThePersonsOwnBrowserOnTheServicesPagesLinks) {
    // Tokens are random: nothing of the login id in them, two installations with
    // ids alike share nothing, and each page has a short code easy to read back.
    const std::string id_a = "1056964608:0:1065353216", id_b = "1056964608:0:1065353217";
    json ask_a = login(id_a), ask_b = login(id_b);
    std::string tok_a = link_token(id_a), tok_b = link_token(id_b);
    for (const std::string& tok : {tok_a, tok_b}) {
        EXPECT_EQ(tok.size(), 48u);
        for (const std::string& id : {id_a, id_b}) {
            EXPECT_EQ(tok.find(hex_of(id)), std::string::npos);
            EXPECT_EQ(tok.find(hex_of(id.substr(0, 6))), std::string::npos);  // not even a part
            EXPECT_EQ(tok.find(id.substr(0, 6)), std::string::npos);
        }
    }
    EXPECT_NE(tok_a.substr(0, 16), tok_b.substr(0, 16));
    const std::regex code_shape("[2-9A-HJ-NP-Z]{3}-[2-9A-HJ-NP-Z]{3}");
    std::string code_a = ask_a["code"];
    EXPECT_TRUE(std::regex_match(code_a, code_shape)) << code_a;
    EXPECT_NE(code_a, ask_b["code"].get<std::string>());
    // Asking again hands out the same token and code: polls make no rows.
    for (int i = 0; i < 20; ++i) login(id_a);
    EXPECT_EQ(link_token(id_a), tok_a);
    EXPECT_EQ(login(id_a)["code"], code_a);
    EXPECT_EQ(db_number("SELECT COUNT(*) FROM link_tokens"), 2);
    Answer page = get("/link?token=" + tok_a);
    EXPECT_NE(page.body.find("Is this the code your mascot shows?"), std::string::npos);
    EXPECT_NE(page.body.find("<b>" + code_a + "</b>"), std::string::npos) << page.body;
    EXPECT_EQ(page.body.find(ask_b["code"].get<std::string>()), std::string::npos);

    // Typed names: another site's form, a sibling host, no sign at all: 403, nothing linked.
    const std::string form = "application/x-www-form-urlencoded", typed = "token=" + tok_a + "&name=Mallory";
    for (const httplib::Headers& h : std::vector<httplib::Headers>{{{"Origin", "https://evil.example"}},
                                                                  {{"Sec-Fetch-Site", "same-site"}},
                                                                  {{"Sec-Fetch-Site", "cross-site"}},
                                                                  {{"Sec-Fetch-Site", "none"}, {"Origin", origin()}}}) {
        Answer a = call("POST", "/link", typed, "", form, h);
        EXPECT_EQ(a.status, 403) << h.begin()->first << ": " << h.begin()->second;
        EXPECT_EQ(a.body.find(tok_a), std::string::npos);
    }
    auto bare = httplib::Client("127.0.0.1", port).Post("/link", typed, form.c_str());
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->status, 403);
    EXPECT_EQ(stored_people(), 0);

    // Sign-in: the same refusals at POST /auth/twitch, and no state kept.
    std::string twitch = start_provider("twitch", TWITCH_USERS);
    use_providers(twitch, "");
    // The buttons' redirect to the platform is within the page's form-action.
    Answer buttons = get("/link?token=" + tok_b);
    EXPECT_EQ(buttons.headers.count("Content-Security-Policy"), 1u);
    EXPECT_NE(buttons.header("Content-Security-Policy").find("form-action 'self' " + twitch), std::string::npos)
        << buttons.header("Content-Security-Policy");
    for (const httplib::Headers& h : std::vector<httplib::Headers>{{{"Origin", "https://evil.example"}},
                                                                  {{"Origin", "null"}},
                                                                  {{"Sec-Fetch-Site", "same-site"}},
                                                                  {{"Sec-Fetch-Site", "cross-site"}, {"Origin", origin()}}}) {
        Answer a = call("POST", "/auth/twitch", "token=" + tok_a, "", form, h);
        EXPECT_EQ(a.status, 403) << h.begin()->first << ": " << h.begin()->second;
        EXPECT_EQ(a.header("Location"), "");
        EXPECT_EQ(a.header("Set-Cookie"), "");
    }
    bare = httplib::Client("127.0.0.1", port).Post("/auth/twitch", "token=" + tok_a, form.c_str());
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->status, 403);
    EXPECT_EQ(db_number("SELECT COUNT(*) FROM signins"), 0);
    // A browser without Sec-Fetch-Site is believed by its Origin when that is the service's own.
    Answer own = call("POST", "/auth/twitch", "token=" + tok_a, "", form, {{"Origin", origin()}});
    EXPECT_EQ(own.status, 303);

    // A planted cookie is never adopted: the attacker starts a sign-in for their
    // installation with the value planted in the victim's browser, and the victim,
    // sent to the provider's page, authorizes it; the callback in the victim's
    // browser does not match the fresh value the attacker's start was bound to.
    const std::string planted = "vimo_signin=" + std::string(32, 'a');
    Browser attacker, victim;
    attacker.cookie = victim.cookie = planted;
    std::string authorize = start(attacker, "twitch", tok_a);
    EXPECT_NE(attacker.cookie, planted);
    EXPECT_TRUE(std::regex_match(attacker.cookie, std::regex("vimo_signin=[0-9a-f]{32}"))) << attacker.cookie;
    Answer refused = victim.request("GET", consent(victim, authorize, "allow", "fan"));
    EXPECT_EQ(refused.status, 400);
    EXPECT_NE(refused.body.find("another browser"), std::string::npos);
    EXPECT_EQ(refused.body.find(tok_a), std::string::npos);
    EXPECT_EQ(stored_people(), 0);
    EXPECT_EQ(login(id_a)["status"], false);
    // A token past its 30 minutes: unknown, its page shows no token, and the next
    // ask purges it and hands out a fresh one with a fresh code.
    db_exec("UPDATE link_tokens SET expires_ms = 1 WHERE token = '" + tok_a + "'");
    Answer gone = victim.request("POST", origin() + "/auth/twitch", "token=" + tok_a);
    EXPECT_EQ(gone.status, 404);
    EXPECT_EQ(gone.body.find(tok_a), std::string::npos);
    EXPECT_EQ(get("/link?token=" + tok_a).status, 404);
    EXPECT_NE(link_token(id_a), tok_a);
    EXPECT_EQ(db_number(("SELECT COUNT(*) FROM link_tokens WHERE token = '" + tok_a + "'").c_str()), 0);
    // Less than 15 minutes left: a fresh token, the old one still good to the end.
    std::string tok_a2 = link_token(id_a);
    db_exec("UPDATE link_tokens SET expires_ms = expires_ms - 20 * 60 * 1000");
    std::string tok_a3 = link_token(id_a);
    EXPECT_NE(tok_a3, tok_a2);
    EXPECT_EQ(get("/link?token=" + tok_a2).status, 200);

    // Over https the cookie is __Host- bound: Secure, Path=/, no Domain.
    options.origin = "https://chat.example.org";
    restart();
    Answer https = call("POST", "/auth/twitch", "token=" + link_token(id_b), "", form,
                        {{"Origin", "https://chat.example.org"}});
    EXPECT_EQ(https.status, 303) << https.body;
    std::string set = https.header("Set-Cookie");
    EXPECT_EQ(set.rfind("__Host-vimo_signin=", 0), 0u) << set;
    for (const char* part : {"; Path=/;", "; HttpOnly", "; SameSite=Lax", "; Secure"})
        EXPECT_NE(set.find(part), std::string::npos) << part << " in " << set;
    EXPECT_EQ(set.find("Domain"), std::string::npos);
}

TEST(SigninUnit, PkceAndPeopleFromProviderAnswers) {
    using namespace service_detail;
    // RFC 7636, appendix B.
    EXPECT_EQ(pkce_challenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
    using P = std::pair<std::string, std::string>;
    ServiceCore core;  // the names' rule reads only the streamer's keys and ids
    core.streamer = name_keys("quelmara");
    EXPECT_EQ(signin_person(core, "twitch", R"({"sub":"42","preferred_username":"someone"})"), P("42", "someone"));
    EXPECT_EQ(signin_person(core, "discord", R"({"id":"9","global_name":null,"username":"u"})"), P("9", "u"));
    // A name that cannot be shown (a bidi override) falls back to the username; with none usable, nobody.
    EXPECT_EQ(signin_person(core, "discord", "{\"id\":\"9\",\"global_name\":\"a\xE2\x80\xAE" "b\",\"username\":\"u\"}"), P("9", "u"));
    EXPECT_EQ(signin_person(core, "twitch", R"({"sub":"42","preferred_username":""})"), P("", ""));
    EXPECT_EQ(signin_person(core, "twitch", R"({"sub":"4 2","preferred_username":"x"})"), P("", ""));  // not an id
    EXPECT_EQ(signin_person(core, "twitch", R"({"sub":42,"preferred_username":"x"})"), P("", ""));
    EXPECT_EQ(signin_person(core, "discord", "[1]"), P("", ""));
    EXPECT_EQ(signin_person(core, "discord", "not json"), P("", ""));
}

}  // namespace
