// Live notices that follow Twitch, inside a real Service against the scripted
// Twitch OAuth server and Helix (scripted/helix_live.py): /api/ferncircle lists a
// followed login within a period of its going live, beside the streamer's own
// handles, through a revoked token and Helix's faults, and drops it when the
// stream ends or when Helix stays silent too long.
#include <cstdio>
#include <random>

#include "bridge_test_util.h"
#include "bridges/live/live_follow.h"
#include "service_fixture.h"

using namespace service_test;
using namespace bridge_test;

namespace {

class LiveTest : public ServiceTest {
protected:
    // The scripted Twitch; false when it did not start.
    bool start_helix() {
        helix = std::make_unique<Child>(std::vector<std::string>{"/usr/bin/python3",
                                                                 std::string(VIMO_SCRIPTED_DIR) + "/helix_live.py",
                                                                 "--client-id", "app-id", "--secret", "app-secret"});
        std::string first;
        if (!helix->read_line(&first, 30)) return false;
        json j = json::parse(first, nullptr, false);
        if (!j.is_object()) return false;
        helix_port = j["port"];
        return true;
    }
    json control(const json& cmd) {
        httplib::Client c("127.0.0.1", helix_port);
        auto r = c.Post("/control", cmd.dump(), "application/json");
        return r && r->status == 200 ? json::parse(r->body) : json::object();
    }
    std::vector<std::string> circle() { return get("/api/ferncircle").parsed().get<std::vector<std::string>>(); }
    json report() {
        json all = call("GET", "/api/admin/bridges", "", token).parsed();
        for (const json& b : all["bridges"])
            if (b["platform"] == "twitch-live") return b;
        return json::object();
    }
    // Sets who is live and waits until the circle is want; the seconds it took (-1: never).
    double switch_and_wait(const json& live, const std::vector<std::string>& want, double within) {
        auto begun = Clock::now();
        if (!control({{"live", live}}).contains("grants")) return -1;
        if (!wait_until(within, [&] { return circle() == want; })) return -1;
        return std::chrono::duration<double>(Clock::now() - begun).count();
    }

