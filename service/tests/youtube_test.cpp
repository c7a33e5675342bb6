// The YouTube bridge against a scripted Data API over TLS (scripted/youtube_api.py,
// a child process on a loopback port, trusted through a throw-away CA): finding
// the live chat, what it stores, deletes and bans, the waits it keeps, the
// broadcast's end, its count of units and the quota's day; then thousands of
// malformed chat pages through the bridge's own reading, and the day's reset at
// the changes of Pacific time.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bridges/youtube/chat.h"
#include "bridges/youtube/quota.h"
#include "handlers/server.h"
#include "service_fixture.h"

using namespace service_test;
using Clock = std::chrono::steady_clock;

extern char** environ;

namespace {

const std::string STREAMER = "UCstreamer00000000000000";
const std::string ALICE = "UCalice000000000000000aa", BOB = "UCbob00000000000000000bb";
const std::string CAROL = "UCcarol000000000000000cc", DAVE = "UCdave0000000000000000dd";
const std::string ERIN = "UCerin0000000000000000ee";
const int64_t QUOTA = 10000000;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Polls f until it holds or seconds pass.
bool eventually(const std::function<bool()>& f, double seconds = 15) {
    auto start = Clock::now();
    while (!f()) {
        if (seconds_since(start) > seconds) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(seconds_since(start) < 1 ? 10 : 50));
    }
    return true;
}

