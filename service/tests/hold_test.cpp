// The moderation hold (--hold) inside a real Service with the Twitch bridge
// against the scripted Twitch server: a line deleted within the hold never
// reaches the chat page nor a held wake-up request; a kept line is served no
// earlier than the hold after it was said, and wakes the companions then; a
// composer's post and an ingested message are held the same way though their
// POSTs answer at once.
#include <future>

#include "bridge_test_util.h"
#include "handlers/server.h"
#include "service_fixture.h"

using namespace service_test;
using namespace bridge_test;

namespace {

class HoldTest : public ServiceTest {
protected:
    std::vector<std::string> texts() {
        std::vector<std::string> out;
        for (const json& m : chat(100)) out.push_back(m["text"]);
        return out;
    }
    bool shown(const std::string& t) {
        auto all = texts();
        return std::find(all.begin(), all.end(), t) != all.end();
    }
    // Whether t is stored (the streamer's moderation list shows held messages too).
    bool stored(const std::string& t) {
        json listed = call("GET", "/api/admin/moderation", "", token).parsed();
        for (const json& m : listed["messages"])
            if (m["text"] == t) return true;
        return false;
    }
    // Waits until t is on the chat page, failing if forbidden ever is; the seconds since begun (-1: never).
    double served_after(Clock::time_point begun, const std::string& t, const std::string& forbidden) {
        bool leaked = false;
        bool ok = wait_until(15, [&] {
            auto all = texts();
            leaked = leaked || std::find(all.begin(), all.end(), forbidden) != all.end();
            return std::find(all.begin(), all.end(), t) != all.end();
        });
        EXPECT_FALSE(leaked) << forbidden << " was served";
        return ok ? std::chrono::duration<double>(Clock::now() - begun).count() : -1;
    }
    // One GET /api/wake held (its ETag seen as the last wake-up); the body, or "status N".
    std::future<std::string> wake(const std::string& seen) {
        return std::async(std::launch::async, [this, seen] {
            httplib::Client c("127.0.0.1", port);
            c.set_read_timeout(40, 0);
            httplib::Headers h;
            if (!seen.empty()) h.emplace("If-None-Match", "\"" + seen + "\"");
            auto r = c.Get("/api/wake", h);
            return !r ? std::string("no answer") : r->status == 200 ? r->body : "status " + std::to_string(r->status);
        });
    }
};

TEST_F(HoldTest, DeletedWithinTheHoldNeverServed) {
    ScriptedTwitch server(dir + "/certs");
    ASSERT_TRUE(server.ok());
    options.hold_s = 3;
    options.bridges.twitch_channels = {"vimochan"};
    options.bridges.twitch_server = "localhost:" + std::to_string(server.port());
    options.bridges.tls_ca = server.ca();
    restart();
    ASSERT_TRUE(wait_until(15, [&] { return server.joined({"#vimochan"}); }));
    Answer page = call("POST", "/admin/moderation", "token=" + token, "", "application/x-www-form-urlencoded");
    EXPECT_NE(page.body.find("Messages are held 3 s before desktops see them"), std::string::npos);

    // A companion's wake-up request is held across the whole exchange.
    std::future<std::string> woken = wake("");
    ASSERT_TRUE(wait_until(10, [&] { return service->wake.waiting() == 1; }));

    // Said, stored, then deleted on Twitch within the hold.
    ASSERT_EQ(server.control({{"cmd", "say"}, {"channel", "#vimochan"}, {"user", "dave"}, {"id", "d1"},
                              {"text", "deleted in time"}})["ok"], true);
    ASSERT_TRUE(wait_until(10, [&] { return stored("deleted in time"); }));
    ASSERT_EQ(server.control({{"cmd", "send"}, {"lines", {"@login=dave;target-msg-id=d1 :tmi.twitch.tv CLEARMSG "
                                                          "#vimochan :deleted in time"}}})["ok"], true);
    ASSERT_TRUE(wait_until(10, [&] {
        json listed = call("GET", "/api/admin/moderation", "", token).parsed();
        for (const json& e : listed["log"])
            if (e["action"] == "delete" && e["by"] == "twitch") return true;
        return false;
    }));

    // A line kept: served the hold after it was said, not before, and the wake-up carries it.
    auto said = Clock::now();
    ASSERT_EQ(server.control({{"cmd", "say"}, {"channel", "#vimochan"}, {"user", "erin"}, {"id", "e1"},
                              {"text", "kept line"}})["ok"], true);
    double kept_after = served_after(said, "kept line", "deleted in time");
    ASSERT_GE(kept_after, 3.0) << "served before its hold was over";
    std::printf("kept line served %.2f s after it was said (hold 3 s)\n", kept_after);
    ASSERT_EQ(woken.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    std::string value = woken.get();
    EXPECT_EQ(value, chat(1)[0]["message"].get<std::string>());
    EXPECT_EQ(texts(), std::vector<std::string>{"kept line"});

    // A composer's post and an ingested message: their values at once, served after the
    // hold, and the next wake-up (seen: the kept line) carries the newer.
    link("7:7:7", "Poster");
    std::future<std::string> woken_again = wake(value);
    ASSERT_TRUE(wait_until(10, [&] { return service->wake.waiting() == 1; }));
    auto posted = Clock::now();
    Answer composed = call("POST", "/api/vimoexe/chat?id=7:7:7&content=composed%20line");
    ASSERT_EQ(composed.status, 200) << composed.body;
    EXPECT_FALSE(composed.body.empty());
    std::string ingested = ingest("discord", "80351", "Ann", "ingested line");
    EXPECT_FALSE(ingested.empty());
    ASSERT_GE(served_after(posted, "composed line", "deleted in time"), 3.0) << "served before its hold was over";
    ASSERT_GE(served_after(posted, "ingested line", "deleted in time"), 3.0) << "served before its hold was over";
    ASSERT_EQ(woken_again.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    std::string woke_with = woken_again.get();
    EXPECT_TRUE(woke_with == ingested || woke_with == composed.body) << woke_with;
    EXPECT_EQ(texts(), (std::vector<std::string>{"kept line", "composed line", "ingested line"}));
}

}  // namespace
