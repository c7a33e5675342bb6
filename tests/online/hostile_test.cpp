// A slow or hostile service: answers nested deep enough to exhaust the stack,
// a live list of tens of thousands of handles, and a service that takes
// seconds per answer while the mascot's frames go on.
#include <chrono>

#include "online_fixture.h"

namespace {

const std::string DEEP = std::string(100000, '[') + std::string(100000, ']');  // 200 KB

// A JSON text nested exactly depth levels.
std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

class HostileTest : public OnlineScene {};

TEST_F(HostileTest, EveryReaderRefusesADeeplyNestedAnswerWithoutACrash) {
    EXPECT_TRUE(json_nesting_within(nested(JSON_MAX_DEPTH), JSON_MAX_DEPTH));
    EXPECT_FALSE(json_nesting_within(nested(JSON_MAX_DEPTH + 1), JSON_MAX_DEPTH));
    EXPECT_TRUE(json_nesting_within(R"(["[[[[", "\"[[[", {"a": "]]]]"}])", 2));  // brackets in strings do not count
    EXPECT_TRUE(json_read_answer(DEEP).is_discarded());

    // Login: unreadable, nothing shown.
    EXPECT_EQ(login_read(R"({"status":true,"user":)" + DEEP + "}").kind, LoginAnswer::UNREADABLE);

    // Live list, Bluesky: nothing announced, nothing remembered.
    testing::internal::CaptureStdout();
    fetchFern_inner(DEEP);
    fetchBsky_inner(R"({"feed":[{"post":{"record":{"createdAt":)" + DEEP + "}}}]}");
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(live_take().empty());
    EXPECT_TRUE(previousFernOnline.empty());
    EXPECT_TRUE(previousBskyDate.empty());

    // Chat, where values are turned into text: a deep "text" on the first
    // page or a deep "message" on a later one interrupts the poll and the
    // cursor stays; a deep name in a user lookup gives the empty name, not cached.
    const std::string message = R"({"message":"m2","text":"t","chatter":{"twitch":"7"}})";
    for (int deep_at : {1, 2, 3}) {
        SCOPED_TRACE(deep_at);
        std::map<std::string, std::string> cache;
        auto get = [&](const std::string& url) -> std::string {
            if (url.find("/api/user") != std::string::npos)
                return deep_at == 3 ? R"([{"twitch":{"name":)" + DEEP + "}}]" : R"([{"twitch":{"name":"ana"}}])";
            if (url.find("count=1") != std::string::npos)
                return deep_at == 1 ? R"([{"message":"m2","chatter":{"twitch":"7"},"text":)" + DEEP + "}]"
                                    : "[" + message + "]";
            return deep_at == 2 ? R"([{"message":)" + DEEP + "}," + message + "]" : "[" + message + "," + message + "]";
        };
        testing::internal::CaptureStdout();
        ChatPoll poll = chat_poll_run("m1", get, [&](const json& m) {
            return chatter_name(m, cache, get) + ": " + str(json_member(m, "text"));
        });
        std::string out = testing::internal::GetCapturedStdout();
        if (deep_at == 3) {
            EXPECT_EQ(poll.texts, (std::vector<std::string>{": t", ": t"}));
            EXPECT_TRUE(cache.empty());
        } else {
            EXPECT_FALSE(poll.advance);
            EXPECT_TRUE(poll.texts.empty());
            EXPECT_NE(out.find("chat poll inturrupted, classic curl error\n"), std::string::npos);
        }
    }
}

TEST_F(HostileTest, AHugeLiveListIsReadOnceAndShownAsOneNotice) {
    json list = json::array();
    for (int i = 0; i < 40000; i++) list.push_back("h" + std::to_string(i));
    list.push_back("quelmara");  // listed past the bound: still counts as live
    testing::internal::CaptureStdout();
    fetchFern_inner(list.dump());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("h255 is live!\n"), std::string::npos);
    EXPECT_EQ(out.find("h256 is live!"), std::string::npos);
    EXPECT_NE(out.find("live list: 39745 handles past the first 256 ignored\n"), std::string::npos);
    EXPECT_EQ(previousFernOnline.size(), LIVE_MAX_HANDLES);

    // The same list again announces nothing; the streamer keeps VIMO_LIVE.
    VIMO_LIVE = true;
    testing::internal::CaptureStdout();
    fetchFern_inner(list.dump());
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find(" is live!"), std::string::npos);
    EXPECT_TRUE(VIMO_LIVE);

    // 256 queued handles make one notice in one frame: the last queued one.
    size_t before = ELEMENTS.size();
    online_tick(1.0f / 60, 1);
    EXPECT_EQ(ELEMENTS.size(), before + 1);
    EXPECT_EQ(live_person, "h255");
    EXPECT_TRUE(live_take().empty());

    // A streamer's notice passed over on the way still counts as shown.
    VIMO_LIVE = false;
    VIMO_SNOOZED = true;
    {
        std::lock_guard<std::mutex> lock(livesToSpawn_lock);
        livesToSpawn = {"quelmara", "fernwood"};
    }
    EXPECT_EQ(live_take_latest(), std::vector<std::string>{"fernwood"});
    EXPECT_TRUE(VIMO_LIVE);
    EXPECT_FALSE(VIMO_SNOOZED);
}

TEST_F(HostileTest, FramesGoOnWhileEachAnswerTakesTwoSeconds) {
    ScriptedServer slow;
    slow.http.Get("/api/chat", [](const scripted::Request& req, scripted::Response& res) {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        int count = std::stoi(req.get_param_value("count"));
        json page = json::array();
        for (int i = std::max(1, 4 - count); i <= 3; i++)
            page.push_back({{"message", "m" + std::to_string(i)}, {"text", "t" + std::to_string(i)},
                            {"chatter", {{"corvane", "bo"}}}});
        res.set_content(page.dump(), "application/json");
    });
    use(slow.origin());
    CONFIG["last_chat"] = "m2";

    // The mascot's jobs, frame after frame from the poll's moment at 3 s,
    // until the poll's outcome is in: two requests of 2 s each.
    using clock = std::chrono::steady_clock;
    float time = 3;
    clock::duration longest{};
    int frames = 0;
    auto give_up = clock::now() + std::chrono::seconds(20);
    do {
        auto start = clock::now();
        online_tick(1.0f / 60, time);
        longest = std::max(longest, clock::now() - start);
        time += 1.0f / 60;
        frames++;
        std::this_thread::sleep_for(std::chrono::milliseconds(16));  // the frame's pacing
    } while (vimo_poll_running && clock::now() < give_up);

    ASSERT_FALSE(vimo_poll_running);
    EXPECT_GT(frames, 60);  // the frames did go on meanwhile
    EXPECT_LT(longest, std::chrono::milliseconds(500)) << "a frame waited on the network";
    EXPECT_EQ(slow.log_starting("GET /api/chat"),
              (std::vector<std::string>{"GET /api/chat?count=1", "GET /api/chat?count=2"}));
    EXPECT_EQ(CONFIG["last_chat"], "m3");
    // The box was made in the frame the outcome came in, and the next poll is 5 s after its slot.
    EXPECT_EQ(live_elements_with(chat_click).size(), 1u);
    EXPECT_EQ(next_poll, 8);
}

}  // namespace
