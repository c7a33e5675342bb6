// The chat poll against a scripted feed over loopback HTTP, the sender names,
// the chat boxes and their burst into letters.
#include "online_fixture.h"

namespace {

// A chat feed: `messages` oldest first; /api/chat?count=N answers the newest N
// (fewer when the history is shorter), unless `pages` scripts that count's body.
struct ChatFeed : ScriptedServer {
    std::vector<json> messages;
    std::map<int, std::string> pages;
    std::map<std::string, std::string> names;  // "twitch.12" -> "ana"

    ChatFeed() {
        http.Get("/api/chat", [this](const scripted::Request& req, scripted::Response& res) {
            int count = std::stoi(req.get_param_value("count"));
            std::lock_guard<std::mutex> lock(m);
            if (pages.count(count)) {
                res.set_content(pages[count], "application/json");
                return;
            }
            json page = json::array();
            size_t from = messages.size() > size_t(count) ? messages.size() - count : 0;
            for (size_t i = from; i < messages.size(); i++) page.push_back(messages[i]);
            res.set_content(page.dump(), "application/json");
        });
        http.Get("/api/user", [this](const scripted::Request& req, scripted::Response& res) {
            std::string select = req.get_param_value("select");  // "twitch.name"
            std::string where = req.get_param_value("where");    // "twitch.id=12"
            std::string platform = select.substr(0, select.find('.'));
            std::string id = where.substr(where.find('=') + 1);
            std::lock_guard<std::mutex> lock(m);
            auto it = names.find(platform + "." + id);
            if (it == names.end()) {
                res.status = 404;
                return;
            }
            res.set_content(json::array({{{platform, {{"name", it->second}}}}}).dump(), "application/json");
        });
    }
    // Messages m1..mN from the name-only platform (no lookups), texts t1..tN.
    void fill(int n) {
        for (int i = 1; i <= n; i++)
            messages.push_back({{"message", "m" + std::to_string(i)},
                                {"text", "t" + std::to_string(i)},
                                {"chatter", {{"corvane", "bo"}}}});
    }
};

class ChatPollTest : public OnlineScene {};

TEST_F(ChatPollTest, AsksForDoublingPagesUntilTheCursorAndQueuesNewestFirst) {
    ChatFeed feed;
    feed.fill(10);
    use(feed.origin());

    // Nothing new: exactly one request, no boxes.
    CONFIG["last_chat"] = "m10";
    EXPECT_FALSE(poll_chat());
    EXPECT_EQ(feed.log_starting("GET /api/chat"), std::vector<std::string>{"GET /api/chat?count=1"});
    EXPECT_TRUE(chat_to_spawn.empty());

    // Three new messages: counts 1, 2, 4; the pass with 4 meets the cursor.
    feed.forget();
    CONFIG["last_chat"] = "m7";
    EXPECT_TRUE(poll_chat());
    EXPECT_EQ(feed.log_starting("GET /api/chat"),
              (std::vector<std::string>{"GET /api/chat?count=1", "GET /api/chat?count=2", "GET /api/chat?count=4"}));
    EXPECT_EQ(chat_to_spawn, (std::vector<std::string>{"bo: t10", "bo: t9", "bo: t8"}));
    EXPECT_EQ(CONFIG["last_chat"], "m10");

    // The hook hands the boxes over once and leaves the list empty.
    EXPECT_EQ(online_jobs.take_chats().size(), 3u);
    EXPECT_TRUE(chat_to_spawn.empty());

    // The cursor advanced: the next poll finds nothing new.
    EXPECT_FALSE(poll_chat());
    EXPECT_TRUE(chat_to_spawn.empty());
}

TEST_F(ChatPollTest, AFreshConfigurationShowsTheEightNewest) {
    ChatFeed feed;
    feed.fill(20);
    use(feed.origin());
    ASSERT_TRUE(CONFIG["last_chat"].is_null());

    EXPECT_TRUE(poll_chat());
    EXPECT_EQ(feed.log_starting("GET /api/chat"),
              (std::vector<std::string>{"GET /api/chat?count=1", "GET /api/chat?count=2", "GET /api/chat?count=4",
                                        "GET /api/chat?count=8"}));
    ASSERT_EQ(chat_to_spawn.size(), 8u);
    EXPECT_EQ(chat_to_spawn.front(), "bo: t20");
    EXPECT_EQ(chat_to_spawn.back(), "bo: t13");
    EXPECT_EQ(CONFIG["last_chat"], "m20");
}

TEST_F(ChatPollTest, AShortHistoryNeverMakesBoxesOfMissingMessages) {
    ChatFeed feed;
    feed.fill(3);
    use(feed.origin());

    EXPECT_TRUE(poll_chat());
    EXPECT_EQ(chat_to_spawn, (std::vector<std::string>{"bo: t3", "bo: t2", "bo: t1"}));
    EXPECT_EQ(CONFIG["last_chat"], "m3");
}

TEST_F(ChatPollTest, SenderNamesAreLookedUpOncePerIdAndShownAsText) {
    ChatFeed feed;
    feed.names["twitch.12"] = "ana";
    feed.names["discord.77"] = "dee";
    feed.messages = {
        {{"message", "a"}, {"text", "old"}, {"chatter", {{"twitch", "12"}}}},
        {{"message", "b"}, {"text", 42}, {"chatter", {{"twitch", 12}}}},  // numeric id and text
        {{"message", "c"}, {"chatter", {{"discord", "77"}}}},              // no text
        {{"message", "d"}, {"text", "hey"}, {"chatter", {{"corvane", "Corvo"}}}},
        {{"message", "e"}, {"text", "x"}, {"chatter", {{"matrix", "@nobody"}}}},  // lookup refused
    };
    use(feed.origin());

    EXPECT_TRUE(poll_chat());
    EXPECT_EQ(chat_to_spawn,
              (std::vector<std::string>{"anonymous: x", "Corvo: hey", "dee: null", "ana: 42", "ana: old"}));
    // One lookup per id (string and number 12 are the same id), none for the
    // name-only platform; the id is sent percent-encoded.
    EXPECT_EQ(feed.log_starting("GET /api/user"),
              (std::vector<std::string>{"GET /api/user?select=matrix.name&where=matrix.id=%40nobody",
                                        "GET /api/user?select=discord.name&where=discord.id=77",
                                        "GET /api/user?select=twitch.name&where=twitch.id=12"}));
    EXPECT_EQ(ID_TO_NAME.at("12"), "ana");
    EXPECT_EQ(ID_TO_NAME.count("@nobody"), 0u);  // a failed lookup is not cached
}

TEST_F(ChatPollTest, BadAnswersInterruptThePollWithoutLosingTheCursor) {
    ChatFeed feed;
    feed.fill(10);
    use(feed.origin());
    CONFIG["last_chat"] = "m5";

    // A first answer that is not JSON: the poll had no news.
    feed.pages[1] = "<html>busy</html>";
    testing::internal::CaptureStdout();
    EXPECT_FALSE(poll_chat());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("poll chat parse result: <html>busy</html>\n"), std::string::npos);
    EXPECT_NE(out.find("chat poll inturrupted, classic curl error\n"), std::string::npos);
    EXPECT_EQ(CONFIG["last_chat"], "m5");

