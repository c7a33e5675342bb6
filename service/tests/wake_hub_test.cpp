// The service's own wake-up hub under a busy chat and a greedy address: each
// waiter is answered at most about once a second however fast messages come,
// and one address holds at most four places while others are still held.
// Waiters connect from addresses of their own in 127.0.0.0/8 (every one of
// them is this machine's on Linux).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "http/wake.h"
#include "service_fixture.h"

using namespace service_test;
using Clock = std::chrono::steady_clock;

namespace {

// A GET /api/wake naming etag, sent from the address `from` on a connection of
// its own; -1 when the connection failed.
int ask_wake(const std::string& from, int port, const std::string& etag) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &a.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    std::string ask = "GET /api/wake HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" +
                      (etag.empty() ? "" : "If-None-Match: " + etag + "\r\n") + "\r\n";
    if (send(fd, ask.data(), ask.size(), MSG_NOSIGNAL) != ssize_t(ask.size())) {
        close(fd);
        return -1;
    }
    return fd;
}

// The answer's status, and its ETag into *etag, reading for at most ms; 0
// while the request is still held (fd stays open), the answer closes fd.
int answer_of(int fd, int ms, std::string* etag = nullptr) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) got.append(buf, size_t(n));
    if (got.empty() && n < 0) return 0;
    close(fd);
    if (got.size() < 12) return -1;
    size_t tag = got.find("\r\nETag: ");
    if (etag && tag != std::string::npos) *etag = got.substr(tag + 8, got.find("\r\n", tag + 8) - tag - 8);
    return std::stoi(got.substr(9, 3));
}

TEST_F(ServiceTest, WakeHubFoldsABusyChatAndBoundsEachAddress) {
    threads = 32;  // the channel's bound is half the pool: 16 places in all
    restart();

    // One address opens 300 asks: four are held, the rest refused at once,
    // while a second and a third address still get places.
    std::vector<int> greedy, held;
    for (int i = 0; i < 300; i++) greedy.push_back(ask_wake("127.0.0.1", port, ""));
    int refused = 0;
    for (int fd : greedy) {
        int status = fd < 0 ? -1 : answer_of(fd, held.size() < 4 ? 1000 : 3000);
        if (status == 0) held.push_back(fd);
        refused += status == 503;
    }
    EXPECT_EQ(held.size(), 4u);
    EXPECT_EQ(refused, 296);
    for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
        int fd = ask_wake(from, port, "");
        EXPECT_EQ(fd < 0 ? -1 : answer_of(fd, 300), 0) << from;
        if (fd >= 0) held.push_back(fd);
    }

    // Ten addresses' companions re-ask at once after every answer while 50
    // messages a second come for 4 s: each is answered about once a second.
    std::atomic<bool> stopping{false};
    std::vector<int> answers(10, 0);
    std::vector<std::thread> waiters;
    for (int w = 0; w < 10; w++)
        waiters.emplace_back([&, w] {
            std::string etag;
            while (!stopping) {
                int fd = ask_wake("127.0.0." + std::to_string(10 + w), port, etag);
                int status = 0;
                while (fd >= 0 && !stopping && (status = answer_of(fd, 200, &etag)) == 0) {}
                if (status == 0 && fd >= 0) close(fd);
                answers[size_t(w)] += status == 200;
            }
        });
    auto from = Clock::now();
    for (int i = 0; i < 200; i++) {
        ingest("corvane", "", "busy" + std::to_string(i), "message " + std::to_string(i));  // the name is the sender
        std::this_thread::sleep_until(from + std::chrono::milliseconds(20 * (i + 1)));
    }
    double seconds = std::chrono::duration<double>(Clock::now() - from).count();
    stopping = true;
    ingest("corvane", "", "last", "the last word");  // ends the asks still held
    for (auto& t : waiters) t.join();
    for (int fd : held) close(fd);
    for (int w = 0; w < 10; w++) {
        EXPECT_GE(answers[size_t(w)], 2) << "waiter " << w;
        EXPECT_LE(answers[size_t(w)], int(seconds) + 2) << "waiter " << w << " in " << seconds << " s";
    }
}

}  // namespace
