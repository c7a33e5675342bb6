// Live notices that follow Twitch by themselves: every period the followed
// logins' streams are asked of Helix (GET /streams, up to 100 logins a call)
// with the Twitch app's token (outbound/twitch_app.h), and the live ones are
// kept in ServiceCore::live_now, which /api/ferncircle lists beside the
// streamer's own handles.
//
// Faults: Helix's 401 forgets the token and the same call is made once more
// with a fresh one; a second 401, a refused token, 429, 5xx, a network fault or
// an answer of the wrong shape backs off (Backoff, 1 s doubling up to the
// period or a minute). The last good answer stands meanwhile: a blip of Helix
// does not take a live stream off the desktops. After STALE_PERIODS periods
// without a good answer the followed list is emptied, so a dead Helix never
// announces a stream that ended long ago; the next good answer fills it again.
//
// Threads: start/stop from the service's owner; everything else is one coroutine
// on the follower's thread (loop_bridge.h). live_now locks for itself.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <set>

#include <nlohmann/json.hpp>

#include "bridges/backoff.h"
#include "bridges/live/live_follow.h"
#include "bridges/loop_bridge.h"
#include "core/state.h"
#include "outbound/https_client.h"
#include "outbound/tls.h"
#include "outbound/twitch_app.h"

namespace bridges {

bool live_streams_parse(const std::string& body, std::set<std::string>* live) {
    const nlohmann::json j = nlohmann::json::parse(body, nullptr, false);
    auto data = j.is_object() ? j.find("data") : j.end();
    if (data == j.end() || !data->is_array()) return false;
    for (const nlohmann::json& stream : *data) {
        if (!stream.is_object()) continue;
        auto login = stream.find("user_login");
        auto type = stream.find("type");
        if (login == stream.end() || !login->is_string()) continue;
        // Only "live" is a stream desktops are told of ("" was an error state of Helix's).
        if (type != stream.end() && *type != "live") continue;
        std::string name = login->get<std::string>();
        for (char& c : name) c = char(std::tolower((unsigned char)c));
        live->insert(name);
    }
    return true;
}

namespace {

using outbound::awaitable;

constexpr size_t LOGINS_PER_CALL = 100;          // Helix's bound on user_login in one /streams call
constexpr double CALL_TIMEOUT_S = 10;            // one /streams answer
constexpr size_t STREAMS_MAX_BYTES = 1 << 20;    // one /streams answer (100 streams are ~60 KB)
constexpr int STALE_PERIODS = 5;                 // periods without a good answer before the list is emptied

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names) out += (out.empty() ? "" : ", ") + n;
    return out;
}

std::string clock_utc() {  // HH:MM:SS, for the details line
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char out[16];
    std::strftime(out, sizeof out, "%H:%M:%S", &tm);
    return out;
}

class LiveFollow : public LoopBridge {
public:
    explicit LiveFollow(ServiceCore& s)
        : LoopBridge("twitch-live", std::to_string(s.options.live.twitch_logins.size()) + " Twitch logins"), s_(s),
          logins_(s.options.live.twitch_logins), period_s_(std::max(0.05, s.options.live.period_s)) {}
    ~LiveFollow() override { stop(); }

private:
    bool prepare() override;
    awaitable<void> main_loop() override;
    // The live ones of all followed logins into *live: "" or what went wrong.
    awaitable<std::string> ask_all(HttpsClient& http, std::set<std::string>* live);
    awaitable<std::string> ask_part(HttpsClient& http, const std::string& target, std::set<std::string>* live);
    void show(const std::set<std::string>& live, const std::string& asked_at);

    ServiceCore& s_;
    std::vector<std::string> logins_;  // lower case, checked by main.cpp ([a-z0-9_]{1,25})
    double period_s_;                  // seconds between asks
    BaseUrl helix_;
    std::shared_ptr<boost::asio::ssl::context> tls_;
};

