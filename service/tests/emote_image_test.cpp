// /api/emote/KEY against a scripted CDN and Helix on loopback: good images
// come back as checked PNGs in the stacked-frames layout and are fetched once;
// hostile ones are refused without a crash, a hang or a burst of memory; badges
// are our own marks without a Twitch app and Helix's images with one.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

#include "handlers/server.h"
#include "image_makers.h"
#include "service_fixture.h"

namespace service_test {
namespace {

int64_t peak_rss_kb() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6));
    return -1;
}

// The scripted CDN, token endpoint and Helix; counts every path's hits.
struct StandIn {
    httplib::Server http;
    std::thread thread;
    int port = 0;
    std::mutex mutex;
    std::condition_variable cv;
    std::map<std::string, int> hits;
    bool released = false;  // ends /never's wait
    bool gate_open = false; // lets /gate.png answer
    int tokens = 0;         // tokens issued: the first one Helix calls expired

    std::string base() const { return "http://127.0.0.1:" + std::to_string(port); }
    int count(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex);
        return hits[path];
    }
    void serve(const std::string& path, std::string body, const char* type = "image/png") {
        http.Get(path, [this, body, type](const httplib::Request& req, httplib::Response& res) { res.set_content(body, type); });
    }
    void start() {
        http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
            std::lock_guard<std::mutex> lock(mutex);
            ++hits[req.path];
            return httplib::Server::HandlerResponse::Unhandled;
        });
        serve("/still.png", solid_png(20, 10, 0xff336699));
        serve("/emoticons/v2/25/default/dark/1.0", gif(8, 6, {0, 5, 7}), "image/gif");
        serve("/anim.webp", anim_webp(12, 8), "image/webp");
        serve("/anim.avif", anim_avif(), "image/avif");
        std::string huge = solid_png(1, 1, 0xffffffff);
        for (int i : {16, 20}) huge.replace(i, 4, std::string("\0\0\xFF\xFF", 4));
        serve("/huge.png", huge);
        serve("/many.gif", gif(1, 1, std::vector<int>(5000, 2)), "image/gif");
        std::string webp = anim_webp(12, 8);
        serve("/cut.webp", webp.substr(0, webp.size() / 2), "image/webp");
        serve("/page.html", "<html>not an image</html>", "text/html");
        http.Get("/big", [](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("image/png", [sent = size_t(0)](size_t, httplib::DataSink& sink) mutable {
                static const std::string chunk(64 * 1024, 'x');  // 100 MB in chunks, never whole
                if (sent >= 100u * 1000 * 1000) return sink.done(), true;
                sent += chunk.size();
                return sink.write(chunk.data(), chunk.size());
            });
        });
        http.Get("/never", [this](const httplib::Request&, httplib::Response& res) {
            std::unique_lock<std::mutex> lock(mutex);
            cv.wait_for(lock, std::chrono::seconds(30), [this] { return released; });
            res.status = 500;
        });
        http.Get("/gate.png", [this, png = solid_png(4, 4, 0xff00ff00)](const httplib::Request&, httplib::Response& res) {
            std::unique_lock<std::mutex> lock(mutex);
            cv.wait_for(lock, std::chrono::seconds(8), [this] { return gate_open; });
            res.set_content(png, "image/png");
        });
        serve_helix();
        port = http.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { http.listen_after_bind(); });
        for (int i = 0; i < 10000 && !http.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // The token endpoint (the first token it gives, Helix calls expired), Helix's two lists and their images.
    void serve_helix() {
        http.Post("/oauth2/token", [this](const httplib::Request& req, httplib::Response& res) {
            EXPECT_NE(req.body.find("grant_type=client_credentials"), std::string::npos);
            std::lock_guard<std::mutex> lock(mutex);
            res.set_content(json{{"access_token", "tok" + std::to_string(++tokens)}, {"expires_in", 3600}}.dump(),
                            "application/json");
        });
        http.Get("/helix/chat/badges.*", [this](const httplib::Request& req, httplib::Response& res) {
            if (req.get_header_value("Authorization") == "Bearer tok1" || req.get_header_value("Client-Id") != "cid")
                return (void)(res.status = 401);
            bool room = req.path.find("global") == std::string::npos;
            if (room) EXPECT_EQ(req.get_param_value("broadcaster_id"), "77");
            std::string img = base() + (room ? "/badge/chan" : "/badge/sub");
            json v{{"id", "0"}, {"image_url_1x", img + "1.png"}, {"image_url_2x", img + "2.png"}};
            json sets = json::array({{{"set_id", "subscriber"}, {"versions", {v}}}, {{"set_id", "sub-gifter"}, {"versions", {v}}}});
            res.set_content(json{{"data", sets}}.dump(), "application/json");
        });
        serve("/badge/sub1.png", solid_png(18, 18, 0xff0080ff));
        serve("/badge/sub2.png", solid_png(36, 36, 0xff0080ff));
        serve("/badge/chan1.png", solid_png(18, 18, 0xff808000));
    }
    ~StandIn() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            released = true;
        }
        cv.notify_all();
        http.stop();
        if (thread.joinable()) thread.join();
    }
};