    // A later page that is not JSON: news, but nothing queued and the cursor kept.
    feed.pages.erase(1);
    feed.pages[4] = "not json";
    testing::internal::CaptureStdout();
    EXPECT_TRUE(poll_chat());
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("chat poll inturrupted, classic curl error\n"), std::string::npos);
    EXPECT_TRUE(chat_to_spawn.empty());
    EXPECT_EQ(CONFIG["last_chat"], "m5");

    // An empty later page ends the passes but keeps what was found.
    feed.pages[4] = "";
    EXPECT_TRUE(poll_chat());
    EXPECT_EQ(chat_to_spawn, (std::vector<std::string>{"bo: t10", "bo: t9"}));
    EXPECT_EQ(CONFIG["last_chat"], "m10");
}

TEST_F(ChatPollTest, ThePollEndsWhenNoAnswerWillCome) {
    ScriptedServer refusing;
    refusing.http.Get("/api/chat", [](const scripted::Request&, scripted::Response& res) { res.status = 500; });
    use(refusing.origin());
    testing::internal::CaptureStdout();
    EXPECT_FALSE(poll_chat());  // would hang for ever if the wait depended on a callback
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[curl] HTTP status: 500\n"), std::string::npos);
    EXPECT_EQ(out.find("poll chat parse result"), std::string::npos);

    use("http://127.0.0.1:1");  // nobody listens
    EXPECT_FALSE(poll_chat());
    EXPECT_EQ(CONFIG["last_chat"], "");  // null became the empty string
}

