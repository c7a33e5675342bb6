// The YouTube bridge: a live broadcast's chat read through the Data API v3 with
// an API key, over HTTPS (outbound/https_client.h); api.h reads the answers,
// chat.h applies a chat page, quota.h keeps the day's units.
//
// Order of a run: find the live chat (with a channel: its uploads playlist's
// latest videos, 1 unit, then videos.list on them, 1 unit; with a video: only
// videos.list; never search.list, 100 units), nothing live: look again after
// youtube_look_s. A chat found: its first page is the past (only its token is
// taken), then a page every pollingIntervalMillis (5 units each), slower when
// the day's budget would not last to midnight Pacific. The broadcast's end
// (chatEndedEvent, or liveChatEnded / liveChatNotFound / liveChatDisabled):
// back to looking.
//
// Faults: a refused key ends the bridge (the report says why); quotaExceeded
// makes no call until the reset; 5xx and network faults back off (Backoff). An
// unusable answer right after a good one is tried again at the next poll, the
// next in a row backs off.
//
// Threads: start/stop from the service's owner; everything else is one coroutine
// on the bridge's thread (loop_bridge.h), which a stop ends wherever it waits.
#include <chrono>
#include <cstdio>
#include <set>

#include "bridges/backoff.h"
#include "bridges/loop_bridge.h"
#include "bridges/sink.h"
#include "bridges/youtube/api.h"
#include "bridges/youtube/chat.h"
#include "bridges/youtube/quota.h"
#include "core/options.h"
#include "outbound/https_client.h"
#include "outbound/tls.h"

namespace bridges {

namespace {

constexpr double CALL_TIMEOUT_S = 30;
const char* const QUOTA_KEY = "youtube.quota";

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}
int64_t now_s() { return now_ms() / 1000; }

// What one call came to.
struct Verdict {
    enum Kind { Ok, Unusable, Transient, Quota, Ended, Refused } kind = Ok;
    std::string error;          // for the report and the stderr line
    bool server_error = false;  // a 5xx or 429: back off even the first time
};

Verdict judge(const HttpsAnswer& a) {
    if (a.status == 0) return {Verdict::Transient, a.error};
    if (a.status == 200) return {};
    YtError e = yt_parse_error(a.body);
    std::string what = "HTTP " + std::to_string(a.status) + (e.reason.empty() ? "" : " " + e.reason) +
                       (e.message.empty() ? "" : ": " + e.message);
    static const std::set<std::string> ended = {"liveChatEnded", "liveChatNotFound", "liveChatDisabled"};
    static const std::set<std::string> refused = {"keyInvalid", "keyExpired", "forbidden", "accessNotConfigured",
                                                  "ipRefererBlocked"};
    if ((a.status == 403 || a.status == 429) && (e.reason == "quotaExceeded" || e.reason == "dailyLimitExceeded"))
        return {Verdict::Quota, "the day's quota is spent (" + what + ")"};
    if ((a.status == 403 || a.status == 404) && ended.count(e.reason)) return {Verdict::Ended, what};
    if (a.status == 401 || ((a.status == 400 || a.status == 403) && refused.count(e.reason)))
        return {Verdict::Refused, "YouTube refused the API key (" + what +
                                  "): give a key of a Google Cloud project with YouTube Data API v3 enabled"};
    Verdict v{Verdict::Transient, what};
    v.server_error = a.status >= 500 || a.status == 429;
    return v;
}

using outbound::awaitable;

class YoutubeBridge : public LoopBridge {
public:
    YoutubeBridge(ServiceCore& s, const BridgeOptions& o)
        : LoopBridge("youtube", o.youtube_video.empty() ? "channel " + o.youtube_channel : "video " + o.youtube_video),
          s_(s), o_(o), quota_(o.youtube_quota) {}
    ~YoutubeBridge() override { stop(); }

private:
    bool prepare() override;
    awaitable<void> main_loop() override;
    awaitable<Verdict> call(HttpsClient& http, const std::string& what, int64_t cost, std::string* body);
    awaitable<Verdict> look(HttpsClient& http);
    awaitable<Verdict> poll(HttpsClient& http);
    awaitable<void> wait_for_reset(HttpsClient& http, const std::string& error);
    void tell(double asked_s) { report_.details(quota_.details(asked_s, now_s())); }
    void say(const std::string& line) { std::fprintf(stderr, "vimo-service: youtube: %s\n", line.c_str()); }

