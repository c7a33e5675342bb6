// The Twitch bridge inside a real Service against the scripted Twitch server
// (scripted/twitch_server.py over TLS): what it stores and how the companion
// sees it, Twitch's moderation, PING, RECONNECT, silence and a server restart;
// hostile lines and a flood; a prompt stop and options that cannot work.
#include <set>

#include "bridge_test_util.h"
#include "bridges/bridge.h"
#include "lookalikes.h"
#include "service_fixture.h"

using namespace service_test;
using namespace bridge_test;

namespace {

#define SAY_AND_WAIT(server, command, text)                               \
    do {                                                                  \
        ASSERT_EQ((server).control(command).value("ok", false), true);    \
        ASSERT_TRUE(wait_until(15, [&] { return has_text(text); })) << text; \
    } while (0)

class TwitchBridgeTest : public ServiceTest {
protected:
    // Restarts the service with the bridge reading channels from the scripted server.
    void start_bridge(const ScriptedTwitch& server, std::vector<std::string> channels, double silence_s = 300) {
        options.bridges.twitch_channels = std::move(channels);
        options.bridges.twitch_server = "localhost:" + std::to_string(server.port());
        options.bridges.tls_ca = server.ca();
        options.bridges.twitch_silence_s = silence_s;
        restart();
    }
    json report() {
        Answer a = call("GET", "/api/admin/bridges", "", token);
        EXPECT_EQ(a.status, 200);
        json j = a.parsed();
        return j["bridges"].empty() ? json::object() : j["bridges"][0];
    }
    // Texts of the newest chat page, oldest first.
    std::vector<std::string> texts() {
        std::vector<std::string> out;
        for (const json& m : chat(100)) out.push_back(m["text"]);
        return out;
    }
    bool has_text(const std::string& t) {
        auto all = texts();
        return std::find(all.begin(), all.end(), t) != all.end();
    }
    std::string name_of(const std::string& id) {
        Answer a = get("/api/user?select=twitch.name&where=twitch.id=" + id);
        return a.status == 200 ? a.parsed()[0]["twitch"]["name"].get<std::string>() : "status " + std::to_string(a.status);
    }
    static json say(const std::string& channel, const std::string& user, const std::string& user_id,
                    const std::string& id, const std::string& text) {
        return {{"cmd", "say"}, {"channel", channel}, {"user", user}, {"user_id", user_id}, {"id", id}, {"text", text}};
    }
    std::string certs() { return dir + "/certs"; }
    using Server = std::unique_ptr<ScriptedTwitch>;
    void names_and_split_lines(Server& server) {
        // Escaped display names, an empty one (the login instead), a line cut in two writes.
        ASSERT_TRUE(server->control({{"cmd", "send"}, {"lines", {
            "@display-name=Ann\\sB\\:C\\\\;id=a1;user-id=101 :ann!ann@ann.tmi.twitch.tv PRIVMSG #vimochan :hello there",
            "@display-name=;id=b1;user-id=102 :bob!bob@bob.tmi.twitch.tv PRIVMSG #vimochan :\x01" "ACTION waves\x01",
            "@id=x1;user-id=109 :eve!eve@eve.tmi.twitch.tv PRIVMSG #elsewhere :not ours"}}})["ok"]);
        SAY_AND_WAIT(*server, (json{{"cmd", "split"}, {"parts", {"@display-name=Carol;id=c1;user-i",
            "d=103 :carol!carol@c PRIVMSG #vimochan :cut in two\r\n"}}}), "cut in two");
        EXPECT_EQ(name_of("101"), "Ann B;C\\");
        EXPECT_EQ(name_of("102"), "bob");
        EXPECT_EQ(name_of("103"), "Carol");
        json page = chat(100);
        ASSERT_EQ(page.size(), 3u);
        EXPECT_EQ(page[0]["chatter"], json({{"twitch", "101"}}));
        EXPECT_EQ(page[0]["text"], "hello there");
        EXPECT_EQ(page[1]["text"], "waves");
        EXPECT_TRUE(page[2]["message"].is_string());
    }
    void twitch_moderation(Server& server) {
        // Twitch's moderation: a deletion, a 2 s time-out, a ban, a cleared channel.
        SAY_AND_WAIT(*server, (json{{"cmd", "send"}, {"lines", {
            "@id=d1;user-id=104 :dave!dave@d PRIVMSG #vimochan :deleted soon",
            "@id=e1;user-id=105 :erin!erin@e PRIVMSG #vimochan :timed out",
            "@id=f1;user-id=106 :finn!finn@f PRIVMSG #vimochan :banned",
            "@id=g1;user-id=107 :gus!gus@g PRIVMSG #second :cleared",
            "@id=g2;user-id=107 :gus!gus@g PRIVMSG #vimochan :kept in the other channel",
            "@login=dave;target-msg-id=d1 :tmi.twitch.tv CLEARMSG #vimochan :deleted soon",
            "@ban-duration=2;target-user-id=105 :tmi.twitch.tv CLEARCHAT #vimochan :erin",
            "@target-user-id=106 :tmi.twitch.tv CLEARCHAT #vimochan :finn",
            "@room-id=1 :tmi.twitch.tv CLEARCHAT #second",
            "PING :tmi.twitch.tv",
            "@id=g3;user-id=107 :gus!gus@g PRIVMSG #second :after the clear"}}}), "after the clear");
        EXPECT_EQ(texts(), (std::vector<std::string>{"hello there", "waves", "cut in two", "kept in the other channel",
                                                     "after the clear"}));
        ASSERT_TRUE(wait_until(10, [&] { return has_text("timed out"); })) << "the time-out ends";
        EXPECT_FALSE(has_text("banned"));
        std::vector<std::string> sent = server->client_lines();
        EXPECT_NE(std::find(sent.begin(), sent.end(), "PONG :tmi.twitch.tv"), sent.end());
        json log = call("GET", "/api/admin/moderation", "", token).parsed()["log"];
        std::multiset<std::string> by_twitch;
        for (const json& e : log)
            if (e["by"] == "twitch") by_twitch.insert(e["action"].get<std::string>());
        EXPECT_EQ(by_twitch, (std::multiset<std::string>{"delete", "time-out", "ban", "clear"}));
    }
    void reconnects_and_restarts(Server& server) {
        // RECONNECT, then silence (the server stops answering): each is a new connection
        // that joins both channels again.
        ASSERT_TRUE(server->control({{"cmd", "send"}, {"lines", {"RECONNECT"}}})["ok"]);
        ASSERT_TRUE(wait_until(15, [&] { return server->connections() == 2 && server->joined({"#vimochan", "#second"}); }));
        ASSERT_TRUE(server->control({{"cmd", "mute"}})["ok"]);
        ASSERT_TRUE(wait_until(20, [&] { return server->connections() == 3 && server->joined({"#vimochan", "#second"}); }));
        EXPECT_NE(report()["last_error"].get<std::string>().find("nothing from the server"), std::string::npos);

        // Killed and restarted on the same port: back within the back-off; the replayed
        // messages (same ids) are not stored again.
        int port = server->port();
        server->kill();
        ASSERT_TRUE(wait_until(10, [&] { return report()["state"] == "backing off"; }));
        EXPECT_TRUE(report()["next_try"].is_string());
        server = std::make_unique<ScriptedTwitch>(certs(), port);
        ASSERT_TRUE(server->ok());
        ASSERT_TRUE(wait_until(30, [&] { return server->joined({"#vimochan", "#second"}); }));
        SAY_AND_WAIT(*server, (json{{"cmd", "send"}, {"lines", {
            "@display-name=Ann;id=a1;user-id=101 :ann!ann@a PRIVMSG #vimochan :hello there",
            "@id=c1;user-id=103 :carol!carol@c PRIVMSG #vimochan :cut in two",
            "@id=n1;user-id=108 :nia!nia@n PRIVMSG #vimochan :new after the restart"}}}), "new after the restart");
        EXPECT_EQ(texts(), (std::vector<std::string>{"hello there", "waves", "cut in two", "timed out", "kept in the other channel",
                                                     "after the clear", "new after the restart"}));
        json r = report();
        EXPECT_EQ(r["platform"], "twitch");
        EXPECT_EQ(r["state"], "connected");
        EXPECT_EQ(r["stored"], 10);  // a1 b1 c1 d1 e1 f1 g1 g2 g3 n1
        EXPECT_GE(r["dropped"]["duplicates"].get<int>(), 2);
        EXPECT_GE(r["reconnects"].get<int>(), 3);
        EXPECT_EQ(r["moderation"], 4);
        Answer page_html = call("POST", "/admin/moderation", "token=" + token, "", "application/x-www-form-urlencoded");
        EXPECT_NE(page_html.body.find("#vimochan, #second"), std::string::npos);
    }
};

// Sends command and waits until text is on the chat page.

TEST_F(TwitchBridgeTest, ScriptedServerScenario) {
    auto server = std::make_unique<ScriptedTwitch>(certs());
    ASSERT_TRUE(server->ok());
    start_bridge(*server, {"vimochan", "Second"}, 3);
    ASSERT_EQ(bridge_lines, std::vector<std::string>{"twitch: reading #vimochan, #second"});
    ASSERT_TRUE(wait_until(15, [&] { return server->joined({"#vimochan", "#second"}); }));
    std::vector<std::string> sent = server->client_lines();
    ASSERT_GE(sent.size(), 4u);
    EXPECT_EQ(sent[0], "CAP REQ :twitch.tv/tags twitch.tv/commands");
    EXPECT_TRUE(sent[1].rfind("NICK justinfan", 0) == 0 && sent[1].size() > 14) << sent[1];
    EXPECT_NE(std::find(sent.begin(), sent.end(), "JOIN #vimochan"), sent.end());
    EXPECT_NE(std::find(sent.begin(), sent.end(), "JOIN #second"), sent.end());

    ASSERT_NO_FATAL_FAILURE(names_and_split_lines(server));
    ASSERT_NO_FATAL_FAILURE(twitch_moderation(server));
    ASSERT_NO_FATAL_FAILURE(reconnects_and_restarts(server));
}

// 10,000 random and malformed lines cut anywhere crash nothing and keep the
// connection; then a flood of 10,000 messages in a moment is stored as far as the
// limits allow (200 at once, 50 a second), the rest counted as dropped.
TEST_F(TwitchBridgeTest, HostileLinesAndAFlood) {
    ScriptedTwitch server(certs());
    ASSERT_TRUE(server.ok());
    start_bridge(server, {"hostile"});
    ASSERT_TRUE(wait_until(15, [&] { return server.joined({"#hostile"}); }));
    ASSERT_EQ(server.control({{"cmd", "junk"}, {"count", 10000}, {"seed", 11}, {"channel", "#hostile"}})["ok"], true);
    SAY_AND_WAIT(server, say("#hostile", "ok", "1", "good-1", "still reading"), "still reading");
    json r = report();
    EXPECT_EQ(r["state"], "connected");
    EXPECT_EQ(r["reconnects"], 0);
    EXPECT_EQ(server.connections(), 1);
    EXPECT_GT(r["errors"].get<int>(), 100);
    EXPECT_NE(r["last_error"], "");
    int64_t stored_before = r["stored"], limited_before = r["dropped"]["over_limits"];
    EXPECT_EQ(stored_before, 1) << "junk aimed at the channel is refused: only the good line is stored";

    auto begun = Clock::now();
    ASSERT_EQ(server.control({{"cmd", "flood"}, {"count", 10000}, {"senders", 1000}, {"channel", "#hostile"}})["ok"], true);
    ASSERT_TRUE(wait_until(60, [&] {
        json now = report();
        return now["stored"].get<int64_t>() - stored_before + now["dropped"]["over_limits"].get<int64_t>() - limited_before ==
               10000;
    }));
    double seconds = std::chrono::duration<double>(Clock::now() - begun).count();
    r = report();
    int64_t stored = r["stored"].get<int64_t>() - stored_before;
    int64_t limited = r["dropped"]["over_limits"].get<int64_t>() - limited_before;
    EXPECT_GE(stored, 199);  // the burst less the good line's token, at least
    EXPECT_LE(stored, 200 + int64_t(50 * seconds) + 1);
    EXPECT_EQ(stored + limited, 10000);
    EXPECT_EQ(r["dropped"]["duplicates"], 0);
    Answer page = call("POST", "/admin/moderation", "token=" + token, "", "application/x-www-form-urlencoded");
    EXPECT_NE(page.body.find("<td>" + std::to_string(r["dropped"]["over_limits"].get<int64_t>()) + "</td>"),
              std::string::npos);
}

// Every lookalike of the streamer's handle as a display-name tag reaches /api/user
// as the login with Twitch's mark; a login spelling the handle is marked too; the
// streamer's own id (--streamer-ids) keeps the handle.
TEST_F(TwitchBridgeTest, NoLookalikeOfTheStreamerIsServedAsTheStreamer) {
    ScriptedTwitch server(certs());
    ASSERT_TRUE(server.ok());
    options.streamer_ids = {"twitch:6999"};
    start_bridge(server, {"names"});
    ASSERT_TRUE(wait_until(15, [&] { return server.joined({"#names"}); }));
    std::vector<std::pair<std::string, std::string>> want;  // user id, the name /api/user answers
    auto lookalikes = lookalike_test::streamer_lookalikes();
    for (size_t i = 0; i < lookalikes.size(); ++i) {
        std::string login = "fan" + std::to_string(i), id = std::to_string(6000 + i);
        json line = say("#names", login, id, "n" + id, "hi");
        line["display_name"] = lookalikes[i].first;
        ASSERT_EQ(server.control(line).value("ok", false), true);
        want.emplace_back(id, login + " (twitch)");
    }
    json spelled = say("#names", "quelmara", "6998", "n6998", "hi"), own = say("#names", "quelmara", "6999", "n6999", "hi");
    spelled["display_name"] = own["display_name"] = "Quelmara";
    ASSERT_EQ(server.control(spelled).value("ok", false), true);
    want.emplace_back("6998", "quelmara (twitch)");
    SAY_AND_WAIT(server, own, "hi");
    want.emplace_back("6999", "Quelmara");
    ASSERT_TRUE(wait_until(15, [&] { return report()["stored"] == int(want.size()); })) << report();
    for (const auto& [id, name] : want) {
        std::string shown = name_of(id);
        EXPECT_EQ(shown, name) << id;
        if (id != "6999") lookalike_test::expect_not_streamer(shown, "twitch " + id);
    }
}

// stop() returns promptly while the TLS handshake hangs; a server whose certificate
// is not trusted is refused; options that cannot work say so and the service runs.
TEST_F(TwitchBridgeTest, StopsPromptlyRefusesUntrustedAndBadOptions) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);  // accepts in its backlog, never speaks
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len), 0);
    options.bridges.twitch_channels = {"quiet"};
    options.bridges.twitch_server = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    restart();
    pollfd p{listener, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1) << "the bridge connects";
    EXPECT_EQ(report()["state"], "connecting");
    auto begun = Clock::now();
    stop();
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - begun).count(), 3.0);
    close(listener);

    ScriptedTwitch server(certs());
    ASSERT_TRUE(server.ok());
    start_bridge(server, {"chan"});
    options.bridges.tls_ca = "";
    restart();
    ASSERT_TRUE(wait_until(15, [&] { return report()["state"] == "backing off"; }));
    EXPECT_NE(report()["last_error"].get<std::string>().find("certificate verify failed"), std::string::npos)
        << report()["last_error"];
    EXPECT_EQ(server.joined({"#chan"}), false);

    const std::pair<std::string, std::string> bad[] = {{"nonsense", "chan"}, {"localhost:6697", "two words"},
                                                       {"localhost:6697", "x\r\nQUIT"}};
    for (const auto& [server_option, channel] : bad) {
        options.bridges.twitch_server = server_option;
        options.bridges.twitch_channels = {channel};
        testing::internal::CaptureStderr();
        restart();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind("vimo-service: twitch: ", 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        ASSERT_EQ(bridge_lines.size(), 1u);
        EXPECT_EQ(bridge_lines[0].rfind("twitch: not started: ", 0), 0u) << bridge_lines[0];
        EXPECT_EQ(report()["state"], "failed");
        EXPECT_EQ(get("/api/chat?count=5").status, 200);
    }
}

}  // namespace
