// The wake-up channel on the service's side: /api/wake held until a served
// message exists, naming it; a message held back by a blocked word wakes
// nobody; the companion's ETag of an older message is answered at once; each
// served message is published to the Nchan publisher location; stopping the
// service answers what it holds.
#include <chrono>
#include <future>
#include <mutex>
#include <vector>

#include "http.h"  // Service, for the count of held requests
#include "service_fixture.h"

namespace service_test {
namespace {

using Clock = std::chrono::steady_clock;

// A stand-in for nginx's Nchan publisher location: records what is POSTed.
struct FakePublisher {
    httplib::Server http;
    std::thread thread;
    int port = 0;
    std::mutex m;
    std::vector<std::string> bodies;
    FakePublisher() {
        http.Post("/publish", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> lock(m);
            bodies.push_back(req.body);
            res.status = 202;
        });
        port = http.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { http.listen_after_bind(); });
        while (!http.is_running()) std::this_thread::yield();
    }
    ~FakePublisher() {
        http.stop();
        thread.join();
    }
    std::vector<std::string> seen() {
        std::lock_guard<std::mutex> lock(m);
        return bodies;
    }
};

class WakeTest : public ServiceTest {
protected:
    // GET /api/wake on a thread of its own, naming seen in If-None-Match when not "".
    std::future<Answer> hold(const std::string& seen) {
        httplib::Headers h;
        if (!seen.empty()) h.emplace("If-None-Match", "\"" + seen + "\"");
        return std::async(std::launch::async, [this, h] {
            httplib::Client c("127.0.0.1", port);
            c.set_read_timeout(40, 0);
            httplib::Result r = c.Get("/api/wake", h);
            Answer a;
            if (r) {
                a.status = r->status;
                a.body = r->body;
                a.headers = r->headers;
            }
            return a;
        });
    }
    // Waits until the service holds n requests.
    bool holding(size_t n) {
        for (auto end = Clock::now() + std::chrono::seconds(10); Clock::now() < end; std::this_thread::yield())
            if (service->wake.waiting() >= n) return true;
        return false;
    }
};

TEST_F(WakeTest, HeldUntilAServedMessageNamedByItsETagAndPublished) {
    FakePublisher nchan;
    options.publish_url = "http://127.0.0.1:" + std::to_string(nchan.port) + "/publish";
    restart();
    std::string first = ingest("twitch", "7", "Ada", "first");

    // An ETag of an older message: the newer is answered at once.
    Answer behind = hold("someone-else-1").get();
    EXPECT_EQ(behind.status, 200);
    EXPECT_EQ(behind.body, first);
    EXPECT_EQ(behind.header("ETag"), "\"" + first + "\"");
    EXPECT_EQ(behind.header("Cache-Control"), "no-store");

    // Held until the next served message; one held back by a blocked word wakes nobody.
    ASSERT_EQ(admin("/api/admin/words", {{"words", {"zonk"}}}).status, 200);
    std::future<Answer> waiting = hold(first);
    ASSERT_TRUE(holding(1));
    std::string blocked = ingest("twitch", "7", "Ada", "zonk zonk");
    std::string second = ingest("twitch", "8", "Bea", "second");
    Answer woken = waiting.get();
    EXPECT_EQ(woken.status, 200);
    EXPECT_EQ(woken.body, second);
    EXPECT_EQ(woken.header("ETag"), "\"" + second + "\"");

    // Every served message reaches the publisher (folded to one a second), the blocked one never.
    for (auto end = Clock::now() + std::chrono::seconds(5);
         Clock::now() < end && (nchan.seen().empty() || nchan.seen().back() != second);)
        std::this_thread::yield();
    std::vector<std::string> published = nchan.seen();
    ASSERT_FALSE(published.empty());
    EXPECT_EQ(published.front(), first);
    EXPECT_EQ(published.back(), second);
    for (const std::string& b : published) EXPECT_NE(b, blocked);

    // Stopping answers what is held at once.
    std::future<Answer> left = hold(second);
    ASSERT_TRUE(holding(1));
    auto asked = Clock::now();
    stop();
    EXPECT_EQ(left.get().status, 503);
    EXPECT_LT(Clock::now() - asked, std::chrono::seconds(3));
}

}  // namespace
}  // namespace service_test
