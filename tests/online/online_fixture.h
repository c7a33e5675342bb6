// A scene for the online features without a window: the mascot, a physics
// world that is not stepped, text measured by a fake font (8 pixels per byte,
// 16 per line), requests really sent over loopback HTTP, and the browser
// replaced by a recorder. Network results are handed to the main thread by
// settle(), which waits for the worker and then drains the hand-over.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>


#include "base/base.h"
#include "net/loopback_server.h"
#include "mascot/vimo.h"
#include "desktop/input.h"
#include "draw/draw.h"
#include "desktop/behaviours.h"
#include "element/element.h"
#include "mascot/blockspawner.h"
#include "mascot/menu.h"
#include "mascot/vimo.h"
#include "mascot/vimo_hooks.h"
#include "net/endpoints.h"
#include "net/net.h"
#include "online/chat.h"
#include "online/commune.h"
#include "online/feeds.h"
#include "online/handover.h"
#include "online/jobs.h"
#include "online/json_text.h"
#include "online/live.h"
#include "online/login.h"
#include "online/online.h"
#include "online/text_bounds.h"
#include "online/wake.h"
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

// What a scripted answer sees and writes: the few parts of a request and a
// response the tests use (query values come percent-decoded).
namespace scripted {
struct Request {
    std::string method, target;
    std::map<std::string, std::string> params;
    bool has_param(const std::string& name) const { return params.count(name) != 0; }
    std::string get_param_value(const std::string& name) const {
        auto it = params.find(name);
        return it == params.end() ? "" : it->second;
    }
};
struct Response {
    int status = 200;
    std::string body, type = "text/plain";
    void set_content(const std::string& content, const char* content_type) {
        body = content;
        type = content_type;
    }
};
using Handler = std::function<void(const Request&, Response&)>;

inline std::string percent_decoded(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '%' && i + 2 < s.size() && std::isxdigit((unsigned char)s[i + 1]) &&
            std::isxdigit((unsigned char)s[i + 2])) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i] == '+' ? ' ' : s[i];
        }
    }
    return out;
}

// Answers by method and exact path, scripted while the server runs.
struct Routes {
    std::mutex m;
    std::map<std::string, Handler> handlers;  // "GET /api/chat"
    void Get(const std::string& path, Handler h) { set("GET " + path, std::move(h)); }
    void Post(const std::string& path, Handler h) { set("POST " + path, std::move(h)); }
    void set(const std::string& key, Handler h) {
        std::lock_guard<std::mutex> lock(m);
        handlers[key] = std::move(h);
    }
    Handler find(const std::string& key) {
        std::lock_guard<std::mutex> lock(m);
        auto it = handlers.find(key);
        return it == handlers.end() ? Handler() : it->second;
    }
};
}  // namespace scripted

// An HTTP server on a free loopback port whose answers each test scripts, and
// which records every request line ("GET /api/chat?count=1") in arrival order.
// Built on the tests' own small server, which also builds for Windows.
struct ScriptedServer {
    scripted::Routes http;
    loopback::Server server;
    int port = 0;
    std::mutex m;
    std::vector<std::string> requests;

    ScriptedServer() {
        for (const char* method : {"GET", "POST"})
            server.route(method, "/", [this](const loopback::Request& in, loopback::Connection& conn) { answer(in, conn); });
        port = server.start();
    }
    ~ScriptedServer() { server.stop(); }
    void answer(const loopback::Request& in, loopback::Connection& conn) {
        scripted::Request req;
        req.method = in.method;
        req.target = in.path + (in.query.empty() ? "" : "?" + in.query);
        for (size_t start = 0; start < in.query.size();) {
            size_t end = in.query.find('&', start);
            if (end == std::string::npos) end = in.query.size();
            std::string pair = in.query.substr(start, end - start);
            size_t eq = pair.find('=');
            if (!pair.empty())
                req.params[scripted::percent_decoded(pair.substr(0, eq))] =
                    eq == std::string::npos ? "" : scripted::percent_decoded(pair.substr(eq + 1));
            start = end + 1;
        }
        {
            // Recorded before the answer is written, so a client that has its
            // answer finds its request in the log.
            std::lock_guard<std::mutex> lock(m);
            requests.push_back(req.method + " " + req.target);
        }
        scripted::Response res;
        scripted::Handler handler = http.find(req.method + " " + in.path);
        if (handler) handler(req, res);
        else res.status = 404;
        conn.send("HTTP/1.1 " + std::to_string(res.status) + " X\r\nContent-Length: " + std::to_string(res.body.size()) +
                  "\r\nContent-Type: " + res.type + "\r\nConnection: close\r\n\r\n" + res.body);
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
