// The wake-up channel's client against a scripted service on loopback (built
// for Windows too, where the held request goes through WinHTTP): an answer is
// handed to the main thread and its ETag named on the next ask, a 404 ends the
// channel, an error leaves it backing off, and stopping ends a held request or
// a back-off at once.
#include <atomic>
#include <chrono>
#include <condition_variable>

#include "online/online_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

// A /api/wake that answers what the test says when the test says so.
struct WakeService {
    loopback::Server server;
    std::mutex m;
    std::condition_variable changed;
    std::vector<std::string> asked;  // If-None-Match of each ask, in order ("" none)
    int status = 200;                // what the next release answers
    std::string body;
    std::string etag;                // sent with a 200 instead of the quoted body when set
    int releases = 0;                // asks that may be answered now
    bool closing = false;

    WakeService() {
        server.route("GET", "/api/wake", [this](const loopback::Request& in, loopback::Connection& conn) {
            std::unique_lock<std::mutex> lock(m);
            asked.push_back(in.header("if-none-match"));
            changed.notify_all();
            changed.wait(lock, [&] { return releases > 0 || closing; });
            if (closing) return;
            releases--;
            std::string tag = etag.empty() ? "\"" + body + "\"" : etag;
            conn.respond(status, body, status == 200 ? "ETag: " + tag + "\r\n" : "");
        });
        server.start();
    }
    ~WakeService() {
        {
            std::lock_guard<std::mutex> lock(m);
            closing = true;
        }
        changed.notify_all();
        server.stop();
    }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(server.port()); }
    void release(int answer, const std::string& text, int times = 1) {
        std::lock_guard<std::mutex> lock(m);
        status = answer;
        body = text;
        releases += times;
        changed.notify_all();
    }
    // Waits until n asks have come; false after 10 s.
    bool asks(size_t n) {
        std::unique_lock<std::mutex> lock(m);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return asked.size() >= n; });
    }
    std::vector<std::string> log() {
        std::lock_guard<std::mutex> lock(m);
        return asked;
    }
};

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds within = std::chrono::milliseconds(10000)) {
    for (auto end = Clock::now() + within; Clock::now() < end; std::this_thread::yield())
        if (pred()) return true;
    return pred();
}

long stop_ms() {
    auto start = Clock::now();
    wake_stop();
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class WakeChannelTest : public OnlineScene {
protected:
    void TearDown() override {
        wake_stop();
        OnlineScene::TearDown();
    }
};

TEST_F(WakeChannelTest, AnAnswerIsHandedOverAndNamedOnTheNextAskAndStoppingEndsTheHeldAsk) {
    WakeService service;
    use(service.origin());
    wake_start();
    ASSERT_TRUE(service.asks(1));
    EXPECT_EQ(wake_take(), "");  // held: nothing yet
    service.release(200, "db-41");
    std::string taken;
    ASSERT_TRUE(eventually([&] { return !(taken = wake_take()).empty(); }));
    EXPECT_EQ(taken, "db-41");
    EXPECT_EQ(wake_take(), "");  // taken once
    // Asked again at once, naming the message it was told of.
    ASSERT_TRUE(service.asks(2));
    EXPECT_EQ(service.log(), (std::vector<std::string>{"", "\"db-41\""}));
    // A quiet end of the hold (304): asked again, still naming it.
    service.release(304, "");
    ASSERT_TRUE(service.asks(3));
    EXPECT_EQ(service.log().back(), "\"db-41\"");
    EXPECT_EQ(wake_take(), "");
    CONFIG["last_chat"] = "db-41";
    EXPECT_TRUE(wake_seen("db-41"));
    EXPECT_FALSE(wake_seen("db-42"));
    // Quitting while the ask is held ends it at once.
    EXPECT_LT(stop_ms(), 500);
    EXPECT_FALSE(wake_running());
}

TEST_F(WakeChannelTest, NotFoundEndsTheChannelAndAnErrorBacksOffUntilStopped) {
    {
        WakeService without;
        use(without.origin());
        wake_start();
        ASSERT_TRUE(without.asks(1));
        without.release(404, "no such thing");
        EXPECT_TRUE(eventually([] { return !wake_running(); }));
        EXPECT_EQ(without.log().size(), 1u);  // never asked again
        wake_stop();
    }
    {
        // The same message twice in a row (a cache in the way): no news, and
        // not asked again at once.
        WakeService repeating;
        use(repeating.origin());
        wake_start();
        repeating.release(200, "db-5");
        repeating.release(200, "db-5");
        ASSERT_TRUE(eventually([] { return wake_backoff_seconds() == WAKE_BACKOFF_FIRST; }));
        EXPECT_EQ(wake_take(), "db-5");
        EXPECT_EQ(repeating.log().size(), 2u);
        wake_stop();
    }
    WakeService failing;
    use(failing.origin());
    wake_start();
    ASSERT_TRUE(failing.asks(1));
    failing.release(500, "oops");
    // Backing off (10 s before the next ask): stopping does not wait for it.
    ASSERT_TRUE(eventually([] { return wake_backoff_seconds() == WAKE_BACKOFF_FIRST; }));
    EXPECT_TRUE(wake_running());
    EXPECT_LT(stop_ms(), 500);
    EXPECT_EQ(failing.log().size(), 1u);
    EXPECT_EQ(wake_take(), "");
}

TEST_F(WakeChannelTest, AServiceAnsweringAtOnceIsAskedOnceASecondAndALongETagIsNotEchoed) {
    WakeService eager;
    eager.etag = "\"" + std::string(WAKE_ETAG_MAX, 'e') + "\"";  // two quotes over the bound
    use(eager.origin());
    wake_start();
    eager.release(200, "db-1");
    ASSERT_TRUE(eager.asks(2));
    EXPECT_EQ(eager.log()[1], "");  // not sent back
    // Every later ask answered at once: still at most one ask a second.
    auto from = Clock::now();
    eager.release(304, "", 1000);
    ASSERT_TRUE(eager.asks(4));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    double seconds = std::chrono::duration<double>(Clock::now() - from).count();
    size_t asks = eager.log().size() - 2;
    EXPECT_LE(double(asks), seconds + 1) << asks << " asks in " << seconds << " s";
    EXPECT_LT(stop_ms(), 500);
    EXPECT_EQ(wake_take(), "db-1");
}

}  // namespace