    std::unique_ptr<Child> helix;
    int helix_port = 0;
};

TEST_F(LiveTest, FollowsTwitchStreams) {
    ASSERT_TRUE(start_helix());
    std::string base = "http://127.0.0.1:" + std::to_string(helix_port);
    options.signin.twitch_client_id = "app-id";
    options.signin.twitch_secret = "app-secret";
    options.signin.twitch_id_base = base;
    options.emotes.helix_api = base + "/helix";
    // 150 logins: two calls of Helix's 100 at most; the last is only in the second.
    std::vector<std::string> logins{"quelmara", "fernfriend"};
    for (int i = 0; i < 148; ++i) logins.push_back("circle" + std::to_string(i));
    options.live.twitch_logins = logins;
    options.live.period_s = 1;
    restart();
    ASSERT_EQ(bridge_lines, std::vector<std::string>{"twitch-live: reading 150 Twitch logins"});

    // The streamer's own handle first; nobody followed is live yet.
    ASSERT_EQ(admin("/api/admin/live", {{"handles", {"Fernfriend", "OwnHandle"}}}).status, 200);
    ASSERT_TRUE(wait_until(10, [&] { return report().value("state", "") == "connected"; })) << report().dump();
    EXPECT_EQ(circle(), (std::vector<std::string>{"Fernfriend", "OwnHandle"}));
    std::string etag_before = get("/api/ferncircle").header("ETag");

    // Going live: listed within the period (plus the calls' time), no duplicate of a handle.
    double to_list = switch_and_wait({"fernfriend", "quelmara", "circle147"},
                                     {"Fernfriend", "OwnHandle", "quelmara", "circle147"}, 10);
    ASSERT_GE(to_list, 0) << "the live logins never reached /api/ferncircle";
    std::printf("live to /api/ferncircle: %.2f s (period 1 s)\n", to_list);
    EXPECT_NE(get("/api/ferncircle").header("ETag"), etag_before);
    json c = control(json::object());
    EXPECT_EQ(c["grants"], 1);
    EXPECT_EQ(c["most_logins"], 100);
    EXPECT_NE(report()["details"].get<std::string>().find("live now: quelmara, fernfriend, circle147"), std::string::npos)
        << report()["details"];

    // A revoked token: a fresh one is fetched and the list still follows.
    ASSERT_TRUE(control({{"revoke", true}}).contains("grants"));
    ASSERT_GE(switch_and_wait({"quelmara"}, {"Fernfriend", "OwnHandle", "quelmara"}, 10), 0);
    EXPECT_EQ(control(json::object())["grants"], 2);

    // Helix failing for a moment: the last answer stands, then follows again.
    ASSERT_TRUE(control({{"fail", 2}}).contains("grants"));
    ASSERT_TRUE(wait_until(10, [&] { return report()["last_error"].get<std::string>().find("503") != std::string::npos; }));
    EXPECT_EQ(circle(), (std::vector<std::string>{"Fernfriend", "OwnHandle", "quelmara"}));

    // The stream ends: the login leaves; the streamer's handles stay.
    ASSERT_GE(switch_and_wait(json::array(), {"Fernfriend", "OwnHandle"}, 15), 0);

    // Helix gone: after five periods without a good answer nobody followed is listed.
    ASSERT_GE(switch_and_wait({"quelmara"}, {"Fernfriend", "OwnHandle", "quelmara"}, 10), 0);
    helix->kill();
    ASSERT_TRUE(wait_until(30, [&] { return circle() == std::vector<std::string>{"Fernfriend", "OwnHandle"}; }));
    EXPECT_TRUE(wait_until(10, [&] { return report()["state"] == "backing off"; })) << report().dump();

    // Without the Twitch app the follower does not start, and says why.
    options.signin.twitch_client_id.clear();
    options.signin.twitch_secret.clear();
    restart();
    ASSERT_EQ(bridge_lines.size(), 1u);
    EXPECT_NE(bridge_lines[0].find("not started: following Twitch needs the Twitch app"), std::string::npos)
        << bridge_lines[0];
}

// Answers of every wrong shape and 10,000 cut and mutated ones are read without
// a fault; a good answer after them still lists its live logins, lower-cased.
TEST(LiveStreams, MalformedAnswersThenAGoodOne) {
    const std::string good = R"({"data":[{"user_login":"Alice","type":"live"},{"user_login":"bob","type":""}],)"
                             R"("pagination":{}})";
    std::vector<std::string> bodies = {"", "[]", "null", "\"data\"", R"({"data":{}})", R"({"data":[{}]})",
                                       R"({"data":[null,7,[],"x"]})", R"({"data":[{"user_login":5}]})",
                                       R"({"data":[{"user_login":"a","type":null}]})", R"({"dat":[]})"};
    std::mt19937 random(7);
    for (int i = 0; i < 10000; ++i) {
        std::string b = good;
        for (int k = 0; k < 1 + int(random() % 4); ++k) {
            size_t at = random() % b.size();
            switch (random() % 3) {
                case 0: b[at] = char(random() % 256); break;
                case 1: b.erase(at, 1 + random() % 8); break;
                default: b.insert(at, 1, "{}[]\",:0"[random() % 8]);
            }
            if (b.empty()) b = "{";
        }
        bodies.push_back(b);
    }
    for (const std::string& b : bodies) {
        std::set<std::string> live;
        bridges::live_streams_parse(b, &live);
    }
    std::set<std::string> live;
    ASSERT_TRUE(bridges::live_streams_parse(good, &live));
    EXPECT_EQ(live, (std::set<std::string>{"alice"}));
    std::set<std::string> none;  // a list of entries without logins: nobody live; no list: a fault
    EXPECT_TRUE(bridges::live_streams_parse(R"({"data":[{}]})", &none));
    EXPECT_FALSE(bridges::live_streams_parse(R"({"data":{}})", &none));
    EXPECT_TRUE(none.empty());
}

}  // namespace
