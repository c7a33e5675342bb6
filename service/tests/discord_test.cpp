// The Discord bridge against a scripted gateway (scripted/discord_gateway.py, a
// child process on loopback over TLS with a throw-away CA): the whole life of a
// session, refused tokens and intents, hostile frames, a gateway restart, a stop
// while a handshake hangs; and the gateway URLs the bridge accepts.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <tuple>

#include "bridges/discord/gateway.h"
#include "discord_gateway_util.h"
#include "lookalikes.h"
#include "service_fixture.h"

using namespace service_test;
using namespace gateway_test;

namespace {

class DiscordBridgeTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        gateway.dir = dir + "/gateway";
        std::filesystem::create_directories(gateway.dir);
    }
    void TearDown() override {
        ServiceTest::TearDown();  // the bridge stops before its gateway goes
        gateway.kill();
    }
    // Restarts the service with a Discord bridge reading channels 111 and 222 of the gateway.
    void start_bridge(const std::string& bot_token) {
        options.bridges.discord_token = bot_token;
        options.bridges.discord_channels = {"111", "222"};
        options.bridges.discord_gateway = gateway.url();
        options.bridges.tls_ca = gateway.ca;
        restart();
        const std::vector<std::string>& lines = bridge_lines;
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], "discord: reading channels 111, 222");
    }
    json report() { return call("GET", "/api/admin/bridges", "", token).parsed()["bridges"][0]; }
    bool chat_has(const std::string& text) {
        for (const json& m : chat(100))
            if (m["text"] == text) return true;
        return false;
    }
    int name_status(const std::string& id) {
        return get("/api/user?select=discord.name&where=discord.id=" + id).status;
    }
    std::string name_of(const std::string& id) {
        Answer a = get("/api/user?select=discord.name&where=discord.id=" + id);
        return a.status == 200 ? a.parsed()[0]["discord"]["name"].get<std::string>() : "(" + std::to_string(a.status) + ")";
    }

    ScriptedGateway gateway;
};

TEST_F(DiscordBridgeTest, WholeSessionLifeAgainstTheGateway) {
    ASSERT_TRUE(gateway.start("bridge"));
    start_bridge("good-token");
    ASSERT_TRUE(wait_for([&] { return !gateway.done().is_null(); }, 90)) << read_file(gateway.dir + "/log.jsonl");
    EXPECT_EQ(gateway.done()["failures"], json::array());
    ASSERT_TRUE(wait_for([&] { return chat_has("the end"); }, 10));

    // What the companion reads: members' messages once each, oldest first, the
    // deleted one gone, bots, other channels and empty texts never there.
    std::vector<std::pair<std::string, std::string>> expected = {
        {"502", "hello from a global name"}, {"503", "hello from a username"}, {"501", "two lines"},
        {"506", "after the drop"},           {"507", "after a fresh identify"}, {"508", "before a timed-out session"},
        {"510", "the end"}};
    json page = chat(100);
    ASSERT_EQ(page.size(), expected.size()) << page.dump();
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(page[i]["text"], expected[i].second);
        EXPECT_EQ(page[i]["chatter"], json({{"discord", expected[i].first}}));
        EXPECT_TRUE(page[i]["message"].is_string());
    }
    EXPECT_EQ(name_of("501"), "Nick Name");    // the member's nick before the global name
    EXPECT_EQ(name_of("502"), "Only Global");  // no nick: the global name
    EXPECT_EQ(name_of("503"), "plainuser");    // neither: the user name
    EXPECT_EQ(name_of("507"), "Fresh Nick");
    for (const char* never : {"504", "505", "509"}) EXPECT_EQ(name_status(never), 404) << never;

    json log = call("GET", "/api/admin/moderation", "", token).parsed()["log"];
    int deletions = 0;
    for (const json& entry : log)
        if (entry["action"] == "delete" && entry["by"] == "discord") ++deletions;
    EXPECT_EQ(deletions, 1) << log.dump();

    json r = report();
    EXPECT_EQ(r["platform"], "discord");
    EXPECT_EQ(r["state"], "connected");
    EXPECT_EQ(r["stored"], 8);      // seven on the page and the one deleted
    EXPECT_EQ(r["reconnects"], 5);  // drop, Invalid Session, Reconnect, zombie, close 4009
    EXPECT_EQ(r["moderation"], 1);
    EXPECT_EQ(r["dropped"]["duplicates"], 1);  // the replay after Resume
    EXPECT_EQ(r["dropped"]["invalid"], 1);     // the empty text
}

