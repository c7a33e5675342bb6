// The Matrix bridge against a scripted homeserver over TLS (scripted/matrix_server.py,
// a child process on a loopback port, trusted through a throw-away CA): what it
// stores and deletes, resuming after restarts of either side, refusing what it
// must, and surviving thousands of malformed answers.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "lookalikes.h"
#include "service_fixture.h"

using namespace service_test;
using Clock = std::chrono::steady_clock;

extern char** environ;

namespace {

const char* const MAIN = "!main:example.org";    // joined and configured
const char* const SIDE = "!side:example.org";    // configured, not joined
const char* const OTHER = "!other:example.org";  // joined, not configured
const char* const SECRET = "!secret:example.org";  // joined, end-to-end encrypted

// The homeserver logs calls by wall clock.
double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Polls f until it holds or seconds pass.
bool eventually(const std::function<bool()>& f, double seconds = 15) {
    auto start = Clock::now();
    while (!f()) {
        if (seconds_since(start) > seconds) return false;
        // Often at first, then less, so that long waits do not load the servers.
        std::this_thread::sleep_for(std::chrono::milliseconds(seconds_since(start) < 1 ? 10 : 50));
    }
    return true;
}

// The scripted homeserver as a child process, killed when this goes.
class Homeserver {
public:
    ~Homeserver() { kill(); }

    // Starts it (port 0: any free one); false when it does not say it listens.
    bool start(const std::string& dir, int port = 0, const std::string& token = "secret-token") {
        std::string script = std::string(VIMO_SCRIPTED_DIR) + "/matrix_server.py";
        std::vector<std::string> args = {"/usr/bin/python3", script, "--certs-dir", dir + "/certs",
                                         "--port", std::to_string(port), "--token", token,
                                         "--state-file", dir + "/homeserver.json"};
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
        std::string line = spawned == 0 ? read_line(out[0], 30000) : "";
        close(out[0]);
        if (line.empty()) return false;
        json ready = json::parse(line);
        this->port = ready["port"];
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
    // Appends events to the timeline; their ids.
    json events(const json& list) { return control("/events", list); }
    json text(const char* room, const std::string& sender, const std::string& body) {
        return events({{{"room", room}, {"type", "text"}, {"sender", sender}, {"body", body}}})[0];
    }

    int port = 0, control_port = 0;
    std::string ca;

private:
    static std::string read_line(int fd, int timeout_ms) {
        std::string line;
        char c;
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, timeout_ms) > 0 && read(fd, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }
    pid_t pid_ = -1;
};

class MatrixBridgeTest : public ServiceTest {
protected:
    void TearDown() override {
        ServiceTest::TearDown();
        homeserver.kill();
    }
    // The service restarted with the Matrix bridge reading rooms from the homeserver.
    void start_bridge(const std::vector<std::string>& rooms = {MAIN, SIDE}, const std::string& token = "secret-token",
                      const std::string& scheme = "https") {
        stop();
        options.bridges.matrix_homeserver = scheme + "://127.0.0.1:" + std::to_string(homeserver.port);
        options.bridges.matrix_token = token;
        options.bridges.matrix_rooms = rooms;
        options.bridges.tls_ca = homeserver.ca;
        start();
    }
    json report() {
        json all = call("GET", "/api/admin/bridges", "", token).parsed();
        for (const json& b : all["bridges"])
            if (b["platform"] == "matrix") return b;
        return json();
    }
    // The bridge holds a /sync with this since open (it has read everything before).
    bool polling_since(const std::string& since) {
        return eventually([&] {
            json l = homeserver.log();
            return !l.empty() && l.back()["since"] == since;
        });
    }
    std::string position() { return "t" + std::to_string(homeserver.control("/status")["events"].get<int>()); }
    std::vector<std::string> chat_texts() {
        std::vector<std::string> out;
        for (const json& m : chat(100)) out.push_back(m["text"]);
        return out;
    }
    std::string matrix_name(const std::string& id) {
        Answer a = get("/api/user?select=matrix.name&where=matrix.id=" + id);
        return a.status == 200 ? a.parsed()[0]["matrix"]["name"].get<std::string>() : "(" + std::to_string(a.status) + ")";
    }

