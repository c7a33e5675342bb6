// The commune composer: typing, Backspace, the growing bubble, and the post
// with its answer handed to the main thread.
#include "online_fixture.h"

namespace {

struct PostService : ScriptedServer {
    std::string answer = "msg-77";
    PostService() {
        http.Post("/api/vimoexe/chat", [this](const scripted::Request&, scripted::Response& res) {
            std::lock_guard<std::mutex> lock(m);
            res.set_content(answer, "text/plain");
        });
    }
};

class CommuneTest : public OnlineScene {
protected:
    void type(Element* bubble, const std::string& utf8) {
        for (const std::string& ch : utf8_split(utf8)) {
            // Decode the one character to its code point, as the keyboard gives it.
            unsigned char c = ch[0];
            int cp = c;
            if (ch.size() == 2) cp = ((c & 0x1F) << 6) | (ch[1] & 0x3F);
            if (ch.size() == 3) cp = ((c & 0x0F) << 12) | ((ch[1] & 0x3F) << 6) | (ch[2] & 0x3F);
            if (ch.size() == 4)
                cp = ((c & 0x07) << 18) | ((ch[1] & 0x3F) << 12) | ((ch[2] & 0x3F) << 6) | (ch[3] & 0x3F);
            commune_input(bubble, cp, false, false);
        }
    }
};

TEST_F(CommuneTest, EnterPostsTheDraftPercentEncoded) {
    PostService service;
    use(service.origin());
    Element* bubble = commune_spawn();
    EXPECT_EQ(lines(bubble), (std::vector<std::string>{"Commune to the wider world:",
                                                       "(type your message to have it show here)", ""}));
    EXPECT_EQ(bubble->onUpdate, commune_update);

    type(bubble, "hi");
    commune_input(bubble, 0, true, false);
    settle();
    EXPECT_EQ(service.log(), std::vector<std::string>{"POST /api/vimoexe/chat?id=1065353216:1056964608:0&content=hi"});
    // The answer becomes the cursor and the composer bursts.
    EXPECT_EQ(CONFIG["last_chat"], "msg-77");
    EXPECT_EQ(menu, nullptr);

    service.forget();
    bubble = commune_spawn();
    EXPECT_EQ(commune_content, "");
    type(bubble, "a b\xC3\xA9");
    commune_input(bubble, 0, true, false);
    ASSERT_TRUE(fetch_wait_idle(15000));
    EXPECT_EQ(service.log(),
              std::vector<std::string>{"POST /api/vimoexe/chat?id=1065353216:1056964608:0&content=a%20b%C3%A9"});
}

TEST_F(CommuneTest, BackspaceRemovesWholeCharactersAndTheBubbleFollowsTheDraft) {
    PostService service;
    use(service.origin());
    Element* bubble = commune_spawn();
    Vector2 empty = bubble->size;
    float line = getDrawableSize(bubble, bubble->drawables[3]).y;  // the empty draft line
    EXPECT_EQ(commune_size.y, empty.y - line);

    commune_input(bubble, 0, false, true);  // Backspace on an empty draft: nothing
    EXPECT_EQ(commune_content, "");
    EXPECT_EQ(bubble->size.y, empty.y);

    type(bubble, "x\xE2\x82\xAC");  // x €
    EXPECT_EQ(commune_content, "x\xE2\x82\xAC");
    commune_input(bubble, 0, false, true);
    EXPECT_EQ(commune_content, "x");
    commune_input(bubble, 0, false, true);
    EXPECT_EQ(commune_content, "");
    // Back at the fixed part plus one empty draft line.
    EXPECT_EQ(bubble->size.y, empty.y);
    EXPECT_EQ(lines(bubble)[2], "");

    // A draft wider than the bubble wraps, and the bubble grows by a line height per line.
    // A line takes the letter that first makes it too wide: W / 8 + 1 letters.
    int per_line = int(bubble->size.x / 8) + 1;
    type(bubble, std::string(per_line * 2 + 1, 'w'));
    EXPECT_EQ(bubble->size.y, commune_size.y + 3 * 16);
    EXPECT_EQ(bubble->drawables[0].size.y, bubble->size.y);
    EXPECT_EQ(bubble->size.x, commune_size.x);
    // Title and hint keep to the top edge as built (8 px of frame above the
    // title's 16 px line); the draft keeps its left edge, and its three lines
    // end the same 8 px above the frame's bottom edge as the empty one did.
    float top = -bubble->size.y * 0.5f;
    EXPECT_EQ(bubble->drawables[1].offset.y, top + 8 + 8);
    EXPECT_EQ(bubble->drawables[2].offset.y, top + 8 + 28);
    Vector2 draft = getDrawableSize(bubble, bubble->drawables[3]);
    EXPECT_EQ(draft.y, 3 * 16);
    EXPECT_EQ(bubble->drawables[3].offset.x - draft.x * 0.5f, commune_left);
    EXPECT_EQ(bubble->drawables[3].offset.y + draft.y * 0.5f, -top - 8);
}

TEST_F(CommuneTest, TheAnswerClosesWhicheverBubbleIsOpenOnTheMainThread) {
    PostService service;
    service.answer = std::string("bad \xFF bytes");  // not UTF-8: must not break the configuration's save
    use(service.origin());
    Element* composer = commune_spawn();
    type(composer, "yo");
    commune_input(composer, 0, true, false);
    ASSERT_TRUE(fetch_wait_idle(15000));
    // Nothing happened on the worker: the composer is still the open bubble.
    EXPECT_EQ(menu, composer);
    EXPECT_TRUE(CONFIG["last_chat"].is_null());
    // A live notice replaced it meanwhile; that notice is what the answer closes.
    Element* notice = live_spawn("fern");
    online_drain();
    EXPECT_EQ(menu, nullptr);
    EXPECT_NE(std::find(ELEMENTS_TO_BE_REMOVED.begin(), ELEMENTS_TO_BE_REMOVED.end(), notice),
              ELEMENTS_TO_BE_REMOVED.end());
    EXPECT_EQ(CONFIG["last_chat"], "bad \xEF\xBF\xBD bytes");
    EXPECT_NO_THROW(CONFIG.dump());
}

TEST_F(CommuneTest, ARefusedPostKeepsTheComposerOpen) {
    ScriptedServer refusing;
    refusing.http.Post("/api/vimoexe/chat", [](const scripted::Request&, scripted::Response& res) { res.status = 400; });
    use(refusing.origin());
    Element* composer = commune_spawn();
    type(composer, "hello");
    commune_input(composer, 0, true, false);
    settle();
    EXPECT_EQ(menu, composer);
    EXPECT_EQ(commune_content, "hello");
}

}  // namespace
