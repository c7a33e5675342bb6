// Chat as the platforms show it: a Twitch line's colour, badges and emotes
// (Twitch's own from its tags, 7TV's, BetterTTV's and FrankerFaceZ's from a
// scripted stand-in of the three providers) and a Discord custom emoji, as the
// chat page serves them; hostile tags and providers' answers; the colour rule.
#include "bridge_test_util.h"
#include "bridges/discord/gateway.h"
#include "bridges/twitch/look.h"
#include "chat/look.h"
#include "discord_gateway_util.h"
#include "emotes/image_key.h"
#include "handlers/server.h"
#include "image_makers.h"
#include "service_fixture.h"

using namespace service_test;
using namespace bridge_test;

namespace {

class LookTest : public ServiceTest {
protected:
    void TearDown() override {
        ServiceTest::TearDown();  // the bridges stop before their servers go
        gateway.kill();
    }
    // The newest message whose text is text; null when none.
    json message(const std::string& text) {
        json found;
        for (const json& m : chat(100))
            if (m["text"] == text) found = m;
        return found;
    }
    static json span(int64_t start, int64_t end, const std::string& key, int w, int h, bool zero_width = false) {
        json s{{"start", start}, {"end", end}, {"image", "/api/emote/" + key}, {"w", w}, {"h", h}};
        if (zero_width) s["zero_width"] = true;
        return s;
    }
    static std::string privmsg(const std::string& tags, const std::string& channel, const std::string& text) {
        return "@" + tags + " :u!u@u PRIVMSG " + channel + " :" + text;
    }
    gateway_test::ScriptedGateway gateway;
    // The providers' stand-in and a Twitch server whose two channels have ids 4242 and
    // 666, the service reading both, once every set the channels have is taken in.
    void start_twitch_with_providers() {
        providers = std::make_unique<Child>(
            std::vector<std::string>{"/usr/bin/python3", std::string(VIMO_SCRIPTED_DIR) + "/emote_providers.py"});
        std::string first;
        ASSERT_TRUE(providers->read_line(&first, 30));
        base = "http://127.0.0.1:" + std::to_string(json::parse(first)["port"].get<int>());
        twitch = std::make_unique<ScriptedTwitch>(dir + "/certs");
        ASSERT_TRUE(twitch->ok());
        options.emotes.third_party = true;
        options.emotes.seventv_api = base + "/7tv";
        options.emotes.bttv_api = base + "/bttv";
        options.emotes.bttv_cdn = base + "/bttv-cdn";
        options.emotes.ffz_api = base + "/ffz";
        options.bridges.twitch_channels = {"look", "big"};
        options.bridges.twitch_server = "localhost:" + std::to_string(twitch->port());
        options.bridges.tls_ca = twitch->ca();
        testing::internal::CaptureStderr();
        restart();
        ASSERT_TRUE(wait_until(15, [&] { return twitch->joined({"#look", "#big"}); }));
        ASSERT_TRUE(twitch->control({{"cmd", "send"}, {"lines", {"@room-id=4242 :tmi.twitch->tv ROOMSTATE #look",
                                                                 "@room-id=666 :tmi.twitch->tv ROOMSTATE #big"}}})["ok"]);
        httplib::Client hits("127.0.0.1", std::stoi(base.substr(base.rfind(':') + 1)));
        // Each channel's three sets in turn: FrankerFaceZ's of 666 is asked once 7TV's
        // and BetterTTV's answers are refused (reading 100,000 emotes takes a minute
        // and more under the thread sanitizer).
        json asked;
        ASSERT_TRUE(wait_until(300, [&] {
            auto r = hits.Get("/hits");
            asked = r ? json::parse(r->body) : json();
            return asked.is_array() && std::find(asked.begin(), asked.end(), "/ffz/room/id/666") != asked.end();
        })) << asked;
        // The answers are read on the bridge's thread: a probe line shows when they are in.
        bool ready = false;
        for (int i = 0; i < 30 && !ready; ++i) {
            std::string text = "probe " + std::to_string(i) + " SevenZW FfzChan BttvChan";
            twitch->control({{"cmd", "send"}, {"lines", {privmsg("id=p" + std::to_string(i) + ";room-id=4242;user-id=9", "#look", text)}}});
            ready = wait_until(5, [&] { return !message(text).is_null(); }) && message(text)["emotes"].size() == 3;
        }
        ASSERT_TRUE(ready) << chat(5).dump();
    }
    std::unique_ptr<Child> providers;
    std::unique_ptr<ScriptedTwitch> twitch;
    std::string base;  // the providers' http://127.0.0.1:PORT
};

TEST_F(LookTest, TwitchLineKeepsItsColourBadgesAndEmotes) {
    ASSERT_NO_FATAL_FAILURE(start_twitch_with_providers());
    const std::string a_text = "é Kappa SevenAnim SevenZW BttvChan FfzChan SevenGlobal FfzGlobal NotDefault";
    std::string kappas = "Kappa", kappa_ranges = "25:0-4";
    for (int i = 1; i < 60; ++i) kappas += " Kappa", kappa_ranges += "," + std::to_string(6 * i) + "-" + std::to_string(6 * i + 4);
    const std::string long_text = "Kappa " + std::string(595, 'x') + " Kappa";
    ASSERT_TRUE(twitch->control({{"cmd", "send"}, {"lines", {
        privmsg("badges=moderator/1,subscriber/12;color=#1E90FF;display-name=Ann;emotes=25:2-6;id=a1;room-id=4242;"
                "user-id=101", "#look", a_text),
        privmsg("color=;display-name=Bob;id=b1;room-id=4242;user-id=102", "#look", "plain words"),
        privmsg("color=red;emotes=25:0-2,1-3/bad!id:4-6/88:8-999/99:4-6/junk/77:12-10;id=c1;room-id=4242;user-id=103",
                "#look", "hey you there"),
        privmsg("emotes=25:0-4,602-606;id=d1;room-id=4242;user-id=104", "#look", long_text),
        privmsg("badges=broadcaster/1,vip/1;emotes=" + kappa_ranges + ";id=e1;room-id=4242;user-id=105", "#look", kappas),
        privmsg("id=f1;room-id=666;user-id=106", "#big", "SevenGlobal BttvGlobal BttvChan")}}})["ok"]);
    ASSERT_TRUE(wait_until(15, [&] { return !message("SevenGlobal BttvGlobal BttvChan").is_null(); }));
    std::string err = testing::internal::GetCapturedStderr();

    // Native, channel (shadowing a global of its name), zero-width, each provider, globals;
    // spans in code points past the "é"; a non-default FFZ set is no emote.
    json a = message(a_text);
    EXPECT_EQ(a["name"], "Ann");
    EXPECT_EQ(a["chatter"], json({{"twitch", "101"}}));
    EXPECT_EQ(a["emotes"], json::array({span(2, 7, "tw-25", 28, 28), span(8, 17, "7tv-C7anim", 56, 32),
                                         span(18, 25, "7tv-C7zw", 28, 28, true), span(26, 34, "bttv-Bchan1", 28, 28),
                                         span(35, 42, "ffz-700", 48, 32), span(43, 54, "7tv-G7glob", 40, 28),
                                         span(55, 64, "ffz-9", 32, 32)}));
    EXPECT_EQ(a["badges"], json::parse(R"([{"set":"moderator","version":"1","image":"/api/emote/badge-moderator-1"},
        {"set":"subscriber","version":"12","image":"/api/emote/badge-subscriber-12-4242"}])"));
    std::string color = a["color"];
    EXPECT_NE(color, "#1e90ff");  // 3.2:1 on white: darkened
    EXPECT_GE(chat_contrast(color, "#ffffff"), LOOK_MIN_CONTRAST) << color;
    EXPECT_LT(chat_contrast(color, "#ffffff"), 4.8) << color << ": no darker than it needs";
    // The images the endpoint may fetch are the ones the providers named.
    auto anim = service->catalog->find("7tv-C7anim");
    ASSERT_TRUE(anim);
    EXPECT_EQ(anim->url_1x, "https:" + base.substr(5) + "/7tv-cdn/emote/C7anim/1x.webp");
    EXPECT_EQ(anim->url_2x, "https:" + base.substr(5) + "/7tv-cdn/emote/C7anim/2x.webp");
    EXPECT_TRUE(anim->animated);
    ASSERT_TRUE(service->catalog->find("bttv-Bchan1"));
    EXPECT_EQ(service->catalog->find("bttv-Bchan1")->url_1x, base + "/bttv-cdn/emote/Bchan1/1x");
    ASSERT_TRUE(service->catalog->find("ffz-700"));
    EXPECT_EQ(service->catalog->find("ffz-700")->url_2x, "https://cdn.frankerfacez.com/emote/700/animated/2.webp");
    EXPECT_FALSE(service->catalog->find("7tv-e1")) << "a refused set teaches nothing";

    // No colour: Twitch's default for the id (102 % 15: hot pink), made readable.
    json b = message("plain words");
    EXPECT_EQ(b["color"], chat_readable_color("#FF69B4"));
    EXPECT_GE(chat_contrast(b["color"], "#ffffff"), LOOK_MIN_CONTRAST);
    EXPECT_EQ(b["badges"], json::array());
    EXPECT_EQ(b["emotes"], json::array());
    // Hostile tags: only the sound range stays; a colour that is no #RRGGBB is none (103: blue violet).
    json c = message("hey you there");
    EXPECT_EQ(c["emotes"], json::array({span(4, 7, "tw-99", 28, 28)}));
    EXPECT_EQ(c["color"], "#8a2be2");
    EXPECT_NE(err.find("vimo-service: twitch: dropped 6 malformed"), std::string::npos) << err;
    // Cut to 500 characters: only the span inside the cut text stays.
    json d = message(std::string(long_text, 0, 500));
    EXPECT_EQ(d["emotes"], json::array({span(0, 5, "tw-25", 28, 28)}));
    // At most 50 images: the two badges and the first 48 emotes.
    json e = message(kappas);
    EXPECT_EQ(e["badges"].size(), 2u);
    ASSERT_EQ(e["emotes"].size(), 48u);
    EXPECT_EQ(e["emotes"][47]["start"], 6 * 47);
    // A channel whose answers are over the bounds: refused with a line each, its
    // globals still shown; a channel a provider does not know is no fault.
    EXPECT_EQ(message("SevenGlobal BttvGlobal BttvChan")["emotes"],
              json::array({span(0, 11, "7tv-G7glob", 40, 28), span(12, 22, "bttv-Bglobal2", 28, 28)}));
    EXPECT_NE(err.find("7TV emotes of channel 666 refused (more than 5000 emotes)"), std::string::npos) << err;
    EXPECT_NE(err.find("BetterTTV emotes of channel 666 refused (reading the answer"), std::string::npos) << err;
    EXPECT_EQ(err.find("FrankerFaceZ emotes of channel"), std::string::npos) << err;
}

TEST_F(LookTest, DiscordCustomEmojiAreSpans) {
    gateway.dir = dir + "/gateway";
    std::filesystem::create_directories(gateway.dir);
    ASSERT_TRUE(gateway.start("serve", {"--control-port", "0", "--channel", "111"}));
    options.bridges.discord_token = "any-token";
    options.bridges.discord_channels = {"111"};
    options.bridges.discord_gateway = gateway.url();
    options.bridges.tls_ca = gateway.ca;
    httplib::Server cdn;  // Discord's CDN: the animated emoji a GIF, the still one a PNG
    cdn.Get("/emojis/123456789.gif", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(gif(28, 28, {5, 12}), "image/gif");
    });
    cdn.Get("/emojis/42.png", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(solid_png(28, 28, 0xff00ff00), "image/png");
    });
    options.emotes.discord_cdn = "http://127.0.0.1:" + std::to_string(cdn.bind_to_any_port("127.0.0.1"));
    std::thread cdn_thread([&] { cdn.listen_after_bind(); });
    struct StopCdn {
        httplib::Server& server;
        std::thread& thread;
        ~StopCdn() { server.stop(), thread.join(); }
    } stop_cdn{cdn, cdn_thread};
    restart();
    const std::string text = "é <a:party_blob:123456789> and <:smile:42> <:bad> <a:x:12ab>";
    bool through = false;  // orders reach the sessions the gateway has: wait for ours
    for (int i = 0; i < 10 && !through; ++i)
        through = gateway.order({{"content", text}, {"author_id", "5150"}, {"name", "dana"}}) &&
                  wait_until(2, [&] { return !message(text).is_null(); });
    ASSERT_TRUE(through);
    json m = message(text);
    EXPECT_EQ(m["name"], "dana");
    EXPECT_EQ(m["emotes"], json::array({span(2, 26, "dca-123456789", 28, 28), span(31, 42, "dc-42", 28, 28)}));
    EXPECT_FALSE(m.contains("color"));
    // Each image path answers a PNG: the animated one its two frames stacked, with their delays.
    Answer animated = get("/api/emote/dca-123456789"), still = get("/api/emote/dc-42");
    EXPECT_EQ(animated.status, 200);
    EXPECT_EQ(decode(animated.body).h, 56);
    EXPECT_EQ(png_text(animated.body, "vimo-frames"), "50,120");
    EXPECT_EQ(still.status, 200);
    EXPECT_EQ(decode(still.body).first, 0xff00ff00u);

    // A bot's look through /api/ingest is fitted and stored as a bridge's.
    ASSERT_EQ(admin("/api/ingest", {{"platform", "corvane"}, {"sender_name", "Bot"}, {"text", "Kappa hi"},
                                    {"color", "#FFFFFF"}, {"badges", {{{"set", "vip"}, {"version", "1"}, {"image", "/api/emote/badge-vip-1"}}}},
                                    {"emotes", {{{"start", 0}, {"end", 5}, {"key", "tw-25"}}, {{"start", 6}, {"end", 99}, {"key", "tw-1"}}}}})
                  .status,
              200);
    json bot = message("Kappa hi");
    EXPECT_EQ(bot["name"], "Bot");
    EXPECT_EQ(bot["color"], "#767676");
    EXPECT_EQ(bot["badges"][0]["image"], "/api/emote/badge-vip-1");
    EXPECT_EQ(bot["emotes"], json::array({span(0, 5, "tw-25", 28, 28)}));
}