    void first_start_and_a_busy_room() {
        ASSERT_TRUE(homeserver.start(dir));
        // Said before the bridge ever ran: a first start does not pour it onto the desktop.
        homeserver.events({{{"room", MAIN}, {"type", "member"}, {"user", "@alice:example.org"}, {"name", "Alice Liddell"}},
                           {{"room", MAIN}, {"type", "text"}, {"sender", "@alice:example.org"}, {"body", "history"}}});
        start_bridge();
        ASSERT_EQ(bridge_lines, std::vector<std::string>{"matrix: reading !main:example.org, !side:example.org"});
        ASSERT_TRUE(polling_since("t2"));
        json first = homeserver.log();
        EXPECT_EQ(first[0]["path"], "/_matrix/client/v3/joined_rooms");
        EXPECT_EQ(first[1]["since"], nullptr);
        for (const json& call : first) {
            EXPECT_TRUE(call["auth"].get<bool>());
            if (call["path"] == "/_matrix/client/v3/sync") EXPECT_EQ(call["rooms"], json({MAIN, SIDE}));
    }
        EXPECT_NE(report()["last_error"].get<std::string>().find("has not joined !side:example.org"), std::string::npos);

        json ids = homeserver.events({
            {{"room", MAIN}, {"type", "member"}, {"user", "@bob:example.org"}, {"name", "Bob Builder"}},
            {{"room", MAIN}, {"type", "text"}, {"sender", "@alice:example.org"}, {"body", "hello from matrix"}},
            {{"room", MAIN}, {"type", "text"}, {"sender", "@bob:example.org"}, {"body", "two\nlines"}},
            {{"room", MAIN}, {"type", "notice"}, {"sender", "@bob:example.org"}, {"body", "a bot's notice"}},
            {{"room", MAIN}, {"type", "image"}, {"sender", "@bob:example.org"}, {"body", "cat.png"}},
            {{"room", OTHER}, {"type", "text"}, {"sender", "@bob:example.org"}, {"body", "elsewhere"}},
            {{"room", MAIN}, {"type", "edit"}, {"sender", "@alice:example.org"}, {"target", "$ev3:example.org"},
             {"body", "hello, edited"}},
            {{"room", MAIN}, {"type", "text"}, {"sender", "@bob:example.org"}, {"body", "agreed"}, {"reply_to", "$ev3:example.org"}},
            {{"room", MAIN}, {"type", "text"}, {"sender", "@carol:example.org"}, {"body", "no member event"}},
            {{"room", MAIN}, {"type", "text"}, {"sender", "@alice:example.org"}, {"body", "soon gone"}},
            {{"room", MAIN}, {"type", "redact"}, {"sender", "@mod:example.org"}, {"target", "$ev11:example.org"}},
            {{"room", MAIN}, {"type", "redact"}, {"sender", "@mod:example.org"}, {"target", "$ev4:example.org"},
             {"in_content", true}},
        });
        ASSERT_EQ(ids[1], "$ev3:example.org");
        ASSERT_TRUE(eventually([&] { return report()["moderation"] == 2; })) << report();
        // Line breaks as spaces, a reply without the quote; notices, images, edits and
        // other rooms are not chat.
        EXPECT_EQ(chat_texts(), (std::vector<std::string>{"hello from matrix", "agreed", "no member event"}));
        json page = chat(3);
        EXPECT_EQ(page[0]["chatter"], json({{"matrix", "@alice:example.org"}}));
        EXPECT_EQ(page[1]["chatter"], json({{"matrix", "@bob:example.org"}}));
        EXPECT_EQ(page[2]["chatter"], json({{"matrix", "@carol:example.org"}}));
        EXPECT_EQ(matrix_name("@alice:example.org"), "Alice Liddell");  // from the first start's member list
        EXPECT_EQ(matrix_name("@bob:example.org"), "Bob Builder");
        EXPECT_EQ(matrix_name("@carol:example.org"), "carol");  // the localpart
        json log = call("GET", "/api/admin/moderation", "", token).parsed()["log"];
        ASSERT_EQ(log.size(), 2u);
        for (const json& entry : log) {
            EXPECT_EQ(entry["action"], "delete");
            EXPECT_EQ(entry["by"], "matrix");
    }
        EXPECT_NE(log[0]["detail"].get<std::string>().find("two lines"), std::string::npos);
        EXPECT_EQ(report()["stored"], 5);
    }
    void service_restart_resumes() {
        // The service restarts while the room talks on: the first /sync of the new run
        // carries the saved token; nothing is read twice or missed.
        std::string saved = position();
        ASSERT_TRUE(polling_since(saved));
        stop();
        homeserver.text(MAIN, "@bob:example.org", "while the service was down");
        size_t calls = homeserver.log().size();
        start_bridge();
        ASSERT_TRUE(eventually([&] { return chat_texts().size() == 4; }));
        json resumed = homeserver.log();
        ASSERT_GT(resumed.size(), calls + 1);
        EXPECT_EQ(resumed[calls + 1]["since"], saved);
        EXPECT_EQ(chat_texts(),
                  (std::vector<std::string>{"hello from matrix", "agreed", "no member event", "while the service was down"}));
        EXPECT_EQ(matrix_name("@bob:example.org"), "Bob Builder");  // the member event comes with the batch
    }
    void limits_failures_and_stop() {
        // 429: waits as long as the homeserver asks.
        ASSERT_TRUE(polling_since(position()));
        size_t before = homeserver.log().size();  // the open poll is answered 429, the next comes later
        double answered = wall_seconds();
        homeserver.control("/answers", {{{"status", 429},
                                         {"body", {{"errcode", "M_LIMIT_EXCEEDED"}, {"error", "slow down"}, {"retry_after_ms", 700}}}}});
        ASSERT_TRUE(eventually([&] { return homeserver.log().size() > before; }));
        EXPECT_GE(homeserver.log()[before]["t"].get<double>() - answered, 0.65);
        EXPECT_NE(report()["last_error"].get<std::string>().find("M_LIMIT_EXCEEDED"), std::string::npos);
        EXPECT_TRUE(eventually([&] { return report()["state"] == "connected"; }));

        // A 5xx backs off (the report says when it tries next), then reads on.
        ASSERT_TRUE(polling_since(position()));
        homeserver.control("/answers", {{{"status", 503}, {"body", {{"errcode", "M_UNKNOWN"}}}}});
        ASSERT_TRUE(eventually([&] { return report()["state"] == "backing off"; }, 5));
        EXPECT_TRUE(report()["next_try"].is_string());
        EXPECT_NE(report()["last_error"].get<std::string>().find("HTTP 503"), std::string::npos);
        homeserver.text(MAIN, "@alice:example.org", "after the 503");
        ASSERT_TRUE(eventually([&] { return chat_texts().size() == 5; }));
        EXPECT_EQ(report()["state"], "connected");

        // The homeserver is killed and started again on the same port.
        ASSERT_TRUE(polling_since(position()));
        int64_t reconnects = report()["reconnects"];
        homeserver.kill();
        ASSERT_TRUE(homeserver.start(dir, homeserver.port));
        auto restarted = Clock::now();
        homeserver.text(MAIN, "@alice:example.org", "after the homeserver restart");
        ASSERT_TRUE(eventually([&] { return chat_texts().size() == 6; }));
        std::printf("[ figure   ] homeserver restart to the first stored message: %.2f s\n", seconds_since(restarted));
        EXPECT_GT(report()["reconnects"].get<int64_t>(), reconnects);
        EXPECT_EQ(chat_texts().back(), "after the homeserver restart");

        // stop() ends an open 30 s long poll at once.
        ASSERT_TRUE(polling_since(position()));
        auto stopping = Clock::now();
        stop();
        double stop_s = seconds_since(stopping);
        std::printf("[ figure   ] service stop with a long poll open: %.2f s\n", stop_s);
        EXPECT_LT(stop_s, 3.0);
    }

