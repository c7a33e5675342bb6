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
    feed.names["web.7"] = "webby";
    feed.names["kick.7"] = "kicker";
    feed.names["youtube.UCtube"] = "tuber";
    feed.messages = {
        {{"message", "a"}, {"text", "old"}, {"chatter", {{"twitch", "12"}}}},
        {{"message", "b"}, {"text", 42}, {"chatter", {{"twitch", 12}}}},  // numeric id and text
        {{"message", "c"}, {"chatter", {{"discord", "77"}}}},              // no text
        {{"message", "d"}, {"text", "hey"}, {"chatter", {{"corvane", "Corvo"}}}},
        {{"message", "e"}, {"text", "x"}, {"chatter", {{"matrix", "@nobody"}}}},  // lookup refused
        {{"message", "f"}, {"text", "w"}, {"chatter", {{"web", "7"}}}},  // two platforms' id 7: two people
        {{"message", "g"}, {"text", "t"}, {"chatter", {{"kick", "7"}}}},
        {{"message", "h"}, {"text", "yt"}, {"chatter", {{"youtube", "UCtube"}}}},
    };
    use(feed.origin());

    EXPECT_TRUE(poll_chat());
    EXPECT_EQ(chat_to_spawn, (std::vector<std::string>{"tuber: yt", "kicker: t", "webby: w", "anonymous: x",
                                                       "Corvo: hey", "dee: null", "ana: 42", "ana: old"}));
    // One lookup per id (string and number 12 are the same id), none for the
    // name-only platform; the id is sent percent-encoded.
    EXPECT_EQ(feed.log_starting("GET /api/user"),
              (std::vector<std::string>{"GET /api/user?select=youtube.name&where=youtube.id=UCtube",
                                        "GET /api/user?select=kick.name&where=kick.id=7",
                                        "GET /api/user?select=web.name&where=web.id=7",
                                        "GET /api/user?select=matrix.name&where=matrix.id=%40nobody",
                                        "GET /api/user?select=discord.name&where=discord.id=77",
                                        "GET /api/user?select=twitch.name&where=twitch.id=12"}));
    EXPECT_EQ(ID_TO_NAME.at("twitch:12"), "ana");
    EXPECT_EQ(ID_TO_NAME.count("matrix:@nobody"), 0u);  // a failed lookup is not cached
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

// Characters are code points; a cut keeps the first ones and ends in "…"
// within the bound, never splits a sequence, and reads no further than it.
TEST(ChatTextBounds, CutsByCodePointsAndKeepsFourMarksOnACharacter) {
    const std::string ellipsis = "\xE2\x80\xA6";
    const std::string acute = "\xCC\x81";  // U+0301
    EXPECT_EQ(text_bounded("hello", 5), "hello");
    EXPECT_EQ(text_bounded("hello!", 5), "hell" + ellipsis);
    std::string e_acute;
    for (int i = 0; i < 600; i++) e_acute += "\xC3\xA9";  // é, two bytes each
    std::string cut = text_bounded(e_acute, CHAT_TEXT_MAX_CHARS);
    EXPECT_EQ(cut.size(), 499 * 2 + ellipsis.size());
    EXPECT_EQ(cut.substr(cut.size() - 5), "\xC3\xA9" + ellipsis);
    EXPECT_EQ(text_bounded(cut, CHAT_TEXT_MAX_CHARS), cut);  // the bound applied twice changes nothing
    EXPECT_EQ(utf8_split(cut).size(), CHAT_TEXT_MAX_CHARS);

    std::string marks;
    for (int i = 0; i < 100000; i++) marks += acute;
    // The name of 100,000 marks keeps four of them; the marks dropped are not
    // counted, so the name is not cut either.
    EXPECT_EQ(text_bounded("a" + marks, CHAT_NAME_MAX_CHARS), "a" + acute + acute + acute + acute);
    EXPECT_EQ(text_bounded(marks + "b" + acute + acute, 10), acute + acute + acute + acute + "b" + acute + acute);
    EXPECT_TRUE(combining_mark(0x301) && combining_mark(0x1AB0) && combining_mark(0x20D0) && combining_mark(0xE0100));
    EXPECT_FALSE(combining_mark('a') || combining_mark(0x2026) || combining_mark(0x4E00) || combining_mark(-1));
    // Stray bytes are characters of their own, never marks.
    EXPECT_EQ(text_bounded("\xFF\xCC\xCC\xCC\xCC\xCCx", 7), "\xFF\xCC\xCC\xCC\xCC\xCCx");
    EXPECT_EQ(text_bounded("\xFF\xFE", 1), ellipsis);
    EXPECT_EQ(text_bounded("abc", 0), "");
}

