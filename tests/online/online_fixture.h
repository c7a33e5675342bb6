// A scene for the online features without a window: the mascot, a physics
// world that is not stepped, text measured by a fake font (8 pixels per byte,
// 16 per line), requests really sent over loopback HTTP, and the browser
// replaced by a recorder. Network results are handed to the main thread by
// settle(), which waits for the worker and then drains the hand-over.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>


#include "app/app.h"
#include "app/config.h"
#include "desktop/input.h"
#include "draw/draw.h"
#include "element/behaviours.h"
#include "element/element.h"
#include "mascot/blockspawner.h"
#include "mascot/menu.h"
#include "mascot/vimo.h"
#include "mascot/vimo_hooks.h"
#include "net/endpoints.h"
#include "net/net.h"
#include "online/online.h"
#include "physics/physics.h"

inline Vector2 onlineFakeMeasure(Font, const char* text, float, float) {
    std::string s = text;
    size_t widest = 0, lines = 1, start = 0;
    for (size_t i = 0; i <= s.size(); i++) {
        if (i == s.size() || s[i] == '\n') {
            widest = std::max(widest, i - start);
            if (i < s.size()) lines++;
            start = i + 1;
        }
    }
    return {8.0f * widest, 16.0f * lines};
}

// An HTTP server on a free loopback port whose answers each test scripts, and
// which records every request line ("GET /api/chat?count=1") in arrival order.
struct ScriptedServer {
    httplib::Server http;
    std::thread thread;
    int port = 0;
    std::mutex m;
    std::vector<std::string> requests;

    ScriptedServer() {
        // Recorded before the answer is written, so a client that has its answer
        // finds its request in the log.
        http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
            std::lock_guard<std::mutex> lock(m);
            requests.push_back(req.method + " " + req.target);
            return httplib::Server::HandlerResponse::Unhandled;
        });
        port = http.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { http.listen_after_bind(); });
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!http.is_running() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
    }
    ~ScriptedServer() {
        http.stop();
        thread.join();
    }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port); }
    void forget() {
        std::lock_guard<std::mutex> lock(m);
        requests.clear();
    }
    std::vector<std::string> log() {
        std::lock_guard<std::mutex> lock(m);
        return requests;
    }
    std::vector<std::string> log_starting(const std::string& prefix) {
        std::vector<std::string> out;
        for (const std::string& r : log())
            if (r.rfind(prefix, 0) == 0) out.push_back(r);
        return out;
    }
};

// Addresses the recorder was given instead of the browser.
inline std::vector<std::string> OPENED;
inline void record_open(const std::string& url) { OPENED.push_back(url); }

class OnlineScene : public ::testing::Test {
protected:
    TextMeasureFn savedMeasure = nullptr;

    static void SetUpTestSuite() {
        static bool started = net_start();
        ONLINE = started;
        fetch_set_timeouts(2000, 5000);
    }

    void SetUp() override {
        ASSERT_TRUE(ONLINE);
        RESOLUTION = {1920, 1080};
        savedMeasure = TEXT_MEASURE;
        TEXT_MEASURE = onlineFakeMeasure;
        FONTS["assets/neodgm.ttf"] = Font{};  // never loaded: there is no window
        TEXT_CACHE.clear();
        CONFIG = {{"login_id", "1065353216:1056964608:0"}};
        USER = nullptr;
        menu = nullptr;
        blockspawner = nullptr;
        held = nullptr;
        vimo_hooks = {};
        online_init();
        srand(1);
        vimo_create();
        vimo->onDestroy = nullptr;  // game_close would write config.json
        vimo_reset();

        chat_to_spawn.clear();
        ID_TO_NAME.clear();
        previousFernOnline.clear();
        live_take();
        VIMO_LIVE = false;
        VIMO_SNOOZED = false;
        live_person.clear();
        previousBskyDate.clear();
        blogs.clear();
        commune_content.clear();
        OPENED.clear();
        online_open_hook = record_open;
    }

    void TearDown() override {
        fetch_wait_idle(15000);
        online_drain();
        held = nullptr;
        while (!ELEMENTS.empty()) _removeElement(ELEMENTS.front());
        ELEMENTS_TO_BE_REMOVED.clear();
        vimo = nullptr;
        menu = nullptr;
        blockspawner = nullptr;
        vimo_hooks = {};
        USER = nullptr;
        online_open_hook = nullptr;
        ClosePhysics();
        TEXT_MEASURE = savedMeasure;
        TEXT_CACHE.clear();
        endpoints_reset();
    }

    // Point every origin at server.
    void use(const std::string& origin) {
        endpoints_configure({{"service_origin", origin},
                             {"bluesky_origin", origin},
                             {"channel_page", "http://127.0.0.1:9/channel/"}});
    }

    // Wait for the network worker to finish everything queued, then run what it
    // handed over, as the mascot's next update would.
    void settle() {
        ASSERT_TRUE(fetch_wait_idle(15000));
        online_drain();
    }

    // The texts of a bubble's lines (drawables 1 and up), without the font part.
    static std::vector<std::string> lines(Element* bubble) {
        std::vector<std::string> out;
        if (bubble == nullptr) return out;
        for (size_t i = 1; i < bubble->drawables.size(); i++) {
            const std::string& s = bubble->drawables[i].source;
            out.push_back(s.substr(std::string("assets/neodgm.ttf:16:").size()));
        }
        return out;
    }

    // Elements (not queued for removal) whose handlers or callbacks say they are chat boxes.
    static std::vector<Element*> live_elements_with(ElementReleaseFn onRelease) {
        std::vector<Element*> out;
        for (Element* e : ELEMENTS)
            if (e->onRelease == onRelease &&
                std::find(ELEMENTS_TO_BE_REMOVED.begin(), ELEMENTS_TO_BE_REMOVED.end(), e) ==
                    ELEMENTS_TO_BE_REMOVED.end())
                out.push_back(e);
        return out;
    }
};