    ServiceCore& s_;
    BridgeOptions o_;
    BaseUrl api_;
    std::shared_ptr<boost::asio::ssl::context> tls_;
    // Bridge thread only:
    YtQuota quota_;
    std::string chat_id_;     // the live chat read; "" while looking
    std::string page_token_;  // the next page; "" before the first (history) page
    std::string ended_chat_;  // the chat that ended last: videos.list may call it active a while yet
    double asked_s_ = 0;      // the interval the last page asked; 0 while no chat is read
    double wait_s_ = 0;       // before the next call, after a good one
};

bool YoutubeBridge::prepare() {
    std::string error;
    const std::string& c = o_.youtube_channel;
    if (o_.youtube_key.empty() || !yt_id_ok(o_.youtube_key))
        error = "no usable API key";
    else if (!c.empty() && (c.size() != 24 || c.rfind("UC", 0) != 0 || !yt_id_ok(c)))
        error = "not a channel id (UC and 22 letters, digits, - or _): " + c;
    else if (c.empty() && !yt_id_ok(o_.youtube_video))
        error = "not a video id: " + o_.youtube_video;
    else if (!parse_base_url(o_.youtube_api, false, &api_, &error))
        error = "the API " + error;
    else
        tls_ = make_tls_context(o_.tls_ca, &error);
    if (!tls_) {
        report_.failed(error);
        return false;
    }
    return true;
}

awaitable<void> YoutubeBridge::main_loop() {
    HttpsClient http(co_await boost::asio::this_coro::executor, tls_, api_.host, api_.port);
    Backoff backoff;
    quota_.renew(now_s());
    if (auto saved = load_state(s_, QUOTA_KEY)) quota_.restore(*saved, now_s());
    bool up = false;
    int failures = 0;  // in a row, since the last good answer
    report_.connecting();
    for (;;) {
        quota_.renew(now_s());
        Verdict v;  // not co_await (a ? b : c): GCC 12 destroys the chosen awaitable wrongly
        if (chat_id_.empty())
            v = co_await look(http);
        else
            v = co_await poll(http);
        switch (v.kind) {
            case Verdict::Ok:
                if (!up) {
                    report_.connected();
                    backoff.connected();
                    up = true;
                }
                failures = 0;
                co_await outbound::sleep_for(wait_s_);
                break;
            case Verdict::Ended:
                say("the broadcast's chat " + chat_id_ + " ended (" + v.error + "); looking for the next live one");
                ended_chat_ = chat_id_;
                chat_id_.clear(), page_token_.clear(), asked_s_ = 0;
                tell(0);
                break;
            case Verdict::Refused:
                tell(0);
                report_.failed(v.error);
                say(v.error + "; the bridge stops (give it a new key and restart)");
                co_return;
            case Verdict::Quota:
                up = false;
                co_await wait_for_reset(http, v.error);
                break;
            case Verdict::Unusable:
            case Verdict::Transient:
                if (++failures > 1 || v.server_error || v.kind == Verdict::Transient) {
                    up = false;
                    http.close();
                    double wait = backoff.next_delay();
                    report_.backing_off(wait, v.error);
                    co_await outbound::sleep_for(wait);
                    report_.connecting();
                } else {
                    report_.error(v.error);
                    co_await outbound::sleep_for(asked_s_ > 0 ? asked_s_ : YT_DEFAULT_POLL_MS / 1000.0);
                }
                break;
        }
    }
}

// No call at all until midnight Pacific (and a second, so the API's day has turned).
awaitable<void> YoutubeBridge::wait_for_reset(HttpsClient& http, const std::string& error) {
    http.close();
    tell(asked_s_);
    double wait = double(quota_.reset_s() * 1000 - now_ms()) / 1000 + 1;
    std::string line = error + "; no call until the day renews at " + utc_minute_text(quota_.reset_s()) +
                       " (midnight Pacific)";
    say(line);
    report_.backing_off(wait > 1 ? wait : 1, line);
    co_await outbound::sleep_for(wait > 1 ? wait : 1);
    report_.connecting();
}

// One call of cost units to what (a path and query under the API's base, the
// key added): its body when it answered 200.
awaitable<Verdict> YoutubeBridge::call(HttpsClient& http, const std::string& what, int64_t cost, std::string* body) {
    if (quota_.left() < cost) co_return Verdict{Verdict::Quota, "the day's " + std::to_string(o_.youtube_quota) +
                                                                    " units are spent"};
    quota_.spend(cost);
    save_state(s_, QUOTA_KEY, quota_.saved());
    std::string target = api_.prefix + what + "&key=" + url_encode(o_.youtube_key);
    HttpsAnswer a = co_await http.get(target, "", CALL_TIMEOUT_S, YT_MAX_BODY_BYTES);
    Verdict v = judge(a);
    if (v.kind == Verdict::Quota) {
        quota_.exhaust();
        save_state(s_, QUOTA_KEY, quota_.saved());
    }
    *body = std::move(a.body);
    co_return v;
}

// Finds the live chat: chat_id_ set, or left "" with wait_s_ the time to look again.
awaitable<Verdict> YoutubeBridge::look(HttpsClient& http) {
    std::string body, error, ids = o_.youtube_video;
    if (ids.empty()) {
        std::string uploads = "UU" + o_.youtube_channel.substr(2);
        Verdict v = co_await call(http, "/playlistItems?part=contentDetails&maxResults=" +
                                            std::to_string(YT_PLAYLIST_VIDEOS) + "&playlistId=" + url_encode(uploads),
                                  YT_COST_PLAYLIST, &body);
        if (v.kind != Verdict::Ok) co_return v;
        std::vector<std::string> videos;
        if (!yt_parse_playlist(body, &videos, &error)) co_return Verdict{Verdict::Unusable, error};
        for (const std::string& id : videos) ids += (ids.empty() ? "" : ",") + id;
    }
    std::string chat;
    if (!ids.empty()) {
        std::string query = "/videos?part=liveStreamingDetails&id=" + url_encode(ids);
        Verdict v = co_await call(http, query, YT_COST_VIDEOS, &body);
        if (v.kind != Verdict::Ok) co_return v;
        if (!yt_parse_videos(body, &chat, &error)) co_return Verdict{Verdict::Unusable, error};
        // Not read again at once: its end would come again, 7 units a round, with no wait between.
        if (chat == ended_chat_) chat.clear();
    }
    chat_id_ = chat;
    page_token_.clear();
    wait_s_ = chat.empty() ? o_.youtube_look_s : 0;
    if (chat.empty()) {
        report_.details(quota_.details(0, now_s()) + "; nothing live: looking again every " +
                        std::to_string(int64_t(o_.youtube_look_s)) + " s");
    } else {
        say("reading the live chat " + chat);
    }
    co_return Verdict{};
}

// One page of the live chat, applied; wait_s_ the paced wait before the next.
awaitable<Verdict> YoutubeBridge::poll(HttpsClient& http) {
    std::string body, error;
    std::string query = "/liveChat/messages?liveChatId=" + url_encode(chat_id_) + "&part=snippet,authorDetails";
    if (!page_token_.empty()) query += "&pageToken=" + url_encode(page_token_);
    Verdict v = co_await call(http, query, YT_COST_MESSAGES, &body);
    if (v.kind != Verdict::Ok) co_return v;
    YtApplied page;
    if (!yt_apply_page(s_, report_, chat_id_, body, page_token_.empty(), &page, &error))
        co_return Verdict{Verdict::Unusable, error};
    if (page.ended) co_return Verdict{Verdict::Ended, "chatEndedEvent"};
    page_token_ = page.next_page_token;
    asked_s_ = page.poll_ms / 1000.0;
    wait_s_ = quota_.poll_wait(asked_s_, now_s());
    tell(asked_s_);
    co_return v;
}

}  // namespace

std::unique_ptr<Bridge> make_youtube_bridge(ServiceCore& s, const BridgeOptions& options) {
    return std::make_unique<YoutubeBridge>(s, options);
}

}  // namespace bridges
