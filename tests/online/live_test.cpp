// Live notices: the list reader on the worker, the notices on the main thread,
// the streamer's three phases and the mascot's hooks into them.
#include "online_fixture.h"

namespace {

class LiveTest : public OnlineScene {};

TEST_F(LiveTest, NewHandlesAreAnnouncedAndTheStreamerGoesLiveAndOff) {
    ScriptedServer service;
    std::string list = R"(["quelmara"])";
    service.http.Get("/api/ferncircle", [&](const scripted::Request&, scripted::Response& res) {
        std::lock_guard<std::mutex> lock(service.m);
        res.set_content(list, "application/json");
    });
    use(service.origin());

    // First answer: the streamer is announced, and shown by the mascot's hooks.
    testing::internal::CaptureStdout();
    online_jobs.fetchFern();
    ASSERT_TRUE(fetch_wait_idle(15000));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("fern result: [\"quelmara\"]\nquelmara is live!\n"), std::string::npos) << out;
    std::vector<std::string> lives = online_jobs.take_lives();
    EXPECT_EQ(lives, std::vector<std::string>{"quelmara"});
    EXPECT_TRUE(online_jobs.take_lives().empty());
    EXPECT_FALSE(vimo_hooks.is_live());
    Element* streamer = online_jobs.live_spawn(lives[0]);
    EXPECT_TRUE(vimo_hooks.is_live());
    EXPECT_FALSE(vimo_hooks.is_snoozed());
    EXPECT_EQ(lines(streamer), (std::vector<std::string>{"The Communion Has Started.", " - Join", " - Dismiss"}));
    EXPECT_TRUE(vimo_live_blocking());

    // Second answer with another member: only the member is new; its notice replaces the streamer's.
    {
        std::lock_guard<std::mutex> lock(service.m);
        list = R"(["quelmara","fernwood"])";
    }
    testing::internal::CaptureStdout();
    fetchFern();
    ASSERT_TRUE(fetch_wait_idle(15000));
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("quelmara is live!"), std::string::npos);
    lives = live_take();
    EXPECT_EQ(lives, std::vector<std::string>{"fernwood"});
    Element* member = live_spawn(lives[0]);
    EXPECT_EQ(lines(member), (std::vector<std::string>{"fernwood is live!", " - Watch Stream", " - Dismiss"}));
    EXPECT_NE(std::find(ELEMENTS_TO_BE_REMOVED.begin(), ELEMENTS_TO_BE_REMOVED.end(), streamer),
              ELEMENTS_TO_BE_REMOVED.end());
    EXPECT_TRUE(VIMO_LIVE);

    // Watch opens the member's channel; Dismiss on a member leaves the snooze alone.
    live_click(member, 2);
    EXPECT_EQ(OPENED, std::vector<std::string>{"http://127.0.0.1:9/channel/fernwood"});
    live_click(member, 3);
    EXPECT_FALSE(VIMO_SNOOZED);

    // An empty list: nothing announced, the stream is over, the snooze keeps its value.
    VIMO_SNOOZED = true;
    {
        std::lock_guard<std::mutex> lock(service.m);
        list = "[]";
    }
    fetchFern();
    ASSERT_TRUE(fetch_wait_idle(15000));
    EXPECT_TRUE(live_take().empty());
    EXPECT_FALSE(VIMO_LIVE);
    EXPECT_TRUE(VIMO_SNOOZED);
    EXPECT_TRUE(previousFernOnline.empty());
}

TEST_F(LiveTest, TheStreamersNoticeCanBeSnoozed) {
    use("http://127.0.0.1:1");
    Element* notice = live_spawn("quelmara");
    EXPECT_TRUE(vimo_live_blocking());
    live_click(notice, 2);  // Join
    EXPECT_EQ(OPENED, std::vector<std::string>{"http://127.0.0.1:9/channel/quelmara"});
    live_click(notice, 1);  // the title: nothing
    live_click(notice, 0);
    EXPECT_FALSE(VIMO_SNOOZED);
    live_click(notice, 3);  // Dismiss
    EXPECT_TRUE(VIMO_SNOOZED);
    EXPECT_TRUE(VIMO_LIVE);
    EXPECT_FALSE(vimo_live_blocking());
    // A new streamer's notice un-snoozes.
    live_spawn("quelmara");
    EXPECT_FALSE(VIMO_SNOOZED);
}

TEST_F(LiveTest, ANoticeEndsBlockPlacing) {
    Element* spawner = blockspawner_spawn();
    ASSERT_NE(menu, nullptr);
    Element* instructions = menu;
    live_spawn("fernwood");
    EXPECT_EQ(blockspawner, nullptr);
    EXPECT_NE(std::find(ELEMENTS_TO_BE_REMOVED.begin(), ELEMENTS_TO_BE_REMOVED.end(), spawner),
              ELEMENTS_TO_BE_REMOVED.end());
    EXPECT_NE(std::find(ELEMENTS_TO_BE_REMOVED.begin(), ELEMENTS_TO_BE_REMOVED.end(), instructions),
              ELEMENTS_TO_BE_REMOVED.end());
    EXPECT_EQ(lines(menu)[0], "fernwood is live!");
}

TEST_F(LiveTest, AnElementThatIsNotTextStopsTheAnswerWhereItStands) {
    testing::internal::CaptureStdout();
    fetchFern_inner(R"(["a",5,"b"])");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("a is live!\n5 is live!\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("b is live!"), std::string::npos);
    EXPECT_EQ(live_take(), std::vector<std::string>{"a"});
    EXPECT_TRUE(previousFernOnline.empty());

    // Not remembered, so announced again with the next good answer.
    VIMO_LIVE = true;
    fetchFern_inner(R"(["a","b"])");
    EXPECT_EQ(live_take(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(previousFernOnline, (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(VIMO_LIVE);

    // Not JSON, or nothing at all: only the result line, nothing changes.
    VIMO_LIVE = true;
    testing::internal::CaptureStdout();
    fetchFern_inner("<html>");
    fetchFern_inner("");
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "fern result: <html>\n");
    EXPECT_TRUE(live_take().empty());
    EXPECT_TRUE(VIMO_LIVE);
    EXPECT_EQ(previousFernOnline, (std::vector<std::string>{"a", "b"}));

    // A dropped member who comes back is announced again; handles are case-sensitive.
    fetchFern_inner(R"(["b"])");
    fetchFern_inner(R"(["A","a","b"])");
    EXPECT_EQ(live_take(), (std::vector<std::string>{"A", "a"}));
}

}  // namespace