class EmoteImageTest : public ServiceTest {
protected:
    void SetUp() override {
        cdn.start();
        options.emotes.twitch_cdn = cdn.base();
        options.emotes.helix_api = cdn.base() + "/helix";
        ServiceTest::SetUp();
        learn();
    }
    void learn() {
        service->catalog->learn("7tv-still", {cdn.base() + "/still.png", "", false});
        service->catalog->learn("7tv-anim", {cdn.base() + "/anim.webp", "", true});
        service->catalog->learn("7tv-avif", {cdn.base() + "/anim.avif", "", true});
        service->catalog->learn("ffz-gate", {cdn.base() + "/gate.png", "", false});
        for (const char* bad : {"huge.png", "many.gif", "cut.webp", "page.html", "big", "never"})
            service->catalog->learn(std::string("bttv-") + std::string(bad).substr(0, std::string(bad).find('.')),
                                    {cdn.base() + "/" + bad, "", false});
    }
    void check_good_images();
    void check_one_fetch_for_many();
    void check_hostile_images();
    StandIn cdn;
};

// Good images: a still, a GIF (a 0 ms delay played at 100 ms), an animated WebP
// and AVIF, a 2x made from the 1x; each fetched once, then from the disk cache.
void EmoteImageTest::check_good_images() {
    struct Good {
        const char* target;
        const char* path;
        int w, h;
        const char* frames;
    } goods[] = {{"/api/emote/7tv-still", "/still.png", 20, 10, ""},
                 {"/api/emote/7tv-still?scale=2", "/still.png", 40, 20, ""},
                 {"/api/emote/tw-25", "/emoticons/v2/25/default/dark/1.0", 8, 6 * 3, "100,50,70"},
                 {"/api/emote/7tv-anim", "/anim.webp", 12, 8 * 3, "80,120,120"},
                 {"/api/emote/7tv-avif", "/anim.avif", 8, 8 * 2, "150,250"}};
    for (const Good& g : goods) {
        Answer a = get(g.target);
        ASSERT_EQ(a.status, 200) << g.target << ": " << a.body;
        EXPECT_EQ(a.type, "image/png");
        EXPECT_EQ(a.header("Cache-Control"), "public, max-age=604800, immutable");
        Decoded d = decode(a.body);
        EXPECT_EQ(d.w, g.w) << g.target;
        EXPECT_EQ(d.h, g.h) << g.target;
        EXPECT_EQ(d.frames, g.frames) << g.target;
        // Again: from the disk cache, the same bytes, and 304 for its ETag.
        Answer again = get(g.target);
        EXPECT_EQ(again.body, a.body);
        EXPECT_EQ(call("GET", g.target, "", "", "", {{"If-None-Match", a.header("ETag")}}).status, 304);
    }
    EXPECT_EQ(cdn.count("/still.png"), 2);  // once for each scale
    EXPECT_EQ(cdn.count("/anim.webp"), 1);
    EXPECT_EQ(decode(get("/api/emote/7tv-still").body).first, 0xff336699u);
    EXPECT_EQ(get("/api/emote/7tv-unknown").status, 404);
    EXPECT_EQ(get("/api/emote/tw-..%2F..").status, 404);
    EXPECT_EQ(get("/api/emote/7tv-still?scale=3").status, 400);
}