TEST_F(DiscordBridgeTest, RefusedTokenOrIntentStopsTheBridgeNotTheService) {
    ASSERT_TRUE(gateway.start("reject"));
    testing::internal::CaptureStderr();
    start_bridge("bad-token");
    bool failed = wait_for([&] { return report()["state"] == "failed"; }, 30);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(failed) << report().dump();
    EXPECT_NE(report()["last_error"].get<std::string>().find("token"), std::string::npos) << report().dump();
    EXPECT_NE(err.find("vimo-service: discord: Discord refused the bot token (close 4004)"), std::string::npos) << err;
    EXPECT_EQ(get("/api/chat?count=1").status, 200);

    start_bridge("no-intents");
    ASSERT_TRUE(wait_for([&] { return report()["state"] == "failed"; }, 30)) << report().dump();
    EXPECT_NE(report()["last_error"].get<std::string>().find("switch on the Message Content intent"),
              std::string::npos);
    EXPECT_EQ(get("/api/chat?count=1").status, 200);
    int connections = 0;
    for (const json& j : gateway.log()) connections += j.contains("connection");
    EXPECT_EQ(connections, 2);  // one each: a refusal is not retried
}

TEST_F(DiscordBridgeTest, HostileFramesCrashNothing) {
    // The storm's well-formed messages must not use up the ingest limits the good one needs.
    options.limits.ingest_bridge = {1e9, 1e9};
    options.limits.ingest_sender = {1e9, 1e9};
    ASSERT_TRUE(gateway.start("fuzz", {"--frames", "10000", "--seed", "7"}));
    start_bridge("good-token");
    ASSERT_TRUE(wait_for([&] { return !gateway.done().is_null(); }, 400))
        << read_file(gateway.dir + "/gateway.out") << read_file(gateway.dir + "/log.jsonl");
    EXPECT_EQ(gateway.done()["failures"], json::array());
    ASSERT_TRUE(wait_for([&] { return chat_has("after the storm"); }, 30)) << report().dump();
    EXPECT_EQ(name_of("4242"), "Survivor");
    json r = report();
    EXPECT_GT(r["errors"].get<int>(), 1000);  // the malformed frames were seen and dropped, one by one
    EXPECT_GE(r["reconnects"].get<int>(), 2);  // invalid UTF-8 and an oversized frame end a connection
}

TEST_F(DiscordBridgeTest, BackAfterAGatewayRestart) {
    ASSERT_TRUE(gateway.start("serve", {"--chatter-ms", "50", "--tag", "before"}));
    start_bridge("good-token");
    auto latest = [&] {
        json page = chat(1);
        return page.empty() ? std::string() : page[0]["text"].get<std::string>();
    };
    ASSERT_TRUE(wait_for([&] { return latest().rfind("before", 0) == 0; }, 30)) << report().dump();
    int port = gateway.port, resume_port = gateway.resume_port;
    gateway.kill();
    auto restarted = Clock::now();
    ASSERT_TRUE(gateway.start("serve", {"--chatter-ms", "50", "--tag", "after"}, port, resume_port));
    ASSERT_TRUE(wait_for([&] { return latest().rfind("after", 0) == 0; }, 60)) << report().dump();
    double seconds = std::chrono::duration<double>(Clock::now() - restarted).count();
    std::printf("discord: %.2f s from the gateway's restart to the first message stored after it\n", seconds);
    RecordProperty("restart_to_message_s", std::to_string(seconds));
    EXPECT_EQ(report()["state"], "connected");
}

TEST_F(DiscordBridgeTest, StopReturnsWhileAHandshakeHangs) {
    // A listener that never answers: TCP connects, TLS waits for a reply that does not come.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(fd, 8), 0);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    gateway.port = ntohs(a.sin_port);
    start_bridge("good-token");
    pollfd waiting{fd, POLLIN, 0};
    ASSERT_EQ(poll(&waiting, 1, 10000), 1);  // the bridge's connection is there
    int held = accept(fd, nullptr, nullptr);  // and its TLS hello goes unanswered
    ASSERT_GE(held, 0);
    EXPECT_EQ(report()["state"], "connecting");
    auto asked = Clock::now();
    stop();
    double seconds = std::chrono::duration<double>(Clock::now() - asked).count();
    EXPECT_LT(seconds, 2.0);
    close(held);
    close(fd);
}

