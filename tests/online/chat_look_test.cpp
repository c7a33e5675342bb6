// Chat lines as the platform shows them: reading a message's look, laying a
// box out from it, the PNG frame strips, the pictures' byte-bounded cache, and
// boxes with pictures fetched from a scripted service beside plain boxes.
#include <stb/stb_image_write.h>

#include <cstdlib>
#include <cstring>

#include "online/chat_look.h"
#include "online/emotes.h"
#include "online_fixture.h"

namespace {

// ---- PNG strips made here -------------------------------------------------------------

uint32_t crc32_of(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string be32(uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

// A width x height RGBA PNG whose pixel (x, y) is colour(x, y); with frames,
// a "vimo-frames" tEXt chunk right after the header.
std::string png_of(int width, int height, const std::function<Color(int, int)>& colour, const std::string& frames = "") {
    std::vector<unsigned char> rgba(size_t(width) * height * 4);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            Color c = colour(x, y);
            std::memcpy(&rgba[(size_t(y) * width + x) * 4], &c, 4);
        }
    std::string bytes;
    stbi_write_png_to_func(
        [](void* to, void* data, int size) { static_cast<std::string*>(to)->append(static_cast<char*>(data), size_t(size)); },
        &bytes, width, height, 4, rgba.data(), width * 4);
    if (!frames.empty()) {
        std::string body = "tEXtvimo-frames" + std::string(1, '\0') + frames;
        std::string chunk = be32(uint32_t(body.size() - 4)) + body + be32(crc32_of(body));
        bytes.insert(8 + 25, chunk);  // after the signature and IHDR
    }
    return bytes;
}

// Frame f of a strip is all one shade: red = 50 * (f + 1).
Color frame_shade(int, int y, int frame_height) { return Color{(unsigned char)(50 * (y / frame_height + 1)), 0, 0, 255}; }

TEST(ChatPictures, AStripPngReadsAsFramesWithTheirDelaysAndAPlainPngAsAStill) {
    std::string strip = png_of(2, 6, [](int x, int y) { return frame_shade(x, y, 2); }, "100,5,80");
    EmoteImage image;
    ASSERT_TRUE(emote_png_read(strip, &image));
    EXPECT_EQ(image.width, 2);
    EXPECT_EQ(image.frame_height, 2);
    EXPECT_EQ(image.delays_ms, (std::vector<int>{100, EMOTE_DELAY_SLOW_MS, 80}));  // 5 ms plays at 100
    ASSERT_EQ(image.rgba.size(), 2u * 6 * 4);
    EXPECT_EQ(image.rgba[(2 * 2) * 4], 100);  // first pixel of frame 1
    EXPECT_EQ(emote_frame_at(image, 0), 0);
    EXPECT_EQ(emote_frame_at(image, 150), 1);
    EXPECT_EQ(emote_frame_at(image, 210), 2);
    EXPECT_EQ(emote_frame_at(image, 290), 0);  // the animation loops after 280 ms

    // Frames that do not divide the height, delays that are not numbers, no
    // chunk at all: a still the size of the whole picture.
    for (const std::string& frames : {std::string("100,100,100,100"), std::string("100,fast"), std::string()}) {
        EmoteImage still;
        ASSERT_TRUE(emote_png_read(png_of(2, 6, [](int x, int y) { return frame_shade(x, y, 2); }, frames), &still));
        EXPECT_TRUE(still.delays_ms.empty()) << frames;
        EXPECT_EQ(still.frame_height, 6) << frames;
        EXPECT_EQ(emote_frame_at(still, 1234), 0);
    }

    // Not a picture, and a small file that claims a huge one (refused before decoding).
    EmoteImage bad;
    EXPECT_FALSE(emote_png_read("<html>404</html>", &bad));
    EXPECT_FALSE(emote_png_read(strip.substr(0, 40), &bad));
    std::string huge = strip;
    huge.replace(16, 8, be32(30000) + be32(30000));
    EXPECT_FALSE(emote_png_read(huge, &bad));
}

TEST(ChatPictures, TheCacheKeepsItsBytesBoundDroppingTheLeastRecentlyUsedFirst) {
    EmoteCache cache;
    cache.limit = 100;
    auto entry = [](size_t bytes) {
        EmoteCacheEntry e;
        e.image = std::make_shared<EmoteImage>();
        e.bytes = bytes;
        return e;
    };
    std::vector<EmoteCacheEntry> evicted;
    emote_cache_put(cache, "a", entry(40), &evicted);
    emote_cache_put(cache, "b", entry(40), &evicted);
    ASSERT_NE(emote_cache_get(cache, "a"), nullptr);  // a is now the more recent
    emote_cache_put(cache, "c", entry(40), &evicted);
    ASSERT_EQ(evicted.size(), 1u);
    EXPECT_EQ(evicted[0].bytes, 40u);
    EXPECT_EQ(emote_cache_get(cache, "b"), nullptr);
    EXPECT_NE(emote_cache_get(cache, "a"), nullptr);
    EXPECT_EQ(cache.used, 80u);
    // Larger than the whole bound: not kept, and nothing else goes for it.
    evicted.clear();
    emote_cache_put(cache, "huge", entry(101), &evicted);
    EXPECT_EQ(evicted.size(), 1u);
    EXPECT_EQ(cache.used, 80u);
    // Putting a key again replaces it; a smaller bound drops the oldest (c: a was used last).
    emote_cache_put(cache, "a", entry(10), &evicted);
    EXPECT_EQ(cache.used, 50u);
    cache.limit = 30;
    evicted.clear();
    emote_cache_trim(cache, &evicted);
    EXPECT_EQ(evicted.size(), 1u);
    EXPECT_EQ(emote_cache_get(cache, "c"), nullptr);
    EXPECT_EQ(cache.used, 10u);
    EXPECT_EQ(cache.slots.size(), cache.order.size());
}

// ---- Reading and laying out looks (8 pixels a byte, 16 a line: the fixture's font) ----------

class ChatLookTest : public OnlineScene {
protected:
    void SetUp() override {
        OnlineScene::SetUp();
        emotes_reset();
    }
    void TearDown() override {
        OnlineScene::TearDown();
        emotes_reset();
    }
};

json emote_at(int start, int end, const std::string& key, int w, int h) {
    return {{"start", start}, {"end", end}, {"image", "/api/emote/" + key}, {"w", w}, {"h", h}};
}

TEST_F(ChatLookTest, ALineLaysOutBadgesTheColouredNameAndEmotesWrappingAt256) {
    json message = {{"text", "hi Kappa there PogChamp end"},
                    {"color", "#ff0000"},
                    {"badges", {{{"set", "moderator"}, {"version", "1"}, {"image", "/api/emote/badge-moderator-1"}},
                                {{"set", "vip"}, {"version", "1"}, {"image", "/api/emote/badge-vip-1"}}}},
                    {"emotes", {emote_at(3, 8, "tw-25", 28, 28), emote_at(15, 23, "tw-88", 80, 32)}}};
    ASSERT_TRUE(chat_look_present(message));
    ChatLook look = chat_look_read(message, "ana", message["text"].get<std::string>());
    ChatLayout layout = chat_look_layout(look, nullptr);
    auto box = [](const ChatPiece& p) { return std::vector<float>{p.box.x, p.box.y, p.box.width, p.box.height}; };
    ASSERT_EQ(layout.pieces.size(), 8u);
    // Line 1, 28 tall (the first emote): badges, name, ": hi ", Kappa, " there ".
    EXPECT_EQ(box(layout.pieces[0]), (std::vector<float>{0, 5, 18, 18}));
    EXPECT_EQ(layout.pieces[1].image, "/api/emote/badge-vip-1");
    EXPECT_EQ(box(layout.pieces[1]), (std::vector<float>{20, 5, 18, 18}));
    EXPECT_EQ(layout.pieces[2].text, "ana");
    EXPECT_EQ(layout.pieces[2].color.r, 255);
    EXPECT_EQ(box(layout.pieces[2]), (std::vector<float>{40, 6, 24, 16}));
    EXPECT_EQ(layout.pieces[3].text, ": hi ");
    EXPECT_EQ(layout.pieces[3].color.r, 0);
    EXPECT_EQ(layout.pieces[4].kind, CHAT_PIECE_IMAGE);
    EXPECT_EQ(layout.pieces[4].text, "Kappa");
    EXPECT_EQ(box(layout.pieces[4]), (std::vector<float>{104, 0, 28, 28}));
    EXPECT_EQ(box(layout.pieces[5]), (std::vector<float>{132, 6, 56, 16}));
    // PogChamp (80 wide) would end at 268: line 2, 32 tall, 2 pixels below line 1.
    EXPECT_EQ(box(layout.pieces[6]), (std::vector<float>{0, 30, 80, 32}));
    EXPECT_EQ(box(layout.pieces[7]), (std::vector<float>{80, 38, 32, 16}));
    EXPECT_EQ(layout.size.x, 188);
    EXPECT_EQ(layout.size.y, 28 + 2 + 32);

    // Kappa's picture failed: its text stands in one black run; the badges
    // make line 1 18 tall; PogChamp still wraps.
    ChatLayout fallback = chat_look_layout(look, [](const std::string& p) { return p == "/api/emote/tw-25"; });
    ASSERT_EQ(fallback.pieces.size(), 6u);
    EXPECT_EQ(fallback.pieces[3].text, ": hi Kappa there ");
    EXPECT_EQ(box(fallback.pieces[3]), (std::vector<float>{64, 1, 136, 16}));
    EXPECT_EQ(box(fallback.pieces[4]), (std::vector<float>{0, 20, 80, 32}));
    EXPECT_EQ(fallback.size.y, 18 + 2 + 32);

    // A zero-width emote sits centred over the one before it (the blank
    // between them goes) and takes no room on the line.
    json stacked = {{"text", "pet hat!"},
                    {"emotes", {emote_at(0, 3, "tw-1", 28, 28), [] {
                                    json e = emote_at(4, 7, "7tv-2", 40, 20);
                                    e["zero_width"] = true;
                                    return e;
                                }()}}};
    ChatLayout over = chat_look_layout(chat_look_read(stacked, "n", "pet hat!"), nullptr);
    ASSERT_EQ(over.pieces.size(), 4u);  // "n: ", pet, hat over it, "!"
    EXPECT_EQ(box(over.pieces[1]), (std::vector<float>{24, 0, 28, 28}));
    EXPECT_EQ(over.pieces[2].text, "hat");
    EXPECT_EQ(box(over.pieces[2]), (std::vector<float>{18, 4, 40, 20}));
    EXPECT_EQ(box(over.pieces[3]), (std::vector<float>{52, 6, 8, 16}));
    EXPECT_EQ(over.size.x, 60);
}

TEST_F(ChatLookTest, OnlyWellFormedPartsOfALookAreKept) {
    std::string long_text(600, 'x');
    json message = {{"text", long_text},
                    {"color", "red"},
                    {"emotes",
                     {emote_at(10, 20, "a", 28, 28), emote_at(15, 25, "b", 28, 28),  // overlapping: both go
                      emote_at(495, 499, "c", 28, 28),                              // ends before the cut's "…"
                      emote_at(499, 500, "d", 28, 28),                              // the "…" is not the message's
                      emote_at(30, 31, "e", 999, 28),                               // wider than a box
                      {{"start", 40}, {"end", 41}, {"image", "http://elsewhere/x"}, {"w", 28}, {"h", 28}},
                      emote_at(50, 50, "f", 28, 28), emote_at(2, 4, "g", 28, 28)}}};  // empty; out of order but fine
    std::string shown = text_bounded(long_text, CHAT_TEXT_MAX_CHARS);
    ChatLook look = chat_look_read(message, "n", shown);
    EXPECT_FALSE(look.colored);
    ASSERT_EQ(look.emotes.size(), 2u);
    EXPECT_EQ(look.emotes[0].image, "/api/emote/g");
    EXPECT_EQ(look.emotes[1].image, "/api/emote/c");

    // At most 50 pictures a box, badges first; the text of the rest stays.
    json crowded = {{"text", std::string(100, 'k')}, {"badges", json::array()}, {"emotes", json::array()}};
    for (int i = 0; i < 45; i++) crowded["badges"].push_back({{"image", "/api/emote/badge-b" + std::to_string(i) + "-1"}});
    for (int i = 0; i < 10; i++) crowded["emotes"].push_back(emote_at(2 * i, 2 * i + 1, "k" + std::to_string(i), 20, 20));
    ChatLook full = chat_look_read(crowded, "n", crowded["text"].get<std::string>());
    EXPECT_EQ(full.badges.size() + full.emotes.size(), CHAT_LOOK_MAX_IMAGES);
    EXPECT_EQ(full.emotes.size(), 5u);
    EXPECT_FALSE(chat_look_present({{"text", "plain"}, {"name", "only a name"}}));
    // A name colour too light for the white box is darkened.
    ChatLook white = chat_look_read({{"color", "#ffffff"}}, "n", "");
    EXPECT_TRUE(white.colored);
    EXPECT_LT(white.color.r, 200);
}

// A service that names pictures faster than it serves them: the waiting ones
// stay bounded, the oldest given up (shown as their text).
TEST_F(ChatLookTest, PicturesWaitingForAFetchAreBounded) {
    ScriptedServer nothing;  // every picture a 404
    use(nothing.origin());
    const unsigned failed_before = emotes_failures();
    const size_t asked = EMOTE_WAITING_MAX + EMOTE_FETCHES_MAX + 10;
    for (size_t i = 0; i < asked; i++) emote_want("/api/emote/k" + std::to_string(i));
    EXPECT_EQ(emotes_in_flight(), EMOTE_FETCHES_MAX);
    EXPECT_EQ(emotes_failures() - failed_before, 10u);
    EXPECT_TRUE(emote_failed("/api/emote/k3"));
    EXPECT_TRUE(emote_failed("/api/emote/k12"));
    EXPECT_FALSE(emote_failed("/api/emote/k13"));
    EXPECT_FALSE(emote_failed("/api/emote/k0"));
}

// ---- Boxes against a scripted service ---------------------------------------------------

struct PictureFeed : ScriptedServer {
    std::vector<json> messages;
    std::string strip = png_of(28, 56, [](int x, int y) { return frame_shade(x, y, 28); }, "100,100");
    PictureFeed() {
        http.Get("/api/chat", [this](const scripted::Request& req, scripted::Response& res) {
            size_t count = size_t(std::stoi(req.get_param_value("count")));
            json page = json::array();
            for (size_t i = messages.size() > count ? messages.size() - count : 0; i < messages.size(); i++)
                page.push_back(messages[i]);
            res.set_content(page.dump(), "application/json");
        });
        for (const char* key : {"tw-25", "e1", "e2", "e3", "e4"})
            http.Get(std::string("/api/emote/") + key, [this](const scripted::Request&, scripted::Response& res) {
                res.set_content(strip, "image/png");
            });
        // /api/emote/badge-moderator-1 is not served: a 404.
    }
};

TEST_F(ChatLookTest, BoxesWithALookFetchEachPictureOnceAndPlainBoxesStayAsTheyWere) {
    PictureFeed feed;
    use(feed.origin());
    feed.messages.push_back({{"message", "m1"}, {"text", "hello"}, {"chatter", {{"corvane", "bo"}}}});
    feed.messages.push_back({{"message", "m2"},
                             {"text", "hi Kappa"},
                             {"chatter", {{"twitch", "12"}}},
                             {"name", "Ana"},
                             {"color", "#00aa00"},
                             {"badges", {{{"image", "/api/emote/badge-moderator-1"}}}},
                             {"emotes", {emote_at(3, 8, "tw-25", 28, 28)}}});
    ASSERT_TRUE(poll_chat());
    EXPECT_TRUE(feed.log_starting("GET /api/user").empty());  // the name came with the message
    std::vector<std::string> texts = online_jobs.take_chats();
    ASSERT_EQ(texts, (std::vector<std::string>{"bo: hello", "Ana: hi Kappa"}));
    online_jobs.spawn_chat(texts[0]);
    online_jobs.spawn_chat(texts[1]);
    ASSERT_EQ(chat_box_count(), 2u);
    Element* plain = live_elements_with(chat_click)[0];
    Element* rich = live_elements_with(chat_click)[1];

    // The plain box is the box spawn_chat always made.
    Element* reference = spawn_chat("bo: hello");
    ASSERT_EQ(plain->drawables.size(), 2u);
    EXPECT_EQ(plain->drawables[1].source, reference->drawables[1].source);
    EXPECT_EQ(plain->size.x, reference->size.x);
    EXPECT_EQ(plain->size.y, reference->size.y);
    EXPECT_EQ(plain->onDraw, nullptr);
    EXPECT_EQ(getProperty<ChatLayout>(plain, "layout"), nullptr);

    // The rich one falls at once, holding Kappa's place (badge, "Ana", ": hi ", Kappa).
    ASSERT_NE(getProperty<ChatLayout>(rich, "layout"), nullptr);
    EXPECT_EQ(rich->size.x, 20 + 24 + 40 + 28 + 8);
    EXPECT_EQ(rich->size.y, 28 + 8);
    EXPECT_EQ(emote_show("/api/emote/tw-25", 0).status, EMOTE_WAITING);
    settle();
    settle();
    EmoteShow kappa = emote_show("/api/emote/tw-25", 150);
    EXPECT_EQ(kappa.status, EMOTE_READY);
    EXPECT_TRUE(kappa.animated);
    EXPECT_EQ(kappa.source.y, 28);  // the second frame at 150 ms
    EXPECT_EQ(emote_show("/api/emote/badge-moderator-1", 0).status, EMOTE_FAILED);
    EXPECT_EQ(emotes_cache_bytes(), 28u * 56 * 4);
    // The failed badge leaves the box at its next update, which gets a body of its new size.
    int bodies = GetPhysicsBodiesCount();
    ASSERT_NE(rich->onUpdate, nullptr);
    rich->onUpdate(rich, 0, 0);
    EXPECT_EQ(rich->size.x, 24 + 40 + 28 + 8);
    EXPECT_NE(rich->physicsId, -1);
    EXPECT_EQ(GetPhysicsBodiesCount(), bodies);  // replaced, not orphaned
    EXPECT_EQ(getProperty<ChatLayout>(rich, "layout")->pieces.at(0).text, "Ana");

    // A second box with the same picture asks nothing; five new ones go at most three at a time.
    auto look = std::make_shared<ChatLook>();
    look->name = "x";
    look->text = "a b c d e f";
    for (int i = 0; i < 5; i++) {
        std::string path = i == 0 ? "/api/emote/tw-25" : "/api/emote/e" + std::to_string(i);
        look->emotes.push_back({size_t(2 * i), size_t(2 * i + 1), path, 28, 28, false});
    }
    ASSERT_NE(spawn_chat_look("x: a b c d e f", look), nullptr);
    EXPECT_EQ(emotes_in_flight(), 3);
    for (int i = 0; i < 5 && emotes_in_flight() > 0; i++) settle();
    EXPECT_EQ(emotes_in_flight(), 0);
    EXPECT_EQ(feed.log_starting("GET /api/emote/tw-25"), (std::vector<std::string>{"GET /api/emote/tw-25"}));
    EXPECT_EQ(feed.log_starting("GET /api/emote/e").size(), 4u);
    EXPECT_EQ(emote_show("/api/emote/e4", 0).status, EMOTE_READY);

    // The burst: letters for "Ana: hi " and one piece showing Kappa; the failed badge makes none.
    std::vector<Element*> before = ELEMENTS;
    chat_click(rich, {0, 0}, {0, 0}, MOUSE_BUTTON_LEFT);
    size_t pictures = 0, made = 0, green = 0;
    for (Element* e : ELEMENTS) {
        if (std::find(before.begin(), before.end(), e) != before.end()) continue;
        made++;
        if (e->drawables.size() == 2 && e->drawables[1].color.g == 0xaa) green++;
        const ChatLayout* piece = getProperty<ChatLayout>(e, "layout");
        if (piece == nullptr) continue;
        pictures++;
        EXPECT_EQ(piece->pieces.at(0).image, "/api/emote/tw-25");
        EXPECT_EQ(e->size.x, 28 + 8);
        EXPECT_EQ(e->onDraw, rich->onDraw);
    }
    EXPECT_EQ(pictures, 1u);
    EXPECT_EQ(made, 6u + 1u);  // A n a : h i, and Kappa
    EXPECT_EQ(green, 3u);      // the name's letters keep its colour
}

TEST_F(ChatLookTest, TheCacheBoundComesFromTheConfiguration) {
    std::string problem;
    EXPECT_EQ(emotes_cache_choose_mb(json(), &problem), EMOTE_CACHE_DEFAULT_MB);
    EXPECT_EQ(emotes_cache_choose_mb(json(8), &problem), 8u);
    EXPECT_TRUE(problem.empty());
    EXPECT_EQ(emotes_cache_choose_mb(json(0), &problem), EMOTE_CACHE_DEFAULT_MB);
    EXPECT_EQ(problem, "config: \"emote_cache_mb\" must be an integer from 1 to 4096 (not 0); using 64");
}

}  // namespace
