// The Kick bridge against a scripted Pusher server (scripted/kick_pusher.py, a
// child process on loopback over TLS with a throw-away CA): a whole session with
// its chat events, a drop and a silent server, hostile frames; and the emote
// image key it names.
#include <cstdio>
#include <ctime>
#include <random>

#include "bridges/kick/pusher.h"
#include "chat/look.h"
#include "discord_gateway_util.h"
#include "emotes/image_key.h"
#include "image_makers.h"
#include "service_fixture.h"

using namespace service_test;
using namespace gateway_test;
using namespace bridges;

namespace {

// A Kick event frame as Pusher sends it: data is JSON text.
json event(const std::string& name, const std::string& chatroom, const json& data) {
    return {{"event", "App\\Events\\" + name}, {"channel", "chatrooms." + chatroom + ".v2"}, {"data", data.dump()}};
}

json chat_event(const std::string& id, int64_t sender, const std::string& name, const std::string& content,
                const std::string& chatroom = "77", json identity = {{"color", "#00FF00"}, {"badges", json::array()}}) {
    json d = {{"id", id}, {"chatroom_id", std::stoll(chatroom)}, {"content", content}, {"type", "message"},
              {"sender", {{"id", sender}, {"username", name}, {"slug", name + "_slug"}, {"identity", identity}}}};
    return {{"send", event("ChatMessageEvent", chatroom, d)}};
}

std::string iso_in(int64_t seconds) {
    std::time_t t = std::time(nullptr) + seconds;
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S.000000Z", std::gmtime(&t));
    return buf;
}

class KickBridgeTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        pusher.dir = dir + "/pusher";
        std::filesystem::create_directories(pusher.dir);
    }
    void TearDown() override {
        ServiceTest::TearDown();  // the bridge stops before its server goes
        pusher.kill();
    }
    void start_bridge() {
        options.bridges.kick_chatrooms = {"77", "88"};
        options.bridges.kick_pusher = pusher.url();
        options.bridges.tls_ca = pusher.ca;
        restart();
        ASSERT_EQ(bridge_lines.size(), 1u);
        EXPECT_EQ(bridge_lines[0], "kick: reading chatrooms 77, 88");
    }
    json report() { return call("GET", "/api/admin/bridges", "", token).parsed()["bridges"][0]; }
    bool chat_has(const std::string& text) {
        for (const json& m : chat(100))
            if (m["text"] == text) return true;
        return false;
    }
    ScriptedPusher pusher;
};

