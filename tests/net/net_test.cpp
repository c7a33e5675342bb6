// The request worker against a real HTTP server on a free loopback port. The
// same cases run against libcurl on Linux and WinHTTP on Windows (Wine).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/loopback_server.h"
#include "net/net.h"

// Link seam: the browser opener of the platform layer, recorded instead of run.
static std::mutex opened_mutex;
static std::vector<std::string> opened;
bool platform_open_url(const std::string& url) {
    std::lock_guard<std::mutex> lock(opened_mutex);
    opened.push_back(url);
    return true;
}

namespace {

using namespace std::chrono_literals;

// What the callbacks saw, in order, with the thread each ran on.
struct Calls {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> bodies;
    std::vector<std::thread::id> threads;

    void add(const std::string& body) {
        std::lock_guard<std::mutex> lock(m);
        bodies.push_back(body);
        threads.push_back(std::this_thread::get_id());
        cv.notify_all();
    }
    bool wait_for(size_t n, std::chrono::milliseconds deadline = 10s) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, deadline, [&] { return bodies.size() >= n; });
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> lock(m);
        return bodies;
    }
};
Calls calls;
std::string chain_url;  // what chain_cb fetches; set before the chain starts

void record_cb(std::string body) { calls.add(body); }
void chain_cb(std::string body) {
    calls.add(body);
    fetch(chain_url, "GET", record_cb);
}
void throwing_cb(std::string) { throw std::runtime_error("bad answer"); }
std::string blocking_from_worker;
void blocking_cb(std::string body) {
    blocking_from_worker = fetch_blocking(chain_url);
    calls.add(body);
}

// A real HTTP server on 127.0.0.1:<free port> with the routes the tests use.
struct TestServer {
    loopback::Server svr;
    int port = 0;
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> seen;  // request paths in arrival order
    std::string last_method, last_body;
    bool last_had_length = false;
    int in_flight = 0, max_in_flight = 0;
    bool hold_released = false;

    TestServer() {
        svr.route("GET", "/seq/", [this](const loopback::Request& req, loopback::Connection& c) {
            {
                std::lock_guard<std::mutex> lock(m);
                seen.push_back(req.path);
                max_in_flight = std::max(max_in_flight, ++in_flight);
            }
            std::this_thread::yield();
            {
                std::lock_guard<std::mutex> lock(m);
                --in_flight;
            }
            c.respond(200, req.path.substr(5));
        });
        svr.route("GET", "/status/404", [this](const loopback::Request& req, loopback::Connection& c) {
            note(req);
            c.respond(404, "no such thing");
        });
        svr.route("GET", "/status/500", [this](const loopback::Request& req, loopback::Connection& c) {
            note(req);
            c.respond(500, "broken");
        });
        svr.route("GET", "/status/302", [this](const loopback::Request& req, loopback::Connection& c) {
            note(req);
            c.respond(302, "", "Location: /seq/moved\r\n");
        });
        svr.route("GET", "/big", [](const loopback::Request& req, loopback::Connection& c) {
            size_t n = std::stoul(req.param("n"));
            std::string body(n, 'x');
            for (size_t i = 0; i < n; i += 4096) body[i] = char('a' + (i / 4096) % 26);
            c.respond(200, body);
        });
        // Same size, no Content-Length: the limit must hold while reading.
        svr.route("GET", "/bigchunked", [](const loopback::Request& req, loopback::Connection& c) {
            size_t n = std::stoul(req.param("n"));
            if (!c.start_chunks()) return;
            for (size_t sent = 0; sent < n;) {
                std::string block(std::min<size_t>(65536, n - sent), 'y');
                sent += block.size();
                if (!c.chunk(block)) return;
            }
            c.end_chunks();
        });
        // Headers and a first piece, then nothing until the test releases it.
        svr.route("GET", "/stall", [this](const loopback::Request& req, loopback::Connection& c) {
            note(req);
            if (!c.start_chunks() || !c.chunk("partial")) return;
            std::unique_lock<std::mutex> lock(m);
            cv.wait_for(lock, 10s, [this] { return hold_released; });
        });
        // Answers nothing until released (or 10 s).
        svr.route("GET", "/hold", [this](const loopback::Request& req, loopback::Connection& c) {
            note(req);
            {
                std::unique_lock<std::mutex> lock(m);
                cv.wait_for(lock, 10s, [this] { return hold_released; });
            }
            c.respond(200, "held");
        });
        auto echo = [this](const loopback::Request& req, loopback::Connection& c) {
            {
                std::lock_guard<std::mutex> lock(m);
                seen.push_back(req.path);
                last_method = req.method;
                last_body = req.body;
                last_had_length = req.has_header("content-length") && req.header("content-length") != "0";
                last_had_length = last_had_length || req.has_header("transfer-encoding");
            }
            c.respond(200, "ok");
        };
        for (const char* method : {"GET", "POST", "DELETE"}) svr.route(method, "/echo", echo);
        port = svr.start();
    }
    ~TestServer() {
        {
            std::lock_guard<std::mutex> lock(m);
            hold_released = true;
        }
        cv.notify_all();
        svr.stop();
    }
    void note(const loopback::Request& req) {
        std::lock_guard<std::mutex> lock(m);
        seen.push_back(req.path);
        cv.notify_all();
    }
    bool wait_seen(const std::string& path, std::chrono::milliseconds deadline = 10s) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, deadline, [&] { return std::find(seen.begin(), seen.end(), path) != seen.end(); });
    }
    std::vector<std::string> seen_paths() {
        std::lock_guard<std::mutex> lock(m);
        return seen;
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }
};