// Four asks at once while the source is slow: one fetch, the same image for all.
void EmoteImageTest::check_one_fetch_for_many() {
    std::vector<std::thread> askers;
    std::vector<Answer> asked(4);
    for (int i = 0; i < 4; ++i) askers.emplace_back([&, i] { asked[i] = get("/api/emote/ffz-gate"); });
    for (int i = 0; i < 5000 && cdn.count("/gate.png") == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    {
        std::lock_guard<std::mutex> lock(cdn.mutex);
        cdn.gate_open = true;
    }
    cdn.cv.notify_all();
    for (auto& t : askers) t.join();
    for (const Answer& a : asked) EXPECT_EQ(a.status, 200);
    EXPECT_EQ(asked[3].body, asked[0].body);
    EXPECT_EQ(cdn.count("/gate.png"), 1);
}

// Hostile ones: each refused with its reason, once fetched, and the service keeps answering.
void EmoteImageTest::check_hostile_images() {
    struct Bad {
        const char* key;
        const char* path;
        const char* why;
    } bads[] = {{"bttv-huge", "/huge.png", "4096"},        {"bttv-many", "/many.gif", "1000 frames"},
                {"bttv-cut", "/cut.webp", "cut short"},     {"bttv-page", "/page.html", "not an image"},
                {"bttv-big", "/big", "20 MiB"},             {"bttv-never", "/never", "10 s"}};
    for (const Bad& b : bads) {
        httplib::Client c("127.0.0.1", port);
        c.set_read_timeout(20, 0);  // the service's own bound is 10 s
        auto r = c.Get(std::string("/api/emote/") + b.key);
        ASSERT_TRUE(r) << b.key << " got no answer";
        EXPECT_EQ(r->status, 502) << b.key;
        EXPECT_NE(r->body.find(b.why), std::string::npos) << b.key << ": " << r->body;
        EXPECT_EQ(get(std::string("/api/emote/") + b.key).body, r->body);  // remembered ...
        EXPECT_EQ(cdn.count(b.path), 1) << b.key;                            // ... not fetched again
        EXPECT_EQ(get("/api/emote/7tv-still").status, 200);
    }
}

TEST_F(EmoteImageTest, ImagesAreCheckedPngsFetchedOnceAndHostileOnesAreRefused) {
    int64_t rss_before = peak_rss_kb();
    check_good_images();
    check_one_fetch_for_many();
    check_hostile_images();
    int64_t grew_mb = (peak_rss_kb() - rss_before) / 1024;
    RecordProperty("peak_rss_growth_mb", std::to_string(grew_mb));
    std::printf("peak RSS: %lld MB before, grew %lld MB\n", (long long)rss_before / 1024, (long long)grew_mb);
    EXPECT_LT(grew_mb, 200);
}

// The disk cache keeps to its bound by dropping the least recently used, and a
// new start finds what the last one kept.
TEST(ImageDiskCacheTest, DropsTheLeastRecentlyUsedAndSurvivesARestart) {
    char tmpl[] = "/tmp/vimo-image-cache-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = std::string(tmpl) + "/images";
    {
        ImageDiskCache cache(dir, 1000);
        cache.write("a@1", std::string(400, 'a'));
        cache.write("b@1", std::string(400, 'b'));
        EXPECT_TRUE(cache.read("a@1"));  // a is now the more recently used
        cache.write("c@1", std::string(400, 'c'));
        EXPECT_FALSE(cache.read("b@1"));
        EXPECT_EQ(cache.read("a@1").value_or(""), std::string(400, 'a'));
        EXPECT_EQ(cache.bytes(), 800);
    }
    ImageDiskCache again(dir, 1000);
    EXPECT_EQ(again.bytes(), 800);
    EXPECT_EQ(again.read("c@1").value_or(""), std::string(400, 'c'));
    EXPECT_FALSE(std::filesystem::exists(dir + "/b@1.png"));
    std::filesystem::remove_all(tmpl);
}

TEST_F(EmoteImageTest, BadgesAreOwnMarksWithoutAnAppAndHelixImagesWithOne) {
    Decoded mark = decode(get("/api/emote/badge-broadcaster-1").body);
    EXPECT_EQ(mark.w, 18);
    EXPECT_EQ(mark.h, 18);
    for (const char* set : {"moderator", "vip", "subscriber"}) {
        Decoded two = decode(get(std::string("/api/emote/badge-") + set + "-1?scale=2").body);
        EXPECT_EQ(two.w, 36) << set;
        EXPECT_EQ(two.h, 36) << set;
    }
    EXPECT_EQ(get("/api/emote/badge-bits-100").status, 404);
    EXPECT_EQ(cdn.count("/helix/chat/badges/global"), 0);

    options.signin.twitch_client_id = "cid";
    options.signin.twitch_secret = "sec";
    options.signin.twitch_id_base = cdn.base();
    restart();
    learn();
    // Helix's image; the first token is refused (401), so a second is asked for.
    Answer global = get("/api/emote/badge-subscriber-0");
    ASSERT_EQ(global.status, 200) << global.body;
    EXPECT_EQ(decode(global.body).first, 0xff0080ffu);
    EXPECT_EQ(decode(get("/api/emote/badge-subscriber-0?scale=2").body).w, 36);
    EXPECT_EQ(cdn.count("/oauth2/token"), 2);
    // A set id with '-' is asked for as the chat page writes it in a key.
    EXPECT_EQ(decode(get("/api/emote/badge-sub_gifter-0").body).first, 0xff0080ffu);
    // A channel's own badge before the global one.
    EXPECT_EQ(decode(get("/api/emote/badge-subscriber-0-77").body).first, 0xff808000u);
    // A badge Helix does not know: our mark when we have one, else none.
    EXPECT_EQ(decode(get("/api/emote/badge-vip-1").body).w, 18);
    EXPECT_EQ(get("/api/emote/badge-bits-100").status, 404);
    EXPECT_EQ(cdn.count("/helix/chat/badges/global"), 2);  // the 401, then the kept answer
}

}  // namespace
}  // namespace service_test