bool LiveFollow::prepare() {
    std::string error;
    if (!s_.twitch_app || !s_.twitch_app->configured())
        error = "following Twitch needs the Twitch app (--twitch-client-id and --twitch-secret-file)";
    else if (!parse_base_url(s_.options.emotes.helix_api, true, &helix_, &error))
        error = "the Helix API " + error;
    else if (helix_.tls)
        tls_ = make_tls_context(s_.options.bridges.tls_ca, &error);
    if (!error.empty()) {
        report_.failed(error);
        return false;
    }
    report_.details("following " + std::to_string(logins_.size()) + " logins; not asked yet");
    return true;
}

awaitable<void> LiveFollow::main_loop() {
    HttpsClient http(co_await boost::asio::this_coro::executor, tls_, helix_.host, helix_.port, CALL_TIMEOUT_S);
    http.add_header("Client-Id", s_.twitch_app->client_id());
    Backoff backoff(1, std::max(60.0, period_s_), period_s_);
    auto last_good = std::chrono::steady_clock::now();
    std::set<std::string> shown;  // the last good answer's live logins
    bool up = false;
    report_.connecting();
    for (;;) {
        std::set<std::string> live;
        std::string error = co_await ask_all(http, &live);
        auto now = std::chrono::steady_clock::now();
        if (error.empty()) {
            if (!up) report_.connected();
            up = true;
            backoff.connected();
            last_good = now;
            shown = live;
            show(shown, clock_utc());
            co_await outbound::sleep_for(period_s_);
            continue;
        }
        up = false;
        std::chrono::duration<double> silent = now - last_good;
        if (silent.count() >= STALE_PERIODS * period_s_ && !shown.empty()) {
            shown.clear();
            s_.live_now.set({});
            std::fprintf(stderr, "vimo-service: twitch-live: no good answer from Helix for %.0f s: nobody is listed live\n",
                         silent.count());
        }
        http.close();
        double wait = backoff.next_delay();
        report_.backing_off(wait, error);
        co_await outbound::sleep_for(wait);
        report_.connecting();
    }
}

awaitable<std::string> LiveFollow::ask_all(HttpsClient& http, std::set<std::string>* live) {
    for (size_t from = 0; from < logins_.size(); from += LOGINS_PER_CALL) {
        std::string target = helix_.prefix + "/streams?first=100";
        for (size_t i = from; i < logins_.size() && i < from + LOGINS_PER_CALL; ++i) target += "&user_login=" + logins_[i];
        std::string error = co_await ask_part(http, target, live);
        if (!error.empty()) co_return error;
    }
    co_return "";
}

// One /streams call, asked again once with a fresh token when Helix says 401.
awaitable<std::string> LiveFollow::ask_part(HttpsClient& http, const std::string& target, std::set<std::string>* live) {
    HttpsAnswer a;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string error, token = co_await s_.twitch_app->token(&error);
        if (token.empty()) co_return error;
        a = co_await http.get(target, token, CALL_TIMEOUT_S, STREAMS_MAX_BYTES);
        if (a.status != 401) break;
        s_.twitch_app->refused(token);
    }
    if (a.status == 0) co_return "Helix: " + a.error;
    if (a.status != 200) co_return "Helix answered HTTP " + std::to_string(a.status) + (a.status == 401 ? " to a fresh app token" : "");
    if (!live_streams_parse(a.body, live)) co_return "Helix's /streams answer has no data list";
    co_return "";
}

// Publishes the live ones in the followed order (a stable list for the page's ETag).
void LiveFollow::show(const std::set<std::string>& live, const std::string& asked_at) {
    std::vector<std::string> ordered;
    for (const std::string& login : logins_)
        if (live.count(login)) ordered.push_back(login);
    std::string names = ordered.empty() ? "nobody" : joined(ordered);
    s_.live_now.set(std::move(ordered));
    report_.details("following " + std::to_string(logins_.size()) + " logins; live now: " + names + "; last asked " +
                    asked_at + " UTC; app tokens fetched: " + std::to_string(s_.twitch_app->grants()));
}

}  // namespace

std::unique_ptr<Bridge> make_live_follow(ServiceCore& s) { return std::make_unique<LiveFollow>(s); }

}  // namespace bridges