class ChatBoxTest : public OnlineScene {};

TEST_F(ChatBoxTest, ABoxFitsItsTextAndFallsFromAboveTheMascot) {
    vimo->position = {300, 900};
    Element* box = spawn_chat("ana: hello");
    EXPECT_EQ(box->layer, -1);
    EXPECT_EQ(box->size.x, 8 * 10 + 8);
    EXPECT_EQ(box->size.y, 16 + 8);
    EXPECT_EQ(box->position.x, 300);
    EXPECT_EQ(box->position.y, 0);
    EXPECT_NE(box->physicsId, -1);
    ASSERT_EQ(box->drawables.size(), 2u);
    EXPECT_EQ(box->drawables[0].size.x, box->size.x);
    EXPECT_EQ(box->drawables[1].size.x, 256);  // wraps at 256 pixels
    ASSERT_NE(getProperty<std::string>(box, "content"), nullptr);
    EXPECT_EQ(*getProperty<std::string>(box, "content"), "ana: hello");
}

TEST_F(ChatBoxTest, ReleasingABoxBurstsItIntoOneLetterPerCharacter) {
    Element* box = spawn_chat("ab c\t\xC3\xA9\xE2\x82\xAC");  // a, b, c, é, €
    size_t before = ELEMENTS.size();
    chat_click(box, {0, 0}, {0, 0}, MOUSE_BUTTON_LEFT);
    EXPECT_NE(std::find(ELEMENTS_TO_BE_REMOVED.begin(), ELEMENTS_TO_BE_REMOVED.end(), box),
              ELEMENTS_TO_BE_REMOVED.end());
    ASSERT_EQ(ELEMENTS.size(), before + 5);
    std::vector<std::string> letters;
    for (Element* e : ELEMENTS) {
        float* life = getProperty<float>(e, "life");
        if (life == nullptr || e->drawables.size() != 2) continue;
        letters.push_back(lines(e)[0]);
        EXPECT_GE(*life, 3);
        EXPECT_LE(*life, 6);
        EXPECT_EQ(e->onUpdate, genericTemporaryElement);
        EXPECT_NE(e->physicsId, -1);
    }
    EXPECT_EQ(letters, (std::vector<std::string>{"a", "b", "c", "\xC3\xA9", "\xE2\x82\xAC"}));
}

TEST_F(ChatBoxTest, LettersStopWhenThePhysicsWorldIsFull) {
    Element* box = spawn_chat("abcdef");
    std::vector<PhysicsBodyData*> filler;
    while (GetPhysicsBodiesCount() < PHYSICS_MAX_BODIES - 2) {
        PhysicsBodyData* b = CreatePhysicsBodyRectangle({-5000, -5000}, 1, 1, 1);
        ASSERT_NE(b, nullptr);
        filler.push_back(b);
    }
    size_t before = ELEMENTS.size();
    chat_click(box, {0, 0}, {0, 0}, MOUSE_BUTTON_LEFT);
    // Two letters had room; the others were never made, and the box is gone.
    size_t made = 0;
    for (size_t i = before; i < ELEMENTS.size(); i++)
        if (ELEMENTS[i]->physicsId != -1) made++;
    EXPECT_EQ(made, 2u);
    EXPECT_EQ(GetPhysicsBodiesCount(), PHYSICS_MAX_BODIES);
    EXPECT_NE(std::find(ELEMENTS_TO_BE_REMOVED.begin(), ELEMENTS_TO_BE_REMOVED.end(), box),
              ELEMENTS_TO_BE_REMOVED.end());
}

}  // namespace