// A port nothing listens on.
int closed_port() {
    int port = 0;
    loopback::close_socket(loopback::bound_socket(&port, 0));
    return port;
}

// A socket that listens but never accepts: connects succeed, no answer ever comes.
struct SilentListener {
    loopback::Socket fd;
    int port = 0;
    SilentListener() { fd = loopback::bound_socket(&port, 8); }
    ~SilentListener() { loopback::close_socket(fd); }
};

class Net : public ::testing::Test {
protected:
    void SetUp() override {
        static bool initialised = net_start();
        ONLINE = initialised;
        ASSERT_TRUE(ONLINE);
        fetch_set_timeouts(FETCH_CONNECT_TIMEOUT_MS, FETCH_TOTAL_TIMEOUT_MS);
        std::lock_guard<std::mutex> lock(calls.m);
        calls.bodies.clear();
        calls.threads.clear();
    }
    void TearDown() override { EXPECT_TRUE(fetch_wait_idle(20000)); }
    TestServer server;
};

TEST_F(Net, RequestsRunInOrderOneAtATimeOnOneWorker) {
    for (const char* name : {"a", "b", "c", "d", "e"}) fetch(server.url(std::string("/seq/") + name), "GET", record_cb);
    ASSERT_TRUE(calls.wait_for(5));
    EXPECT_EQ(calls.snapshot(), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
    EXPECT_EQ(server.seen_paths(), (std::vector<std::string>{"/seq/a", "/seq/b", "/seq/c", "/seq/d", "/seq/e"}));
    EXPECT_EQ(server.max_in_flight, 1);
    std::lock_guard<std::mutex> lock(calls.m);
    for (auto id : calls.threads) {
        EXPECT_EQ(id, calls.threads[0]);  // one worker for the whole burst
        EXPECT_NE(id, std::this_thread::get_id());
    }
}

TEST_F(Net, FetchFromCallbackQueuesBehindWaitingRequests) {
    chain_url = server.url("/seq/late");
    fetch(server.url("/seq/first"), "GET", chain_cb);
    fetch(server.url("/seq/second"), "GET", record_cb);
    fetch(server.url("/seq/third"), "GET", record_cb);
    ASSERT_TRUE(calls.wait_for(4));
    EXPECT_EQ(calls.snapshot(), (std::vector<std::string>{"first", "second", "third", "late"}));
    std::lock_guard<std::mutex> lock(calls.m);
    EXPECT_EQ(calls.threads[3], calls.threads[0]);
}

TEST_F(Net, ErrorAndRedirectStatusesPrintTheirLineAndRunNoCallback) {
    testing::internal::CaptureStdout();
    fetch(server.url("/status/404"), "GET", record_cb);
    fetch(server.url("/status/500"), "GET", record_cb);
    fetch(server.url("/status/302"), "GET", record_cb);
    fetch(server.url("/seq/after"), "GET", record_cb);
    bool done = calls.wait_for(1) && fetch_wait_idle(10000);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(done);
    EXPECT_EQ(calls.snapshot(), std::vector<std::string>{"after"});  // redirect not followed either
    EXPECT_NE(out.find("[curl] Sending request to: " + server.url("/status/404") + "\n"), std::string::npos);
    EXPECT_NE(out.find("\n[curl] HTTP status: 404\n"), std::string::npos);
    EXPECT_NE(out.find("\n[curl] HTTP status: 500\n"), std::string::npos);
    EXPECT_NE(out.find("\n[curl] HTTP status: 302\n"), std::string::npos);
    EXPECT_NE(out.find("\n[curl] HTTP status: 200\n"), std::string::npos);
    EXPECT_EQ(server.seen_paths().size(), 4u);  // no /seq/moved
}

TEST_F(Net, OnlyWebAddressesAreFetched) {
    testing::internal::CaptureStdout();
    fetch("ftp://127.0.0.1:" + std::to_string(server.port) + "/seq/ftp", "GET", record_cb);
    fetch("file:///etc/passwd", "GET", record_cb);
    fetch(server.url("/seq/web"), "GET", record_cb);
    bool done = calls.wait_for(3) && fetch_wait_idle(10000);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(done);
    // Refused before any byte is sent: "no status", an empty body.
    EXPECT_EQ(calls.snapshot(), (std::vector<std::string>{"", "", "web"}));
    EXPECT_EQ(server.seen_paths(), std::vector<std::string>{"/seq/web"});
    EXPECT_NE(out.find("[curl] Sending request to: file:///etc/passwd\n[curl] transfer failed: "), std::string::npos);
}

TEST_F(Net, UnreachableOrSilentServerEndsInEmptyCallbackWithinTheTimeout) {
    fetch_set_timeouts(300, 800);
    SilentListener silent;
    testing::internal::CaptureStdout();
    fetch("http://127.0.0.1:" + std::to_string(closed_port()) + "/x", "GET", record_cb);
    fetch("http://127.0.0.1:" + std::to_string(silent.port) + "/x", "GET", record_cb);
    fetch(server.url("/stall"), "GET", record_cb);  // 200 and a first piece, then silence
    bool done = calls.wait_for(3, 8s);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(done);
    // The partial body of the stalled answer is not passed on as if it were the answer.
    EXPECT_EQ(calls.snapshot(), (std::vector<std::string>{"", "", ""}));
    size_t zeros = 0;
    for (size_t p = out.find("[curl] HTTP status: 0\n"); p != std::string::npos; p = out.find("[curl] HTTP status: 0\n", p + 1))
        ++zeros;
    EXPECT_EQ(zeros, 3u);
}

TEST_F(Net, LargeAnswersArriveWholeUpToTheLimitAndFailPastIt) {
    fetch(server.url("/big?n=3000000"), "GET", record_cb);
    fetch(server.url("/big?n=" + std::to_string(FETCH_MAX_BODY_BYTES)), "GET", record_cb);
    fetch(server.url("/big?n=" + std::to_string(FETCH_MAX_BODY_BYTES + 1)), "GET", record_cb);
    fetch(server.url("/bigchunked?n=" + std::to_string(FETCH_MAX_BODY_BYTES + 1)), "GET", record_cb);
    fetch(server.url("/bigchunked?n=" + std::to_string(FETCH_MAX_BODY_BYTES)), "GET", record_cb);
    ASSERT_TRUE(calls.wait_for(5, 30s));
    auto bodies = calls.snapshot();
    ASSERT_EQ(bodies[0].size(), 3000000u);
    EXPECT_EQ(bodies[0][4096 * 27], char('a' + 1));  // bytes in their places, not just the count
    EXPECT_EQ(bodies[0][4096 * 27 + 1], 'x');
    EXPECT_EQ(bodies[1].size(), FETCH_MAX_BODY_BYTES);
    EXPECT_EQ(bodies[2], "");
    EXPECT_EQ(bodies[3], "");
    EXPECT_EQ(bodies[4], std::string(FETCH_MAX_BODY_BYTES, 'y'));
}

TEST_F(Net, PostPrintsItsMethodAndSendsNoBody) {
    testing::internal::CaptureStdout();
    fetch(server.url("/echo?content=hi"), "POST", record_cb);
    bool done = calls.wait_for(1);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(done);
    EXPECT_NE(out.find("\nSET METHOD: POST\n"), std::string::npos);
    std::lock_guard<std::mutex> lock(server.m);
    EXPECT_EQ(server.last_method, "POST");
    EXPECT_EQ(server.last_body, "");
    EXPECT_FALSE(server.last_had_length);
}

TEST_F(Net, GetSetsNoMethodLine) {
    testing::internal::CaptureStdout();
    fetch(server.url("/echo"), "GET", record_cb);
    bool done = calls.wait_for(1);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(done);
    EXPECT_EQ(out.find("SET METHOD"), std::string::npos);
    EXPECT_NE(out.find("[curl] recieved 2 bytes\n"), std::string::npos);
}

TEST_F(Net, ThrowingCallbackDoesNotStopTheWorker) {
    fetch(server.url("/seq/one"), "GET", throwing_cb);
    fetch(server.url("/seq/two"), "GET", record_cb);
    ASSERT_TRUE(calls.wait_for(1));
    EXPECT_EQ(calls.snapshot(), std::vector<std::string>{"two"});
}

TEST_F(Net, BlockingFetchAlwaysEnds) {
    fetch_set_timeouts(300, 800);
    EXPECT_EQ(fetch_blocking(server.url("/seq/sync")), "sync");
    EXPECT_EQ(fetch_blocking(server.url("/status/404")), "");
    EXPECT_EQ(fetch_blocking(server.url("/hold")), "");  // time-out
    EXPECT_EQ(fetch_blocking("http://127.0.0.1:" + std::to_string(closed_port()) + "/"), "");
    // On the worker (in a callback) it is performed at once, in the worker's turn.
    chain_url = server.url("/seq/inner");
    fetch(server.url("/seq/outer"), "GET", blocking_cb);
    ASSERT_TRUE(calls.wait_for(1));
    EXPECT_EQ(blocking_from_worker, "inner");
    // A shorter limit cuts one transfer short.
    fetch_set_timeouts(300, 5000);
    EXPECT_EQ(fetch_blocking(server.url("/hold"), "GET", 200), "");
    ONLINE = false;
    EXPECT_EQ(fetch_blocking(server.url("/seq/off")), "");
    ONLINE = true;
}

TEST_F(Net, ATaskHoldsTheWorkerAndItsRequestsKeepTheirOrder) {
    std::vector<std::string> got;
    std::thread::id task_thread;
    std::promise<void> started;
    std::promise<void> go;
    std::shared_future<void> go_future = go.get_future().share();
    ASSERT_TRUE(fetch_task([&, go_future] {
        task_thread = std::this_thread::get_id();
        started.set_value();
        go_future.wait();  // hold the worker until a plain fetch is queued behind
        got.push_back(fetch_blocking(server.url("/seq/first")));
        got.push_back(fetch_blocking(server.url("/seq/second")));
    }));
    started.get_future().wait();
    fetch(server.url("/seq/after"), "GET", record_cb);
    go.set_value();
    ASSERT_TRUE(calls.wait_for(1));
    EXPECT_EQ(got, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(server.seen_paths(), (std::vector<std::string>{"/seq/first", "/seq/second", "/seq/after"}));
    EXPECT_EQ(calls.threads[0], task_thread);
    EXPECT_NE(task_thread, std::this_thread::get_id());
    ONLINE = false;
    EXPECT_FALSE(fetch_task([] {}));
    ONLINE = true;
}

// Pictures wait: a request queued behind background tasks waits only for the
// one in progress, then the rest run in their own order.
TEST_F(Net, BackgroundTasksLetLaterRequestsPass) {
    std::mutex m;
    std::vector<std::string> order;
    auto note = [&](const std::string& what) {
        std::lock_guard<std::mutex> lock(m);
        order.push_back(what);
    };
    std::promise<void> started, go;
    std::shared_future<void> go_future = go.get_future().share();
    ASSERT_TRUE(fetch_task_background([&, go_future] {
        started.set_value();
        go_future.wait();
        note("bg1:" + fetch_blocking(server.url("/seq/bg1")));
    }));
    started.get_future().wait();
    for (const char* name : {"bg2", "bg3"})
        ASSERT_TRUE(fetch_task_background([&, name] { note(std::string(name) + ":" + fetch_blocking(server.url(std::string("/seq/") + name))); }));
    ASSERT_TRUE(fetch_task([&] { note("poll:" + fetch_blocking(server.url("/seq/poll"))); }));
    EXPECT_EQ(fetch_pending(), 4u);
    go.set_value();
    ASSERT_TRUE(fetch_wait_idle(10000));
    EXPECT_EQ(order, (std::vector<std::string>{"bg1:bg1", "poll:poll", "bg2:bg2", "bg3:bg3"}));
    ONLINE = false;
    EXPECT_FALSE(fetch_task_background([] {}));
    ONLINE = true;
}

TEST_F(Net, OfflineDoesNothing) {
    ONLINE = false;
    fetch(server.url("/seq/off"), "GET", record_cb);
    open("https://example.org/");
    ONLINE = true;
    EXPECT_TRUE(fetch_wait_idle(1000));
    EXPECT_TRUE(server.seen_paths().empty());
    EXPECT_TRUE(calls.snapshot().empty());
    std::lock_guard<std::mutex> lock(opened_mutex);
    EXPECT_TRUE(opened.empty());
}

TEST(NetHelpers, UrlEncode) {
    EXPECT_EQ(url_encode("a b&c=d/\xC3\xA9"), "a%20b%26c%3Dd%2F%C3%A9");
    EXPECT_EQ(url_encode("A-z_0.9~"), "A-z_0.9~");
    EXPECT_EQ(url_encode("+%\n"), "%2B%25%0A");
    EXPECT_EQ(url_encode(std::string("\0\xff", 2)), "%00%FF");
    EXPECT_EQ(url_encode(""), "");
}

// A body printed in a diagnostic line: whole up to 4 KiB, else cut before
// the character the bound falls in, with the whole length after it.
TEST(NetHelpers, CutBodiesKeepFourKibibytesAndSayHowLongTheyWere) {
    const std::string ellipsis = "\xE2\x80\xA6";
    std::string fits(NET_LOG_BODY_MAX, 'a');
    EXPECT_EQ(net_cut(fits), fits);
    EXPECT_EQ(net_cut(""), "");
    EXPECT_EQ(net_cut(std::string(1048576, 'b')),
              std::string(NET_LOG_BODY_MAX, 'b') + ellipsis + " (1048576 bytes in all)");
    // A three-byte character across the bound goes whole to the part left out.
    std::string euros = std::string(NET_LOG_BODY_MAX - 1, 'c') + "\xE2\x82\xAC" + "tail";
    EXPECT_EQ(net_cut(euros), std::string(NET_LOG_BODY_MAX - 1, 'c') + ellipsis + " (" +
                                  std::to_string(euros.size()) + " bytes in all)");
}

TEST(NetHelpers, OpenOnlyWebAddresses) {
    ONLINE = true;
    {
        std::lock_guard<std::mutex> lock(opened_mutex);
        opened.clear();
    }
    testing::internal::CaptureStdout();
    open("file:///etc/passwd");
    open("/usr/bin/xterm");
    open("javascript:alert(1)");
    open("--help");
    open("http://127.0.0.1/a b");
    open("http://127.0.0.1/a\nb");
    open("https://127.0.0.1:8787/link?token=abc");
    open("HTTP://127.0.0.1/channel/quelmara");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("open refused (not an http or https address): file:///etc/passwd\n"), std::string::npos);
    EXPECT_NE(out.find("open refused (not an http or https address): /usr/bin/xterm\n"), std::string::npos);
    std::lock_guard<std::mutex> lock(opened_mutex);
    EXPECT_EQ(opened, (std::vector<std::string>{"https://127.0.0.1:8787/link?token=abc", "HTTP://127.0.0.1/channel/quelmara"}));
}

// Last: shutdown closes the queue for good in this process.
TEST_F(Net, ShutdownAbortsTheCurrentTransferDropsTheRestAndWaits) {
    // A transfer that would last a minute: shutdown's own wait is far shorter,
    // so it only sees the worker end when the transfer is cut off.
    fetch_set_timeouts(300, 60000);
    fetch(server.url("/hold"), "GET", record_cb);  // in progress until its time-out
    fetch(server.url("/seq/dropped"), "GET", record_cb);
    std::string waiting_result = "unset";
    std::thread waiter;
    ASSERT_TRUE(server.wait_seen("/hold"));
    waiter = std::thread([&] { waiting_result = fetch_blocking(server.url("/seq/dropped2")); });
    // The blocking request must be queued before shutdown for the test to mean anything.
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (fetch_pending() < 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    ASSERT_EQ(fetch_pending(), 3u);
    EXPECT_TRUE(fetch_shutdown());
    waiter.join();
    EXPECT_EQ(waiting_result, "");
    EXPECT_EQ(calls.snapshot(), std::vector<std::string>{""});  // the current one ended as "no status"
    fetch(server.url("/seq/late"), "GET", record_cb);
    EXPECT_TRUE(fetch_wait_idle(1000));
    EXPECT_EQ(server.seen_paths(), std::vector<std::string>{"/hold"});
}

}  // namespace
