// What every chat bridge stands on: storing bridged chat (no message twice, the
// ingest limits, bans and time-outs), the platforms' moderation reaching stored
// messages, state that outlives a restart, reconnect delays, secrets and where plain HTTP may go.
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>

#include "bridges/backoff.h"
#include "bridges/sink.h"
#include "outbound/https_client.h"
#include "outbound/tls.h"
#include "handlers/server.h"
#include "http/http.h"
#include "service_fixture.h"

using namespace service_test;
using bridges::ChatMessage;
using bridges::Outcome;

namespace {

// The chat page's texts, oldest first.
std::vector<std::string> texts(const json& page) {
    std::vector<std::string> out;
    for (const json& m : page) out.push_back(m["text"].get<std::string>());
    return out;
}

// Waits (bounded) until pred holds.
template <class Pred>
bool eventually(Pred pred, double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

}  // namespace

TEST_F(ServiceTest, BridgedChatIsStoredOnceAndThePlatformsModerationReachesIt) {
    bridges::BridgeReport report("twitch", "#a, #b");
    auto say = [&](const std::string& channel, const std::string& id, const std::string& sender,
                   const std::string& name, const std::string& text) {
        return bridges::store_chat(*service, report, ChatMessage{"twitch", channel, id, sender, name, text});
    };
    EXPECT_EQ(say("#a", "m1", "111", "Ann", "hello"), Outcome::Stored);
    EXPECT_EQ(say("#a", "m1", "111", "Ann", "hello"), Outcome::Duplicate);  // a replay after a reconnect
    EXPECT_EQ(say("#b", "m2", "222", "\u200b", "from b"), Outcome::Stored);  // an invisible name: the id shows, marked
    EXPECT_EQ(say("#a", "m3", "333", "Cy", "\u200b"), Outcome::Invalid);
    EXPECT_EQ(say("#a", "m4", "bad id!", "Cy", "x"), Outcome::Invalid);
    EXPECT_EQ(say("#a", "m5", "333", "Cy", "spam one"), Outcome::Stored);
    EXPECT_EQ(say("#a", "m6", "333", "Cy", "spam two"), Outcome::Stored);

    json page = chat(10);
    EXPECT_EQ(texts(page), (std::vector<std::string>{"hello", "from b", "spam one", "spam two"}));
    EXPECT_EQ(page[0]["chatter"]["twitch"], "111");
    EXPECT_EQ(get("/api/user?select=twitch.name&where=twitch.id=111").parsed()[0]["twitch"]["name"], "Ann");
    EXPECT_EQ(get("/api/user?select=twitch.name&where=twitch.id=222").parsed()[0]["twitch"]["name"], "222 (twitch)");

    // A time-out hides the sender's messages and refuses new ones until it ends.
    bridges::ban_sender(*service, report, "twitch", "333", 1);
    EXPECT_EQ(texts(chat(10)), (std::vector<std::string>{"hello", "from b"}));
    EXPECT_EQ(say("#a", "m7", "333", "Cy", "during"), Outcome::Banned);
    EXPECT_TRUE(eventually([&] { return texts(chat(10)).size() == 4; }, 5)) << chat(10).dump();
    EXPECT_EQ(say("#a", "m8", "333", "Cy", "after"), Outcome::Stored);

    // A ban is for good, and a later time-out does not shorten it.
    bridges::ban_sender(*service, report, "twitch", "222", 0);
    bridges::ban_sender(*service, report, "twitch", "222", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    EXPECT_EQ(texts(chat(10)), (std::vector<std::string>{"hello", "spam one", "spam two", "after"}));

    // One message deleted on the platform; then channel #a cleared: only later ones show.
    EXPECT_TRUE(bridges::delete_chat(*service, report, "twitch", "m5"));
    EXPECT_FALSE(bridges::delete_chat(*service, report, "twitch", "m5"));
    EXPECT_FALSE(bridges::delete_chat(*service, report, "twitch", "unknown"));
    EXPECT_EQ(texts(chat(10)), (std::vector<std::string>{"hello", "spam two", "after"}));
    EXPECT_EQ(bridges::clear_channel(*service, report, "twitch", "#a"), 3);
    EXPECT_EQ(say("#a", "m9", "111", "Ann", "fresh"), Outcome::Stored);
    EXPECT_EQ(texts(chat(10)), (std::vector<std::string>{"fresh"}));

    // The log says the platform did it; the streamer's own actions stay the streamer's.
    admin("/api/admin/ban", {{"platform", "twitch"}, {"sender_id", "111"}});
    json log = call("GET", "/api/admin/moderation", "", token).parsed()["log"];
    std::vector<std::string> actions;  // newest first
    for (const json& a : log) actions.push_back(a["by"].get<std::string>() + " " + a["action"].get<std::string>());
    EXPECT_EQ(actions, (std::vector<std::string>{"streamer ban", "twitch clear", "twitch delete", "twitch time-out",
                                                 "twitch ban", "twitch time-out"}));

    json r = report.to_json();
    EXPECT_EQ(r["stored"], 6);
    EXPECT_EQ(r["dropped"]["duplicates"], 1);
    EXPECT_EQ(r["dropped"]["invalid"], 2);
    EXPECT_EQ(r["dropped"]["banned"], 1);
    EXPECT_EQ(r["moderation"], 5);
    EXPECT_FALSE(r["last_message_at"].get<std::string>().empty());
}

TEST_F(ServiceTest, BridgedChatKeepsTheIngestLimitsAndItsStateAcrossARestart) {
    options.limits.ingest_bridge = {3, 0.001};
    restart();
    bridges::BridgeReport report("matrix", "!room:example.org");
    int stored = 0, limited = 0;
    for (int i = 0; i < 5; ++i) {
        Outcome o = bridges::store_chat(*service, report,
                                        ChatMessage{"matrix", "!room:example.org", "$e" + std::to_string(i),
                                                    "@u" + std::to_string(i) + ":example.org", "U", "text"});
        stored += o == Outcome::Stored;
        limited += o == Outcome::Limited;
    }
    EXPECT_EQ(stored, 3);
    EXPECT_EQ(limited, 2);
    EXPECT_EQ(report.to_json()["dropped"]["over_limits"], 2);
    EXPECT_EQ(chat(10)[0]["chatter"]["matrix"], "@u0:example.org");

    bridges::save_state(*service, "matrix.since", "s72594_4483_1934");
    bridges::save_state(*service, "matrix.since", "s72595_4483_1934");
    restart();
    EXPECT_EQ(bridges::load_state(*service, "matrix.since"), std::optional<std::string>("s72595_4483_1934"));
    EXPECT_EQ(bridges::load_state(*service, "discord.session"), std::nullopt);
    // The replay of a message stored before the restart is still known, and costs no limit.
    EXPECT_EQ(bridges::store_chat(*service, report,
                                  ChatMessage{"matrix", "!room:example.org", "$e0", "@u0:example.org", "U", "text"}),
              Outcome::Duplicate);
    // No bridge configured: the status call answers an empty list behind the token.
    EXPECT_EQ(call("GET", "/api/admin/bridges").status, 401);
    EXPECT_EQ(call("GET", "/api/admin/bridges", "", token).parsed(), json({{"bridges", json::array()}}));
}

TEST(BridgeFrame, BackoffDoublesToAMinuteWithJitterAndStartsAgainAfterAMinuteUp) {
    bridges::Backoff slow(1, 60, 3600);
    double expected = 1;
    for (int i = 0; i < 9; ++i) {
        double d = slow.next_delay();
        EXPECT_GE(d, expected / 2);
        EXPECT_LE(d, expected);
        expected = std::min(60.0, expected * 2);
    }
    slow.connected();  // up for less than its reset time: the series goes on
    EXPECT_GE(slow.next_delay(), 30);

    bridges::Backoff quick(1, 60, 0);  // every connection counts as long enough
    for (int i = 0; i < 5; ++i) quick.next_delay();
    quick.connected();
    EXPECT_LE(quick.next_delay(), 1);
}

TEST(BridgeFrame, SecretsComeFromFilesOnlyTheirOwnerReadsOrTheEnvironment) {
    char tmpl[] = "/tmp/vimo-secret-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl, file = dir + "/token";
    std::ofstream(file) << "  s3cret\n";
    std::string error;
    chmod(file.c_str(), 0644);
    EXPECT_EQ(bridges::read_secret(file, "VIMO_TEST_SECRET", &error), "");
    EXPECT_NE(error.find("chmod 600 " + file), std::string::npos) << error;
    error.clear();
    chmod(file.c_str(), 0600);
    EXPECT_EQ(bridges::read_secret(file, nullptr, &error), "s3cret");
    EXPECT_EQ(error, "");
    EXPECT_EQ(bridges::read_secret(dir + "/missing", nullptr, &error), "");
    EXPECT_NE(error.find("cannot read"), std::string::npos);
    setenv("VIMO_TEST_SECRET", "from-env", 1);
    EXPECT_EQ(bridges::read_secret("", "VIMO_TEST_SECRET", &error), "from-env");
    unsetenv("VIMO_TEST_SECRET");
    std::filesystem::remove_all(dir);

    std::string host, port;
    EXPECT_TRUE(bridges::split_host_port("irc.chat.twitch.tv:6697", &host, &port));
    EXPECT_EQ(host + " " + port, "irc.chat.twitch.tv 6697");
    EXPECT_TRUE(bridges::split_host_port("[::1]:6697", &host, &port));
    EXPECT_EQ(host, "::1");
    for (const char* bad : {"host", "host:", ":1", "host:0", "host:70000", "host:6a"})
        EXPECT_FALSE(bridges::split_host_port(bad, &host, &port)) << bad;
}

TEST(BridgeFrame, PlainHttpGoesOnlyToAnAddressOfThisMachine) {
    bridges::BaseUrl base;
    std::string error;
    for (const char* url : {"http://127.0.0.1:9000", "http://127.3.4.5/x", "http://localhost:80", "http://[::1]:9000",
                            "https://127.0.0.1.nip.io:9000"})
        EXPECT_TRUE(bridges::parse_base_url(url, true, &base, &error)) << url << ": " << error;
    // Names that only look like loopback are resolved by DNS, to any machine.
    for (const char* url : {"http://127.0.0.1.nip.io:9000", "http://127.evil.example", "http://localhost.evil.example",
                            "http://128.0.0.1", "http://[::2]:9000", "http://127.1:80", "http://LOCALHOST."})
        EXPECT_FALSE(bridges::parse_base_url(url, true, &base, &error)) << url;
    EXPECT_NE(error.find("plain http:// only to this machine"), std::string::npos) << error;
}