// A hostile page: a text of a megabyte, a name of 100 characters and one of
// 100,000 marks looked up by id. The poll keeps only the bounded texts, the
// name cache the bounded name, and the printed page is cut with its length.
TEST_F(ChatPollTest, TextsAndNamesAreCutBeforeTheyAreKept) {
    ChatFeed feed;
    std::string mb(1000000, 'x');
    std::string marks;
    for (int i = 0; i < 100000; i++) marks += "\xCC\x81";
    feed.names["twitch.7"] = "b" + marks;
    feed.messages = {
        {{"message", "a"}, {"text", mb}, {"chatter", {{"corvane", std::string(100, 'n')}}}},
        {{"message", "b"}, {"text", "hi"}, {"chatter", {{"twitch", "7"}}}},
    };
    use(feed.origin());
    testing::internal::CaptureStdout();
    EXPECT_TRUE(poll_chat());
    std::string out = testing::internal::GetCapturedStdout();
    const std::string ellipsis = "\xE2\x80\xA6";
    std::string four = "\xCC\x81\xCC\x81\xCC\x81\xCC\x81";
    ASSERT_EQ(chat_to_spawn.size(), 2u);
    EXPECT_EQ(chat_to_spawn[0], "b" + four + ": hi");
    EXPECT_EQ(chat_to_spawn[1], std::string(63, 'n') + ellipsis + ": " + std::string(499, 'x') + ellipsis);
    EXPECT_EQ(ID_TO_NAME.at("twitch:7"), "b" + four);
    size_t line = out.find("poll chat parse result: [{\"chatter\":{\"corvane\"");  // the page of two
    ASSERT_NE(line, std::string::npos);
    std::string first = out.substr(line, out.find('\n', line) - line);
    std::string page = json(feed.messages).dump();
    EXPECT_EQ(first, "poll chat parse result: " + page.substr(0, NET_LOG_BODY_MAX) + ellipsis + " (" +
                         std::to_string(page.size()) + " bytes in all)");
}

class ChatBoxTest : public OnlineScene {};