// Every lookalike of the streamer's handle, as a member's nick or global name,
// reaches /api/user as the username with Discord's mark; the streamer's own id
// (--streamer-ids) keeps the handle; names that pass for nobody are kept as sent.
TEST_F(DiscordBridgeTest, NoLookalikeOfTheStreamerIsServedAsTheStreamer) {
    ASSERT_TRUE(gateway.start("serve", {"--control-port", "0", "--channel", "111"}));
    options.streamer_ids = {"discord:7999"};
    start_bridge("any-token");
    ASSERT_TRUE(wait_for([&] { return report()["state"] == "connected"; }, 30)) << report();
    // The gateway sends orders to the sessions it has: one that reached the service says it has ours.
    bool through = false;
    for (int i = 0; i < 5 && !through; ++i)
        through = gateway.order({{"content", "probe"}, {"author_id", "7778"}, {"name", "prober"}}) &&
                  wait_for([&] { return chat_has("probe"); }, 2);
    ASSERT_TRUE(through) << report();
    // sender id -> (what Discord sends, what /api/user must answer)
    std::vector<std::tuple<std::string, json, std::string>> sent;
    auto lookalikes = lookalike_test::streamer_lookalikes();
    for (size_t i = 0; i < lookalikes.size(); ++i) {
        std::string id = std::to_string(7000 + i), user = "fan" + std::to_string(i);
        json o = {{"content", "hi"}, {"author_id", id}, {"name", user}};
        o[i % 2 ? "nick" : "global_name"] = lookalikes[i].first;
        sent.emplace_back(id, o, user + " (discord)");
    }
    const std::string longest = "averyveryverylongusername_12345";
    const std::vector<std::pair<json, std::string>> more = {
        // The username spells the handle: unique on Discord, still not the streamer.
        {{{"author_id", "7900"}, {"name", "quelmara"}, {"global_name", "Quelmara"}}, "quelmara (discord)"},
        {{{"author_id", "7901"}, {"name", "quelmara"}}, "quelmara (discord)"},
        // Too long for the mark beside it: cut, and showing it was.
        {{{"author_id", "7902"}, {"name", longest}, {"nick", "QUELMARA"}}, longest.substr(0, 21) + "… (discord)"},
        // The streamer's own account keeps the handle in any spelling the platform allows.
        {{{"author_id", "7999"}, {"name", "quelmara"}, {"global_name", "Quelmara"}}, "Quelmara"},
        // One script each, or pictures: kept; invisible characters left out, spaces as one.
        {{{"author_id", "7903"}, {"name", "m"}, {"global_name", "Мирела"}},
         "Мирела"},
        {{{"author_id", "7904"}, {"name", "a"}, {"nick", "Ann ❤️‍🔥"}}, "Ann ❤️‍🔥"},
        {{{"author_id", "7905"}, {"name", "s"}, {"nick", "Sam​  　Lee­"}}, "Sam Lee"},
        {{{"author_id", "7906"}, {"name", "z"}, {"nick", "山田 Taro"}}, "山田 Taro"},  // Han with Latin
    };
    for (const auto& [o, want] : more) {
        json with = o;
        with["content"] = "hi";
        sent.emplace_back(o["author_id"].get<std::string>(), with, want);
    }
    for (const auto& [id, o, want] : sent) ASSERT_TRUE(gateway.order(o)) << o;
    ASSERT_TRUE(gateway.order({{"content", "the end"}, {"author_id", "7777"}, {"name", "closer"}}));
    ASSERT_TRUE(wait_for([&] { return chat_has("the end"); }, 20)) << report();

    for (const auto& [id, o, want] : sent) {
        std::string shown = name_of(id);
        EXPECT_EQ(shown, want) << o;
        // (7904's emoji keep their joiner and variation selector, which the check counts as hidden.)
        if (id != "7999" && id != "7904") lookalike_test::expect_not_streamer(shown, o.dump());
    }

    // The moderation page isolates each name from the id beside it.
    Answer page = call("POST", "/admin/moderation", "token=" + token, "", "application/x-www-form-urlencoded");
    EXPECT_NE(page.body.find("<bdi>fan0 (discord)</bdi> (discord:7000)"), std::string::npos);
    EXPECT_NE(page.body.find("<bdi>Quelmara</bdi> (discord:7999)"), std::string::npos);
}

TEST(DiscordGatewayUrl, OnlyWssAndResumeUrlsKeepTheQuery) {
    using namespace bridges;
    GatewayUrl u;
    std::string error;
    ASSERT_TRUE(discord_parse_url("wss://gateway.discord.gg/?v=10&encoding=json", &u, &error));
    EXPECT_EQ(u.host, "gateway.discord.gg");
    EXPECT_EQ(u.port, "443");
    EXPECT_EQ(u.target, "/?v=10&encoding=json");
    EXPECT_EQ(u.host_header(), "gateway.discord.gg");
    ASSERT_TRUE(discord_parse_url("wss://[::1]:8443?v=10", &u, &error));
    EXPECT_EQ(u.host, "::1");
    EXPECT_EQ(u.target, "/?v=10");
    EXPECT_EQ(u.host_header(), "[::1]:8443");
    for (const char* bad : {"ws://gateway.discord.gg/", "https://x/", "wss://", "wss://:443/", "wss://h:0/",
                            "wss://h:99999/", "wss://us@er:1/", "wss://[::1/"})
        EXPECT_FALSE(discord_parse_url(bad, &u, &error)) << bad;
    const std::string gw = "wss://gateway.discord.gg/?v=10&encoding=json";
    EXPECT_EQ(discord_resume_url("wss://gateway-us-east1-b.discord.gg", gw),
              "wss://gateway-us-east1-b.discord.gg/?v=10&encoding=json");
    EXPECT_EQ(discord_resume_url("wss://r.example/?v=9", gw), "wss://r.example/?v=9");
    EXPECT_EQ(discord_resume_url("http://r.example", gw), "");
}

}  // namespace