TEST_F(KickBridgeTest, WholeSessionAgainstPusher) {
    json ann_identity = {{"color", "#FF9D00"},
                         {"badges", {{{"type", "moderator"}, {"text", "Moderator"}},
                                     {{"type", "subscriber"}, {"text", "Subscriber"}, {"count", 3}},
                                     {{"type", "og"}, {"text", "OG"}}}}};
    json first = chat_event("9a1b-0001", 1001, "Ann", "hi [emote:37226:KEKW] there [emote:1:a]", "77", ann_identity);
    json later = chat_event("9a1b-0008", 1006, "Fay", "after the drop");
    json c1 = json::array({
        {{"ping", true}},
        first,
        chat_event("9a1b-0002", 1002, "Bob", "delete me"),
        chat_event("9a1b-0003", 1003, "Cat", "banned for good"),
        chat_event("9a1b-0004", 1004, "Dan", "timed out"),
        chat_event("9a1b-0005", 1005, "Eve", "in the other room", "88"),
        chat_event("9a1b-0006", 1009, "Gus", "not a room we read", "99"),
        chat_event("9a1b-0007", 1001, "Ann", "broken [emote:abc:x] and [emote:5:] stay"),
        {{"send", event("MessageDeletedEvent", "77", {{"id", "d1"}, {"message", {{"id", "9a1b-0002"}}}})}},
        {{"send", event("UserBannedEvent", "77", {{"id", "b1"}, {"user", {{"id", 1003}, {"username", "Cat"}}},
                                                  {"permanent", true}})}},
        {{"send", event("UserBannedEvent", "77", {{"id", "b2"}, {"user", {{"id", 1004}, {"username", "Dan"}}},
                                                  {"permanent", false}, {"duration", 10},
                                                  {"expires_at", iso_in(600)}})}},
        {{"send", event("ChatroomClearEvent", "88", {{"id", "c1"}})}},
        {{"drop", true}},
    });
    // The second connection goes silent after a replay: the bridge pings, hears nothing, reconnects.
    json c2 = json::array({first, later, {{"expect_ping", 10}}});
    // Then Pusher's error ranges: 4100-4199 come back after a wait, 4200-4299 at once, 4000-4099 never.
    auto error = [](int code) {
        return json{{"send", {{"event", "pusher:error"}, {"data", {{"code", code}, {"message", "scripted"}}}}}};
    };
    json c3 = json::array({later, chat_event("9a1b-0009", 1007, "Hal", "the end"), error(4100)});
    json script = {{"chatrooms", {"77", "88"}},
                   {"connections", {{{"activity_timeout", 120}, {"steps", c1}},
                                    {{"activity_timeout", 1}, {"steps", c2}},
                                    {{"activity_timeout", 120}, {"steps", c3}},
                                    {{"steps", {error(4200)}}},
                                    {{"steps", {error(4001)}}}}}};
    ASSERT_TRUE(pusher.start(script));
    // Kick's emote images, under --kick-cdn.
    httplib::Server cdn;
    cdn.Get("/emotes/37226/fullsize", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(solid_png(56, 56, 0xff2080ff), "image/png");
    });
    int cdn_port = cdn.bind_to_any_port("127.0.0.1");
    std::thread cdn_thread([&] { cdn.listen_after_bind(); });
    struct Joined {
        httplib::Server& server;
        std::thread& thread;
        ~Joined() { server.stop(), thread.join(); }  // also when an assertion ends the test early
    } cdn_joined{cdn, cdn_thread};
    options.emotes.kick_cdn = "http://127.0.0.1:" + std::to_string(cdn_port);
    testing::internal::CaptureStderr();
    start_bridge();
    bool failed = wait_for([&] { return report()["state"] == "failed"; }, 60);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(failed) << report().dump() << read_file(pusher.dir + "/log.jsonl");
    EXPECT_NE(err.find("vimo-service: kick: Pusher refused the connection for good (code 4001)"), std::string::npos)
        << err;
    ASSERT_TRUE(wait_for([&] { return !pusher.done().is_null(); }, 10)) << read_file(pusher.dir + "/log.jsonl");
    EXPECT_EQ(pusher.done()["failures"], json::array()) << read_file(pusher.dir + "/log.jsonl");
    ASSERT_TRUE(wait_for([&] { return chat_has("the end"); }, 10)) << report().dump();

    // The page as the companion reads it: deleted, banned, timed-out and cleared lines
    // gone, another room's never there, replays once, emote names in the text.
    json page = chat(100);
    std::vector<std::pair<std::string, std::string>> expected = {{"1001", "hi KEKW there a"},
                                                                 {"1001", "broken [emote:abc:x] and [emote:5:] stay"},
                                                                 {"1006", "after the drop"},
                                                                 {"1007", "the end"}};
    ASSERT_EQ(page.size(), expected.size()) << page.dump();
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(page[i]["text"], expected[i].second);
        EXPECT_EQ(page[i]["chatter"], json({{"kick", expected[i].first}}));
    }
    const json& ann = page[0];
    EXPECT_EQ(ann["name"], "Ann");
    EXPECT_EQ(ann["color"], chat_readable_color("#FF9D00"));
    json spans = {{{"start", 3}, {"end", 7}, {"image", "/api/emote/kick-37226"}, {"w", 28}, {"h", 28}},
                  {{"start", 14}, {"end", 15}, {"image", "/api/emote/kick-1"}, {"w", 28}, {"h", 28}}};
    EXPECT_EQ(ann["emotes"], spans);
    json badges = {{{"set", "moderator"}, {"version", "1"}, {"image", "/api/emote/badge-moderator-1"}},
                   {{"set", "subscriber"}, {"version", "3"}, {"image", "/api/emote/badge-subscriber-1"}}};
    EXPECT_EQ(ann["badges"], badges);  // "og" has no image of ours: left out
    EXPECT_EQ(page[1]["emotes"], json::array());

    int by_kick = 0;
    json log = call("GET", "/api/admin/moderation", "", token).parsed()["log"];
    for (const json& entry : log) by_kick += entry["by"] == "kick";
    EXPECT_GE(by_kick, 4) << log.dump();  // delete, ban, time-out, clear

    json r = report();
    EXPECT_EQ(r["platform"], "kick");
    EXPECT_EQ(r["stored"], 8);
    EXPECT_EQ(r["dropped"]["duplicates"], 2);  // one replay on each rejoin
    EXPECT_EQ(r["moderation"], 4);
    EXPECT_EQ(r["reconnects"].get<int>(), 4);  // the drop, the silent server, 4100, 4200 (4001: no more)
    EXPECT_EQ(pusher.done()["connections"], 5);
    EXPECT_EQ(get("/api/chat?count=1").status, 200);  // the service runs on

    // The span's image is fetched from Kick's CDN and served checked; ids are digits, bounded.
    Answer image = get("/api/emote/kick-37226");
    EXPECT_EQ(image.status, 200);
    EXPECT_EQ(image.type, "image/png");
    EXPECT_NE(get("/api/emote/kick-12ab").status, 200);
    ImageCatalog catalog(EmoteOptions{});
    ASSERT_TRUE(catalog.find("kick-37226"));
    EXPECT_EQ(catalog.find("kick-37226")->url_1x, "https://files.kick.com/emotes/37226/fullsize");
    EXPECT_FALSE(catalog.find("kick-abc"));
    EXPECT_FALSE(catalog.find("kick-123456789012345678901"));
}