// "chat_boxes" 3: the oldest box bursts, as a click bursts it, when a fourth
// comes; a poll's texts come oldest first and only as many as the desktop
// keeps; with 0 no box is made; a bad value is reported and the default used.
TEST_F(ChatBoxTest, TheDesktopKeepsTheNewestBoxesAndTheOldestBurst) {
    CONFIG["chat_boxes"] = 3;
    online_init();
    EXPECT_EQ(chat_boxes_limit, 3);
    std::vector<Element*> boxes;
    for (const char* text : {"a: 1", "b: 2", "c: 3"}) boxes.push_back(spawn_chat(text));
    EXPECT_EQ(chat_box_count(), 3u);
    size_t before = ELEMENTS.size();
    Element* fourth = spawn_chat("d: 4");
    EXPECT_EQ(chat_box_count(), 3u);
    // The first box is queued for removal and burst into its letters a, :, 1.
    EXPECT_NE(std::find(ELEMENTS_TO_BE_REMOVED.begin(), ELEMENTS_TO_BE_REMOVED.end(), boxes[0]),
              ELEMENTS_TO_BE_REMOVED.end());
    EXPECT_EQ(ELEMENTS.size(), before + 3 + 1);
    chat_click(boxes[2], {0, 0}, {0, 0}, MOUSE_BUTTON_LEFT);  // a click takes one off the count
    EXPECT_EQ(chat_box_count(), 2u);
    spawn_chat("e: 5");
    EXPECT_EQ(chat_box_count(), 3u);
    EXPECT_EQ(std::find(ELEMENTS_TO_BE_REMOVED.begin(), ELEMENTS_TO_BE_REMOVED.end(), boxes[1]),
              ELEMENTS_TO_BE_REMOVED.end());  // room was left: nothing more burst
    EXPECT_EQ(std::find(ELEMENTS_TO_BE_REMOVED.begin(), ELEMENTS_TO_BE_REMOVED.end(), fourth),
              ELEMENTS_TO_BE_REMOVED.end());

    chat_to_spawn = {"n5", "n4", "n3", "n2", "n1"};  // a poll's order: newest first
    EXPECT_EQ(chat_take(), (std::vector<std::string>{"n3", "n4", "n5"}));
    EXPECT_TRUE(chat_to_spawn.empty());

    CONFIG["chat_boxes"] = 0;
    online_init();
    chat_to_spawn = {"n6"};
    EXPECT_TRUE(chat_take().empty());
    EXPECT_EQ(spawn_chat("f: 6"), nullptr);

    std::string problem;
    EXPECT_EQ(chat_boxes_choose(json(), &problem), CHAT_BOXES_DEFAULT);
    EXPECT_EQ(chat_boxes_choose(12, &problem), 12);
    EXPECT_EQ(chat_boxes_choose(CHAT_BOXES_MOST, &problem), CHAT_BOXES_MOST);
    EXPECT_TRUE(problem.empty());
    for (const json& bad : {json(-1), json(CHAT_BOXES_MOST + 1), json(2.5), json("40"), json::array()}) {
        problem.clear();
        EXPECT_EQ(chat_boxes_choose(bad, &problem), CHAT_BOXES_DEFAULT) << bad.dump();
        EXPECT_EQ(problem.rfind("config: \"chat_boxes\" must be an integer from 0 to 1000 (not ", 0), 0u) << problem;
    }
    CONFIG["chat_boxes"] = "lots";
    testing::internal::CaptureStdout();
    online_init();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "config: \"chat_boxes\" must be an integer from 0 to 1000 (not \"lots\"); using 40\n");
    EXPECT_EQ(chat_boxes_limit, CHAT_BOXES_DEFAULT);
    EXPECT_EQ(CONFIG["chat_boxes"], "lots");  // kept as it was, and saved so
}

// Any text a box is given is cut to its bound; bursts together never make more
// than CHAT_LETTERS_MAX letters at once.
TEST_F(ChatBoxTest, ABoxShowsAtMostItsBoundAndBurstsIntoAtMostTheLetterBound) {
    Element* big = spawn_chat(std::string(1000000, 'y'));
    ASSERT_NE(getProperty<std::string>(big, "content"), nullptr);
    EXPECT_EQ(utf8_split(*getProperty<std::string>(big, "content")).size(), CHAT_BOX_MAX_CHARS);
    EXPECT_EQ(big->size.x, 256 + 8 + 8);  // 33 characters of 8 pixels make the first line
    Element* small = spawn_chat("zz");
    size_t before = ELEMENTS.size();
    chat_click(big, {0, 0}, {0, 0}, MOUSE_BUTTON_LEFT);
    EXPECT_EQ(ELEMENTS.size(), before + CHAT_LETTERS_MAX);
    chat_click(small, {0, 0}, {0, 0}, MOUSE_BUTTON_LEFT);  // no room for its letters while those tumble
    EXPECT_EQ(ELEMENTS.size(), before + CHAT_LETTERS_MAX);
}

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
