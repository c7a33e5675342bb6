// Sign-in with Twitch and Discord against a real OAuth 2.0 server on loopback
// (tools/oauth-mock/provider.mjs: oauth2-mock-server with a consent page and
// the platforms' user endpoints), followed over HTTP as a browser would, its
// one cookie kept: the whole flow to the companion's login answer, the account
// of one person across installations, posts under the platform identity,
// single-use, expiring, browser-bound states, and refusals that store nothing.
#include <tuple>

#include "lookalikes.h"
#include "signin_fixture.h"
#include "core/state.h"
#include "handlers/signin.h"
#include "text/text.h"

using namespace signin_test;

namespace {

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