// Hostile frames: JSON of many wrong kinds, mixed with printable noise.
std::vector<json> hostile_steps(size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    auto noise = [&](size_t n) {
        std::string s;
        for (size_t i = 0; i < n; ++i) {
            uint32_t c = random() % 200;
            if (c < 160) s += char(0x20 + c % 95);
            else s += "\xC3\xA9";  // é: multi-byte UTF-8 in the mix
        }
        return s;
    };
    std::string good = event("ChatMessageEvent", "77", {{"id", "x"}, {"content", "y"}, {"sender", {{"id", 5}}}}).dump();
    std::vector<json> kinds_of_data = {
        json::array(), 42, "text", nullptr, json::object(),
        {{"id", 7}, {"content", "c"}, {"sender", {{"id", 1}}}},
        {{"id", "m"}, {"content", {{"a", 1}}}, {"sender", {{"id", 1}}}},
        {{"id", "m"}, {"content", "c"}, {"sender", "nobody"}},
        {{"id", "m"}, {"content", "c"}, {"sender", {{"id", -3}}}},
        {{"id", "m"}, {"content", "c"}, {"sender", {{"id", 1.5}}}},
        {{"id", "m"}, {"content", "c"}, {"sender", {{"id", "12a"}, {"identity", 5}}}},
        {{"message", 3}}, {{"message", {{"id", 9}}}}, {{"user", {{"id", "x"}}}},
        {{"user", {{"id", 3}}}, {"permanent", false}, {"expires_at", "2026-13-45T99:00:00Z"}},
        {{"user", {{"id", 3}}}, {"permanent", "yes"}, {"duration", -5}},
    };
    const char* events[] = {"ChatMessageEvent", "MessageDeletedEvent", "UserBannedEvent", "ChatroomClearEvent",
                            "SomethingElse"};
    std::vector<json> steps;
    for (size_t i = 0; i < count; ++i) {
        std::string name = events[random() % 5];
        std::string id = "h" + std::to_string(i);
        switch (random() % 8) {
            case 0: steps.push_back({{"raw", noise(1 + random() % 200)}}); break;
            case 1: steps.push_back({{"raw", good.substr(0, random() % good.size())}}); break;
            case 2: steps.push_back({{"raw", json{{"event", "App\\Events\\" + name}, {"channel", "chatrooms.77.v2"},
                                                  {"data", noise(random() % 50)}}.dump()}}); break;
            case 3: steps.push_back({{"send", event(name, "77", kinds_of_data[random() % kinds_of_data.size()])}}); break;
            case 4: steps.push_back({{"raw", "{\"event\":\"App\\\\Events\\\\ChatMessageEvent\",\"channel\":"
                                             "\"chatrooms.77.v2\",\"data\":{\"id\":\"" + id + "\",\"content\":\"n\","
                                             "\"sender\":{\"id\":1e400}}}"}}); break;
            case 5: {
                std::string content;
                for (int k = 0; k < 60; ++k)
                    content += std::vector<std::string>{"[emote:", "[emote:1:", "[emote:99999999999999999999999:x]",
                                                        "[emote:2:" + std::string(80, 'n') + "]", "[emote:3:[emote:4:y]]",
                                                        "[emote:5:ok]", "]", "\n"}[random() % 8];
                steps.push_back(chat_event(id, 6000 + random() % 50, "Noisy", content));
                break;
            }
            case 6: steps.push_back({{"send", {{"event", "pusher:error"},
                                               {"data", {{"code", random() % 2 ? 3999 : 18446744073709551615ULL},
                                                         {"message", noise(20)}}}}}}); break;
            default: steps.push_back({{"binary", noise(30)}}); break;
        }
    }
    return steps;
}