// The scripted API as a child process, killed when this goes.
class Api {
public:
    ~Api() { kill(); }
    bool start(const std::string& dir) {
        std::vector<std::string> args = {"/usr/bin/python3", std::string(VIMO_SCRIPTED_DIR) + "/youtube_api.py",
                                         "--certs-dir", dir + "/certs", "--channel", STREAMER, "--interval-ms", "1500"};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2];
        if (pipe(out) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        std::string line;
        char c;
        pollfd p{out[0], POLLIN, 0};
        while (spawned == 0 && poll(&p, 1, 30000) > 0 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        if (line.empty()) return false;
        json ready = json::parse(line);
        port = ready["port"];
        control_port = ready["control"];
        ca = ready["ca"];
        return true;
    }
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    json control(const std::string& path, const json& body = nullptr) {
        httplib::Client c("127.0.0.1", control_port);
        auto r = body.is_null() ? c.Get(path) : c.Post(path, body.dump(), "application/json");
        EXPECT_TRUE(r && r->status == 200) << path;
        return r && r->status == 200 ? json::parse(r->body) : json();
    }
    json log() { return control("/log"); }
    int64_t units() { return control("/units")["units"]; }
    // Calls to path so far.
    size_t calls(const std::string& path) {
        size_t n = 0;
        for (const json& c : log()) n += c["path"] == "/youtube/v3/" + path;
        return n;
    }
    int port = 0, control_port = 0;
    std::string ca;

private:
    pid_t pid_ = -1;
};

json text(const std::string& author, const std::string& name, const std::string& said, json flags = json::object()) {
    flags.update({{"type", "text"}, {"author", author}, {"name", name}, {"text", said}});
    return flags;
}

class YoutubeBridgeTest : public ServiceTest {
protected:
    void TearDown() override {
        ServiceTest::TearDown();
        api.kill();
    }
    void start_bridge(const std::string& key = "test-key") {
        stop();
        options.bridges.youtube_key = key;
        options.bridges.youtube_channel = STREAMER;
        options.bridges.youtube_api = "https://127.0.0.1:" + std::to_string(api.port) + "/youtube/v3";
        options.bridges.youtube_look_s = 2;
        // At 1.5 s a poll, 10,000 units last under an hour and the bridge would slow
        // down to last the day (YoutubeQuotaDay): here the budget lasts.
        options.bridges.youtube_quota = QUOTA;
        options.bridges.tls_ca = api.ca;
        start();
    }
    json report() {
        json all = call("GET", "/api/admin/bridges", "", token).parsed();
        for (const json& b : all["bridges"])
            if (b["platform"] == "youtube") return b;
        return json();
    }
    // The units the report counts, read between two equal counts of the API's.
    bool units_agree() {
        return eventually([&] {
            int64_t before = api.units();
            std::string details = report()["details"];
            return api.units() == before && details.rfind(std::to_string(before) + " of " + std::to_string(QUOTA) + " units", 0) == 0;
        });
    }
    std::vector<std::string> chat_texts() {
        std::vector<std::string> out;
        for (const json& m : chat(100)) out.push_back(m["text"]);
        return out;
    }
    Api api;
};

// One broadcast after another: nothing live, then a live chat with history,
// messages with badges, a deletion, a ban and a time-out, the end by a
// chatEndedEvent, the next broadcast ended by 403 liveChatEnded, the units
// counted alike on both sides, and quotaExceeded keeping every call back.
TEST_F(YoutubeBridgeTest, LiveChatsOneAfterAnotherWithinTheQuota) {
    ASSERT_TRUE(api.start(dir));
    start_bridge();
    ASSERT_EQ(bridge_lines, std::vector<std::string>{"youtube: reading channel " + STREAMER});
    // Nothing live: it looks, and looks again, at the uploads and their videos only.
    ASSERT_TRUE(eventually([&] { return api.calls("playlistItems") >= 2 && api.calls("videos") >= 2; }));
    EXPECT_EQ(report()["state"], "connected");
    EXPECT_NE(report()["details"].get<std::string>().find("nothing live"), std::string::npos) << report();

    api.control("/live", {{"video", "vid1"}, {"chat", "chat1"}});
    api.control("/messages", json::array({text(ALICE, "Alice", "said before the bridge came")}));
    ASSERT_TRUE(eventually([&] { return api.calls("liveChat/messages") >= 2; }))  // history, then the next page
        << report() << api.log();
    json ids = api.control("/messages", json::array({
        text(ALICE, "Alice", "hello from youtube", {{"owner", true}, {"moderator", true}}),
        text(BOB, "Bob", "a member speaks", {{"member", true}, {"verified", true}}),
        text(CAROL, "Carol", "soon gone"),
        text(DAVE, "Dave", "dave was here"),
        text(ERIN, "Erin", "erin was here"),
    }));
    api.control("/messages", json::array({{{"type", "deleted"}, {"target", ids[2]}},
                                          {{"type", "banned"}, {"author", DAVE}, {"seconds", 0}},
                                          {{"type", "banned"}, {"author", ERIN}, {"seconds", 300}},
                                          text(DAVE, "Dave", "dave again"), text(ERIN, "Erin", "erin again")}));
    ASSERT_TRUE(eventually([&] { return report()["moderation"] == 3; })) << report();
    EXPECT_EQ(chat_texts(), (std::vector<std::string>{"hello from youtube", "a member speaks"}));
    json page = chat(2);
    EXPECT_EQ(page[0]["chatter"], json({{"youtube", ALICE}}));
    EXPECT_EQ(page[0]["name"], "Alice");
    EXPECT_EQ(page[1]["chatter"], json({{"youtube", BOB}}));
    std::vector<std::string> sets;
    for (const json& m : page)
        for (const json& b : m["badges"]) sets.push_back(b["set"].get<std::string>() + " " + b["image"].get<std::string>());
    EXPECT_EQ(sets, (std::vector<std::string>{"broadcaster /api/emote/badge-broadcaster-1",
                                              "moderator /api/emote/badge-moderator-1",
                                              "subscriber /api/emote/badge-subscriber-1"}));
    EXPECT_EQ(report()["dropped"]["banned"], 2) << report();

    // The end by an event, then by 403: each time it goes back to looking.
    size_t looks = api.calls("playlistItems");
    api.control("/end", {{"how", "event"}});
    ASSERT_TRUE(eventually([&] { return api.calls("playlistItems") > looks; }));
    api.control("/live", {{"video", "vid2"}, {"chat", "chat2"}});
    size_t polls = api.calls("liveChat/messages");
    ASSERT_TRUE(eventually([&] { return api.calls("liveChat/messages") >= polls + 2; }));
    looks = api.calls("playlistItems");
    api.control("/end", {{"how", "403"}});
    ASSERT_TRUE(eventually([&] { return api.calls("playlistItems") > looks; }));

    // Every wait between two chat pages of one broadcast is at least the 1.5 s asked.
    json log = api.log();
    double shortest = 1e9, sum = 0;
    int waits = 0;
    for (size_t i = 1; i < log.size(); ++i)
        if (log[i]["path"] == "/youtube/v3/liveChat/messages" && log[i - 1]["path"] == log[i]["path"] &&
            log[i - 1]["status"] == 200 && log[i - 1]["token"] != nullptr) {
            double wait = log[i]["t"].get<double>() - log[i - 1]["t"].get<double>();
            shortest = std::min(shortest, wait);
            sum += wait, ++waits;
        }
    EXPECT_GE(shortest, 1.5);
    // The figure: units an hour while a chat is read at the interval kept.
    std::printf("polls every %.3f s on average (shortest %.3f s): %.0f units an hour\n", sum / waits, shortest,
                3600 / (sum / waits) * 5);
    EXPECT_LT(shortest, 1e9);
    for (const json& c : log) EXPECT_NE(c["path"], "/youtube/v3/search");
    ASSERT_TRUE(units_agree()) << report() << " API: " << api.units();

    // A restart goes on from the day's count kept in the database; a wrong key
    // ends the bridge with the reason.
    start_bridge("wrong-key");
    ASSERT_TRUE(eventually([&] { return report()["state"] == "failed"; })) << report();
    EXPECT_NE(report()["last_error"].get<std::string>().find("refused the API key (HTTP 400 keyInvalid"),
              std::string::npos) << report();
    EXPECT_TRUE(units_agree()) << report() << " API: " << api.units();
    start_bridge();
    ASSERT_TRUE(eventually([&] { return report()["state"] == "connected"; })) << report();
    EXPECT_TRUE(units_agree()) << report() << " API: " << api.units();  // the count of both runs

    // quotaExceeded: the call that said so, then none until midnight Pacific.
    api.control("/quota", {{"exceeded", true}});
    ASSERT_TRUE(eventually([&] { return report()["state"] == "backing off"; })) << report();
    size_t calls = api.log().size();
    int64_t reset = bridges::pacific_midnight_after(std::time(nullptr));
    std::string minute = bridges::utc_minute_text(reset);  // "YYYY-MM-DD HH:MM UTC"
    json r = report();
    EXPECT_EQ(r["next_try"].get<std::string>().substr(0, 16), minute.substr(0, 10) + "T" + minute.substr(11, 5)) << r;
    EXPECT_NE(r["last_error"].get<std::string>().find("quotaExceeded"), std::string::npos) << r;
    EXPECT_NE(r["details"].get<std::string>().find("no call until then"), std::string::npos) << r;
    EXPECT_FALSE(eventually([&] { return api.log().size() > calls; }, 5));  // more than a look's and a poll's wait
    EXPECT_TRUE(units_agree()) << report() << " API: " << api.units();
    std::printf("units spent %lld in %zu calls\n", (long long)api.units(), calls);
}

// A good chat page to mutate: a text message, a deletion and a ban.
std::string good_page(const std::string& author, const std::string& id) {
    json items = json::array();
    items.push_back({{"id", id}, {"snippet", {{"type", "textMessageEvent"}, {"displayMessage", "fuzzed hello"}}},
                     {"authorDetails", {{"channelId", author}, {"displayName", "Fuzz"}, {"isChatOwner", true}}}});
    items.push_back({{"id", id + "d"}, {"snippet", {{"type", "messageDeletedEvent"},
                                                    {"messageDeletedDetails", {{"deletedMessageId", "LCC.nothing"}}}}}});
    items.push_back({{"id", id + "b"}, {"snippet", {{"type", "userBannedEvent"},
                      {"userBannedDetails", {{"banType", "temporary"}, {"banDurationSeconds", "60"},
                                             {"bannedUserDetails", {{"channelId", "UCfuzzbanned0000000000zz"}}}}}}}});
    return json{{"nextPageToken", "p9"}, {"pollingIntervalMillis", 1500}, {"items", items}}.dump();
}

// One malformed answer of seven kinds, drawn by r.
std::string malformed(std::mt19937_64& r, int i) {
    std::string good = good_page("UCfuzz" + std::to_string(i % 50), "LCC.f" + std::to_string(i));
    static const char* const odd[] = {"null", "true", "-1", "1e400", "18446744073709551616", "\"\"", "[]", "{}",
                                      "\"99999999999999999999\"", "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]"};
    switch (i % 7) {
        case 0: {  // random bytes
            std::string s(r() % 300, '\0');
            for (char& c : s) c = char(r());
            return s;
        }
        case 1:  // cut short
            return good.substr(0, r() % good.size());
        case 2: {  // a value of the wrong type somewhere
            json j = json::parse(good);
            const char* paths[] = {"/nextPageToken", "/pollingIntervalMillis", "/items", "/items/0", "/items/0/id",
                                   "/items/0/snippet", "/items/0/snippet/type", "/items/0/snippet/displayMessage",
                                   "/items/0/authorDetails", "/items/0/authorDetails/channelId",
                                   "/items/0/authorDetails/isChatOwner", "/items/1/snippet/messageDeletedDetails",
                                   "/items/2/snippet/userBannedDetails/banDurationSeconds",
                                   "/items/2/snippet/userBannedDetails/bannedUserDetails"};
            j[json::json_pointer(paths[r() % std::size(paths)])] = "@odd@";  // put in as text: 1e400 is no double
            std::string s = j.dump();
            return s.replace(s.find("\"@odd@\""), 7, odd[r() % std::size(odd)]);
        }
        case 3: {  // a field missing
            json j = json::parse(good);
            const char* keys[] = {"nextPageToken", "items", "pollingIntervalMillis"};
            j["items"][r() % 3]["snippet"].erase("type");
            j.erase(keys[r() % 3]);
            return j.dump();
        }
        case 4:  // deep nesting, and a huge number
            return std::string(100000, '[') + "1e999999" + std::string(100000, ']');
        case 5: {  // a byte changed
            std::string s = good;
            s[r() % s.size()] = char(r());
            return s;
        }
        default:  // too many items, and a string too long
            return json{{"nextPageToken", std::string(5000, 'x')},
                        {"items", json::array({json::object(), 1, "x", nullptr})}}.dump();
    }
}

// 10,000 malformed pages through the bridge's own reading and applying: each an
// error or skipped items, never a crash; then a good page's message is stored.
TEST_F(YoutubeBridgeTest, MalformedChatPagesThenAGoodOne) {
    options.limits.ingest_bridge = {1000000, 1000000};
    options.limits.ingest_sender = {1000000, 1000000};
    restart();
    bridges::BridgeReport report("youtube", "fuzz");
    std::mt19937_64 r(7);
    int unusable = 0;
    for (int i = 0; i < 10000; ++i) {
        bridges::YtApplied out;
        std::string error;
        if (!bridges::yt_apply_page(*service, report, "chat1", malformed(r, i), false, &out, &error)) {
            ++unusable;
            EXPECT_FALSE(error.empty());
        } else {
            EXPECT_FALSE(out.next_page_token.empty());
            EXPECT_TRUE(out.poll_ms >= 1000 && out.poll_ms <= 60000) << out.poll_ms;
        }
    }
    EXPECT_GT(unusable, 4000);
    bridges::YtApplied out;
    std::string error;
    ASSERT_TRUE(bridges::yt_apply_page(*service, report, "chat1", good_page(ALICE, "LCC.good"), false, &out, &error))
        << error;
    EXPECT_EQ(out.next_page_token, "p9");
    EXPECT_EQ(out.poll_ms, 1500);
    json page = chat(1);
    ASSERT_EQ(page.size(), 1u);
    EXPECT_EQ(page[0]["text"], "fuzzed hello");
    EXPECT_EQ(page[0]["chatter"], json({{"youtube", ALICE}}));
}

int64_t utc(int y, int mo, int d, int h, int mi = 0) {
    std::tm t{};
    t.tm_year = y - 1900, t.tm_mon = mo - 1, t.tm_mday = d, t.tm_hour = h, t.tm_min = mi;
    return int64_t(timegm(&t));
}

// The quota's day at both changes of Pacific time (2026: 8 March, 1 November):
// 23 and 25 hours long, each renewing at local midnight.
TEST(YoutubeQuotaDay, PacificMidnightAcrossDaylightSaving) {
    using bridges::pacific_midnight_after;
    using bridges::pacific_offset_s;
    EXPECT_EQ(pacific_offset_s(utc(2026, 3, 8, 9, 59)), -8 * 3600);  // 1:59 PST
    EXPECT_EQ(pacific_offset_s(utc(2026, 3, 8, 10, 0)), -7 * 3600);  // 2:00 PST is 3:00 PDT
    EXPECT_EQ(pacific_offset_s(utc(2026, 11, 1, 8, 59)), -7 * 3600);  // 1:59 PDT
    EXPECT_EQ(pacific_offset_s(utc(2026, 11, 1, 9, 0)), -8 * 3600);   // 2:00 PDT is 1:00 PST
    // Spring: the night before is PST, the day itself ends at a PDT midnight.
    EXPECT_EQ(pacific_midnight_after(utc(2026, 3, 8, 5)), utc(2026, 3, 8, 8));
    EXPECT_EQ(pacific_midnight_after(utc(2026, 3, 8, 8)), utc(2026, 3, 9, 7));
    EXPECT_EQ(pacific_midnight_after(utc(2026, 3, 8, 9, 59)), utc(2026, 3, 9, 7));
    // Autumn: the day starts at a PDT midnight and ends at a PST one.
    EXPECT_EQ(pacific_midnight_after(utc(2026, 11, 1, 6, 59)), utc(2026, 11, 1, 7));
    EXPECT_EQ(pacific_midnight_after(utc(2026, 11, 1, 7)), utc(2026, 11, 2, 8));
    EXPECT_EQ(pacific_midnight_after(utc(2026, 11, 1, 9, 30)), utc(2026, 11, 2, 8));
    // Ordinary days, the turn of the year, and 2027's changes (14 March, 7 November).
    EXPECT_EQ(pacific_midnight_after(utc(2026, 12, 9, 18)), utc(2026, 12, 10, 8));
    EXPECT_EQ(pacific_midnight_after(utc(2026, 7, 4, 6, 59)), utc(2026, 7, 4, 7));
    EXPECT_EQ(pacific_midnight_after(utc(2026, 12, 31, 23)), utc(2027, 1, 1, 8));
    EXPECT_EQ(pacific_midnight_after(utc(2027, 3, 14, 12)), utc(2027, 3, 15, 7));
    EXPECT_EQ(pacific_midnight_after(utc(2027, 11, 7, 12)), utc(2027, 11, 8, 8));
    EXPECT_EQ(bridges::utc_minute_text(utc(2027, 1, 1, 8)), "2027-01-01 08:00 UTC");

    // A budget that cannot last the day at the asked rate slows the polls to last it.
    bridges::YtQuota q(10000);
    int64_t now = utc(2026, 12, 9, 20);  // 12 hours to the reset
    q.renew(now);
    EXPECT_EQ(q.reset_s(), utc(2026, 12, 10, 8));
    // Every 10 s: 4,320 polls, 21,600 units; the 2,000 polls left spread over 12 hours.
    EXPECT_DOUBLE_EQ(q.poll_wait(10, now), 21.6);
    EXPECT_NE(q.details(10, now).find("slowed to a poll every 21.6 s to last until 2026-12-10 08:00 UTC"),
              std::string::npos) << q.details(10, now);
    EXPECT_DOUBLE_EQ(q.poll_wait(30, now), 30);  // 7,200 units: it lasts
    EXPECT_NE(q.details(30, now).find("the units last 16.7 h, past the reset"), std::string::npos)
        << q.details(30, now);
    q.spend(9998);
    EXPECT_DOUBLE_EQ(q.poll_wait(10, now), 12 * 3600);  // not a poll's units left: nothing until the reset
    q.renew(utc(2026, 12, 10, 8));
    EXPECT_EQ(q.left(), 10000);
    EXPECT_EQ(q.reset_s(), utc(2026, 12, 11, 8));
}

}  // namespace
