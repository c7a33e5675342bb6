// The Twitch bridge inside a real Service against the scripted Twitch server
// (scripted/twitch_server.py over TLS): what it stores and how the companion
// sees it, Twitch's moderation, PING, RECONNECT, silence and a server restart;
// hostile lines and a flood; a prompt stop and options that cannot work.
#include <set>

#include "bridge_test_util.h"
#include "bridges/bridge.h"
#include "service_fixture.h"

using namespace service_test;
using namespace bridge_test;

namespace {

class TwitchBridgeTest : public ServiceTest {
protected:
    // Restarts the service with the bridge reading channels from the scripted server.
    void start_bridge(const ScriptedTwitch& server, std::vector<std::string> channels, double silence_s = 300) {
        options.bridges.twitch_channels = std::move(channels);
        options.bridges.twitch_server = "localhost:" + std::to_string(server.port());
        options.bridges.tls_ca = server.ca();
        options.bridges.twitch_silence_s = silence_s;
        restart();
        lines = service_start_bridges(*service);
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
    std::vector<std::string> lines;  // what service_start_bridges said
};

// Sends command and waits until text is on the chat page.
#define SAY_AND_WAIT(server, command, text)                               \
    do {                                                                  \
        ASSERT_EQ((server).control(command).value("ok", false), true);    \
        ASSERT_TRUE(wait_until(15, [&] { return has_text(text); })) << text; \
    } while (0)

TEST_F(TwitchBridgeTest, ScriptedServerScenario) {
    auto server = std::make_unique<ScriptedTwitch>(certs());
    ASSERT_TRUE(server->ok());
    start_bridge(*server, {"vimochan", "Second"}, 3);
    ASSERT_EQ(lines, std::vector<std::string>{"twitch: reading #vimochan, #second"});
    ASSERT_TRUE(wait_until(15, [&] { return server->joined({"#vimochan", "#second"}); }));
    std::vector<std::string> sent = server->client_lines();
    ASSERT_GE(sent.size(), 4u);
    EXPECT_EQ(sent[0], "CAP REQ :twitch.tv/tags twitch.tv/commands");
    EXPECT_TRUE(sent[1].rfind("NICK justinfan", 0) == 0 && sent[1].size() > 14) << sent[1];
    EXPECT_NE(std::find(sent.begin(), sent.end(), "JOIN #vimochan"), sent.end());
    EXPECT_NE(std::find(sent.begin(), sent.end(), "JOIN #second"), sent.end());

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
    sent = server->client_lines();
    EXPECT_NE(std::find(sent.begin(), sent.end(), "PONG :tmi.twitch.tv"), sent.end());
    json log = call("GET", "/api/admin/moderation", "", token).parsed()["log"];
    std::multiset<std::string> by_twitch;
    for (const json& e : log)
        if (e["by"] == "twitch") by_twitch.insert(e["action"].get<std::string>());
    EXPECT_EQ(by_twitch, (std::multiset<std::string>{"delete", "time-out", "ban", "clear"}));

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

}  // namespace