TEST_F(KickBridgeTest, HostileFramesCrashNothing) {
    // The storm's well-formed messages must not use up the ingest limits the good one needs.
    options.limits.ingest_bridge = {1e9, 1e9};
    options.limits.ingest_sender = {1e9, 1e9};
    json c1 = hostile_steps(10000, 7);
    c1.push_back({{"raw", std::string(KICK_MAX_FRAME_BYTES + 10, ' ')}});  // too big: the connection ends
    json script = {{"chatrooms", {"77", "88"}},
                   {"connections", {{{"steps", c1}},
                                    {{"steps", {chat_event("good-1", 4242, "Survivor", "after the storm")}}}}}};
    ASSERT_TRUE(pusher.start(script));
    start_bridge();
    ASSERT_TRUE(wait_for([&] { return !pusher.done().is_null(); }, 300)) << read_file(pusher.dir + "/pusher.out");
    EXPECT_EQ(pusher.done()["failures"], json::array());
    ASSERT_TRUE(wait_for([&] { return chat_has("after the storm"); }, 30)) << report().dump();
    json r = report();
    EXPECT_GT(r["errors"].get<int>(), 5000) << r.dump();  // each malformed frame seen and dropped
    EXPECT_GE(r["reconnects"].get<int>(), 1);             // the oversized frame ended a connection

    // Bounds and forms the storm cannot check one by one: at most LOOK_MAX_IMAGES spans
    // (every name still in the text), a time-out's end with an offset or without a zone.
    std::string many, text;
    for (int i = 0; i < 60; ++i) many += "[emote:" + std::to_string(i) + ":e] ";
    EXPECT_EQ(kick_emotes(many, &text).size(), LOOK_MAX_IMAGES);
    EXPECT_EQ(text.size(), 60u * 2);
    EXPECT_EQ(kick_parse_time("1970-01-01T00:00:10.123456Z"), 10);
    EXPECT_EQ(kick_parse_time("1970-01-01T01:00:10+01:00"), 10);
    EXPECT_EQ(kick_parse_time("1970-01-01T00:00:10"), 10);
    EXPECT_FALSE(kick_parse_time("1970-01-01 00:00:10Z"));
    EXPECT_FALSE(kick_parse_time("1970-01-01T00:00:10+1"));

    // The same parsing on raw bytes the socket would refuse (invalid UTF-8 and all).
    std::mt19937 random(11);
    std::vector<std::string> rooms = {"77"};
    for (int i = 0; i < 10000; ++i) {
        std::string text = event("ChatMessageEvent", "77", {{"id", "a"}, {"content", "[emote:1:b]"},
                                                            {"sender", {{"id", 1}}}}).dump();
        for (int k = 0, n = 1 + int(random() % 8); k < n; ++k) text[random() % text.size()] = char(random());
        PusherFrame f;
        std::string error;
        if (kick_parse_frame(text, &f, &error)) kick_event(f, rooms, 0);
        std::string out;
        kick_emotes(text, &out);
    }
}

// A figure, not a check of speed: N chat events sent as fast as the socket takes
// them, with the per-platform ingest limits as they are, then raised out of the way.
TEST_F(KickBridgeTest, FloodRate) {
    const int n = 3000;
    json script = {{"chatrooms", {"77"}},
                   {"connections", {{{"steps", {{{"flood", n}, {"chatroom", "77"}}}}},
                                    {{"steps", {{{"flood", n}, {"chatroom", "77"}, {"prefix", "b"}}}}}}}};
    ASSERT_TRUE(pusher.start(script));
    for (bool limited : {true, false}) {
        if (!limited) options.limits.ingest_bridge = {1e9, 1e9};
        options.bridges.kick_chatrooms = {"77"};
        options.bridges.kick_pusher = pusher.url();
        options.bridges.tls_ca = pusher.ca;
        restart();
        auto handled = [&] {
            json r = report();
            return r["stored"].get<int64_t>() + r["dropped"]["over_limits"].get<int64_t>() +
                   r["dropped"]["duplicates"].get<int64_t>();
        };
        ASSERT_TRUE(wait_for([&] { return report()["stored"].get<int64_t>() > 0; }, 30));
        auto first = Clock::now();
        int64_t last_stored = 0;
        auto last = first;
        ASSERT_TRUE(wait_for([&] {
            int64_t s = report()["stored"].get<int64_t>();
            if (s != last_stored) last_stored = s, last = Clock::now();
            return handled() >= n;
        }, 120)) << report().dump();
        double seconds = std::chrono::duration<double>(last - first).count();
        json r = report();
        std::printf("kick flood (%s): %d sent, %lld stored, %lld over limits; %.3f s first to last stored, %.0f/s\n",
                    limited ? "limits as they are" : "limits raised", n, (long long)r["stored"].get<int64_t>(),
                    (long long)r["dropped"]["over_limits"].get<int64_t>(), seconds,
                    seconds > 0 ? r["stored"].get<int64_t>() / seconds : 0.0);
        EXPECT_EQ(r["stored"].get<int64_t>() + r["dropped"]["over_limits"].get<int64_t>(), n);
    }
}

}  // namespace