    Homeserver homeserver;
};

// The first start, a busy room and its redactions, then a restart of the service that
// resumes where it was; then limits, failures and restarts of the homeserver, and a quick stop.
TEST_F(MatrixBridgeTest, StoresTextsNamesAndRedactionsAndResumesAcrossRestarts) {
    ASSERT_NO_FATAL_FAILURE(first_start_and_a_busy_room());
    ASSERT_NO_FATAL_FAILURE(service_restart_resumes());
    ASSERT_NO_FATAL_FAILURE(limits_failures_and_stop());
}

// Every lookalike of the streamer's handle as a room display name reaches
// /api/user as the sender's Matrix id with the mark; so does a localpart that
// spells the handle; the streamer's own id (--streamer-ids) keeps it.
TEST_F(MatrixBridgeTest, NoLookalikeOfTheStreamerIsServedAsTheStreamer) {
    ASSERT_TRUE(homeserver.start(dir));
    options.streamer_ids = {"matrix:@quelmara:example.org"};
    start_bridge();
    ASSERT_TRUE(polling_since("t0"));
    json events = json::array();
    std::vector<std::pair<std::string, std::string>> want;  // sender, the name /api/user answers
    auto lookalikes = lookalike_test::streamer_lookalikes();
    for (size_t i = 0; i < lookalikes.size(); ++i) {
        std::string user = "@fan" + std::to_string(i) + ":example.org";
        events.push_back({{"room", MAIN}, {"type", "member"}, {"user", user}, {"name", lookalikes[i].first}});
        events.push_back({{"room", MAIN}, {"type", "text"}, {"sender", user}, {"body", lookalikes[i].second}});
        want.emplace_back(user, user + " (matrix)");
    }
    // No display name: the localpart, which spells the handle on another server.
    events.push_back({{"room", MAIN}, {"type", "text"}, {"sender", "@quelmara:evil.example"}, {"body", "hi"}});
    want.emplace_back("@quelmara:evil.example", "@quelmara:evil.example (matrix)");
    // An id too long for the mark beside it is cut, showing it was.
    const std::string tall = "@a-rather-long-localpart:matrix.example.org";
    events.push_back({{"room", MAIN}, {"type", "member"}, {"user", tall}, {"name", "Quelmara"}});
    events.push_back({{"room", MAIN}, {"type", "text"}, {"sender", tall}, {"body", "hi"}});
    want.emplace_back(tall, tall.substr(0, 22) + "\u2026 (matrix)");
    events.push_back({{"room", MAIN}, {"type", "member"}, {"user", "@quelmara:example.org"}, {"name", "Quelmara"}});
    events.push_back({{"room", MAIN}, {"type", "text"}, {"sender", "@quelmara:example.org"}, {"body", "it is me"}});
    want.emplace_back("@quelmara:example.org", "Quelmara");
    homeserver.events(events);
    ASSERT_TRUE(eventually([&] { return chat_texts().size() == want.size(); })) << report();
    for (const auto& [user, name] : want) {
        std::string shown = matrix_name(user);
        EXPECT_EQ(shown, name) << user;
        if (user != "@quelmara:example.org") lookalike_test::expect_not_streamer(shown, user);
    }
}

TEST_F(MatrixBridgeTest, RefusesBadTokensPlainHttpAndUntrustedCertificatesAndNamesEncryptedRooms) {
    ASSERT_TRUE(homeserver.start(dir, 0, "the-real-token"));
    start_bridge({MAIN}, "a-revoked-token");
    ASSERT_TRUE(eventually([&] { return report()["state"] == "failed"; })) << report();
    EXPECT_NE(report()["last_error"].get<std::string>().find("M_UNKNOWN_TOKEN"), std::string::npos) << report();
    EXPECT_EQ(homeserver.log().size(), 1u);  // one refused call, then no more
    EXPECT_EQ(get("/api/chat?count=5").status, 200);
    ingest("twitch", "1", "viewer", "the rest of the service runs");
    EXPECT_EQ(chat(5).size(), 1u);

    // The token is never sent in the clear.
    start_bridge({MAIN}, "the-real-token", "http");
    ASSERT_EQ(bridge_lines.size(), 1u);
    EXPECT_NE(bridge_lines[0].find("matrix: not started: the homeserver must be https://"), std::string::npos)
        << bridge_lines[0];

    // Nor to a server whose certificate is not trusted: the handshake fails first.
    std::string ca = homeserver.ca;
    homeserver.ca = "";
    start_bridge({MAIN}, "the-real-token");
    ASSERT_TRUE(eventually([&] { return report()["state"] == "backing off"; })) << report();
    EXPECT_NE(report()["last_error"].get<std::string>().find("certificate verify failed"), std::string::npos)
        << report();
    EXPECT_EQ(homeserver.log().size(), 1u);

    // An encrypted room cannot be read: the streamer is told instead of seeing nothing.
    homeserver.ca = ca;
    homeserver.events({{{"room", SECRET}, {"type", "encryption"}}});
    start_bridge({SECRET}, "the-real-token");
    ASSERT_TRUE(polling_since(position()));
    EXPECT_EQ(report()["state"], "connected");
    EXPECT_NE(report()["last_error"].get<std::string>().find("!secret:example.org is end-to-end encrypted"),
              std::string::npos)
        << report();
}

TEST_F(MatrixBridgeTest, SurvivesRandomAndMalformedAnswers) {
    ASSERT_TRUE(homeserver.start(dir));
    start_bridge({MAIN, OTHER});
    ASSERT_TRUE(polling_since(position()));
    auto began = Clock::now();
    homeserver.control("/fuzz", {{"count", 10000}, {"seed", 20}});
    ASSERT_TRUE(eventually([&] { return homeserver.control("/status")["fuzz_left"] == 0; }, 900));
    std::printf("[ figure   ] 10000 malformed answers (each followed by a good one) in %.1f s\n", seconds_since(began));
    EXPECT_GT(report()["errors"].get<int64_t>(), 5000) << report();

    homeserver.text(MAIN, "@alice:example.org", "still reading");
    ASSERT_TRUE(eventually([&] { return !chat_texts().empty() && chat_texts().back() == "still reading"; }));

    // Unusable answers in a row: the first is tried again at once, the next backs off.
    ASSERT_TRUE(polling_since(position()));
    homeserver.control("/answers", {{{"status", 200}, {"body", "not an object"}}, {{"status", 200}, {"body", {1, 2}}}});
    ASSERT_TRUE(eventually([&] { return report()["state"] == "backing off"; }, 5)) << report();
    homeserver.text(MAIN, "@alice:example.org", "after the back-off");
    ASSERT_TRUE(eventually([&] { return chat_texts().back() == "after the back-off"; }));
}

}  // namespace