// The colour rule and the badge keys, directly.
TEST(ChatLook, ColoursReadOnWhiteAndKeysStaySafe) {
    for (const char* given : {"#FFFFFF", "#1E90FF", "#00FF7F", "#DAA520", "#000000", "#8A2BE2"}) {
        std::string c = chat_readable_color(given);
        EXPECT_GE(chat_contrast(c, "#ffffff"), LOOK_MIN_CONTRAST) << given;
        EXPECT_LT(chat_contrast(c, "#ffffff"), std::max(4.8, chat_contrast(given, "#ffffff") + 0.01)) << given;
    }
    EXPECT_EQ(chat_readable_color("#8A2BE2"), "#8a2be2");  // readable already: kept
    EXPECT_EQ(chat_readable_color("#FFFFFF"), "#767676");  // grey stays grey
    for (const char* bad : {"", "red", "#12345", "#1234567", "#GGGGGG", "1E90FF1"}) EXPECT_EQ(chat_readable_color(bad), "") << bad;
    EXPECT_EQ(chat_badge_key("sub-gifter", "5", ""), "badge-sub_gifter-5");
    EXPECT_EQ(chat_badge_key("subscriber", "3012", "4242"), "badge-subscriber-3012-4242");
    EXPECT_TRUE(image_key_valid(chat_badge_key("sub-gifter", "5", "4242")));
    EXPECT_EQ(chat_badge_key("../x", "1", ""), "");
    // A look given to /api/ingest is fitted as a bridge's: overlaps both go, keys stay URL-safe.
    ChatLook look = chat_look_from_json(json::parse(R"({"color":"#FFFFFF","emotes":[
        {"start":0,"end":3,"image":"/api/emote/tw-1"},{"start":2,"end":4,"key":"tw-2"},
        {"start":5,"end":6,"key":"../../etc"},{"start":5,"end":7,"key":"tw-3","zero_width":true}]})"));
    EXPECT_EQ(chat_look_fit(look, "abcdefg"), 3u);
    ASSERT_EQ(look.emotes.size(), 1u);
    EXPECT_EQ(look.emotes[0].key, "tw-3");
    EXPECT_TRUE(look.emotes[0].zero_width);
    EXPECT_EQ(look.color, "#767676");
}

}  // namespace
