// vimo-service against a hostile party: lookalike names, filter evasions, long
// texts, token guessing, a dual-stack listener, a flood of stored chat and
// connections that send their headers a byte a second.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "service_fixture.h"
#include "store/store.h"
#include "text/text.h"

using namespace service_test;
using Clock = std::chrono::steady_clock;

namespace {

// "%XX" for every byte: any UTF-8 text as a form value.
std::string form_encode(const std::string& text) {
    std::string out;
    char buf[4];
    for (unsigned char c : text) {
        std::snprintf(buf, sizeof buf, "%%%02X", c);
        out += buf;
    }
    return out;
}

// The letters of an ASCII word moved to another block: full-width (U+FF41) or
// mathematical bold (U+1D41A) lower case.
std::string shifted(const std::string& word, char32_t a) {
    std::string out;
    for (char ch : word) {
        char32_t c = a + char32_t(ch - 'a');
        if (c < 0x10000) out += {char(0xE0 | (c >> 12)), char(0x80 | ((c >> 6) & 0x3F)), char(0x80 | (c & 0x3F))};
        else out += {char(0xF0 | (c >> 18)), char(0x80 | ((c >> 12) & 0x3F)), char(0x80 | ((c >> 6) & 0x3F)), char(0x80 | (c & 0x3F))};
    }
    return out;
}

std::string replaced(std::string word, char letter, const std::string& by) {
    size_t at = word.find(letter);
    return at == std::string::npos ? word : word.replace(at, 1, by);
}

// A TCP connection to 127.0.0.1:port from the local address `from`; -1 on failure.
int connect_from(const char* from, int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{}, remote{};
    local.sin_family = remote.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    remote.sin_port = htons(uint16_t(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One request on a connection of its own from `from`; the answer's status (0 on failure).
int status_from(const char* from, int port, const std::string& request) {
    int fd = connect_from(from, port);
    if (fd < 0) return 0;
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char buf[64] = {};
    ssize_t n = recv(fd, buf, sizeof buf - 1, 0);
    close(fd);
    return n > 12 ? std::atoi(buf + 9) : 0;  // "HTTP/1.1 NNN"
}

TEST_F(ServiceTest, LookalikeNamesAreCaught) {
    options.limits.link_address = {0, 0};  // every try below is a link-page submission
    restart();
    link("1:1:1", "mirela");
    // name -> the status of taking it: 400 refused with a reason, 409 taken.
    struct Case {
        std::string name;
        int status;
        const char* why;  // in the 400 page
    };
    std::vector<Case> cases;
    for (const std::string taken : {"quelmara", "mirela"}) {
        std::string reversed(taken.rbegin(), taken.rend());
        cases.push_back({replaced(taken, 'a', "\u0430"), 400, "mix scripts"});       // Cyrillic a
        cases.push_back({replaced(taken, 'e', "\u0435"), 400, "mix scripts"});       // Cyrillic e
        cases.push_back({shifted(taken, 0xFF41), 409, ""});                          // full-width
        cases.push_back({shifted(taken, 0x1D41A), 409, ""});                         // mathematical bold
        cases.push_back({replaced(taken, 'a', "a\u0301"), 409, ""});                  // an acute accent
        cases.push_back({replaced(taken, 'l', "l\u0336\u0332"), 409, ""});            // stroke and underline
        cases.push_back({taken + ".", 409, ""});                                     // a trailing dot
        cases.push_back({"\u202E" + reversed, 400, "bidi controls"});                 // shows as the name
        cases.push_back({"\u202E" + reversed + "\u202C", 400, "bidi controls"});
        cases.push_back({"\u2066" + taken + "\u2069", 400, "bidi controls"});
    }
    cases.push_back({"quelrnara", 409, ""});                // "rn" passes for "m"
    cases.push_back({"queImara", 409, ""});                 // a capital I for an l
    cases.push_back({"q\u057delmara", 400, "mix scripts"});  // Armenian with Latin: beyond "highly restrictive"
    cases.push_back({std::string(33, 'z'), 400, "at most 32"});
    std::string stacked = "a";  // "a" under 40 combining marks
    for (int i = 0; i < 40; ++i) stacked += "\u0301";
    cases.push_back({stacked, 400, "at most 32"});
    for (const Case& c : cases) {
        std::string url = get("/api/vimoexe/login?id=2:2:2").parsed()["url"];
        Answer a = call("POST", "/link", "token=" + url.substr(url.find("token=") + 6) + "&name=" + form_encode(c.name),
                        "", "application/x-www-form-urlencoded");
        EXPECT_EQ(a.status, c.status) << c.name;
        EXPECT_NE(a.body.find(c.why), std::string::npos) << c.name;
    }
    // Not lookalikes: other names, one script of its own, the plain spelling of an accented name.
    const char* fine[] = {"mirela_fan", "quelmaras", "\u043c\u0438\u0440\u0435\u043b\u0430", "Zo\u00eb"};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(try_link("9:9:" + std::to_string(i), form_encode(fine[i])), 200) << fine[i];
    EXPECT_EQ(db_number("SELECT COUNT(*) FROM accounts"), 5);
}

TEST_F(ServiceTest, WordEvasionsAreCaught) {
    // Words: each evasion of a listed word is blocked; other words, whole or containing its letters, are not.
    ASSERT_EQ(admin("/api/admin/words", {{"words", {"bad", "cop", "scam"}}}).status, 200);
    const std::vector<std::pair<std::string, bool>> words = {
        {"so b\u0430d", true},                          // Cyrillic a
        {"a " + shifted("bad", 0xFF41) + " day", true},   // full-width
        {shifted("bad", 0x1D41A) + "!", true},            // mathematical bold
        {"b\u00e1\u0300d", true},                       // combining accents
        {"\u0455\u0441\u0430m it", true},               // Cyrillic s, c, a with a Latin m
        {"\u0441o\u0440", true},                        // Cyrillic c and p around a Latin o
        {"\u0441\u043e\u0440\u043e\u043a\u0430", false},  // a Cyrillic word holding the letters of "cop"
        {"\u0441\u043e\u0440", false},                  // a whole Cyrillic word that looks like it
        {"scarn", false},                               // Latin only: "rn" is not "m" here
        {"badge copper", false},
    };
    for (size_t i = 0; i < words.size(); ++i) ingest("twitch", std::to_string(100 + i), "w", words[i].first);
    json moderation = call("GET", "/api/admin/moderation", "", token).parsed();
    for (const auto& m : moderation["messages"]) {
        std::string text = m["text"];
        for (const auto& [said, blocked] : words)
            if (said == text) EXPECT_EQ(m["blocked"].get<bool>(), blocked) << text;
    }
    EXPECT_EQ(chat(100).size(), 4u);
}

// The one rule every name meets, on a few names a table shows best; the
// bridges' and sign-in's scenarios send every lookalike through the real paths.
TEST(NameRule, CleansRefusesCutsAndKeepsTheStreamersOwn) {
    const NameGuard platform{name_keys("quelmara"), false, true}, own{name_keys("quelmara"), true, true},
        typed{name_keys("quelmara"), false, false};
    struct Row {
        std::string name;
        const NameGuard& guard;
        std::string shown;  // "" when refused
        NameRefusal why;
    };
    const Row rows[] = {
        {"  Ann \u200b\u00a0 Lee\u00ad ", platform, "Ann Lee", NameRefusal::None},  // invisibles out, spaces one
        {"\u2764\ufe0f\u200d\U0001F525 fan", platform, "\u2764\ufe0f\u200d\U0001F525 fan", NameRefusal::None},
        {"a\u200d\u2764\ufe0f", platform, "a\u2764\ufe0f", NameRefusal::None},  // a joiner after a letter hides
        {"\u5c71\u7530\u3055\u3093 Taro", platform, "\u5c71\u7530\u3055\u3093 Taro", NameRefusal::None},  // Japanese with Latin
        {"a\u202eb", platform, "", NameRefusal::Bidi},
        {"\u200b\u00ad\u3164", platform, "", NameRefusal::Invisible},
        {"q\u057delmara", platform, "", NameRefusal::MixedScripts},
        {"\u041c\u0438\u0440\u0435\u043b\u0430", platform, "\u041c\u0438\u0440\u0435\u043b\u0430", NameRefusal::None},
        {"Quel\u200bmara", platform, "", NameRefusal::Streamer},
        {"Quel\u200bmara", own, "Quelmara", NameRefusal::None},
        {"q\u0435lmara", own, "", NameRefusal::MixedScripts},  // the streamer's own still meets the rest
        {std::string(40, 'z'), platform, std::string(32, 'z'), NameRefusal::None},
        {std::string(31, 'z') + " quelmara", platform, std::string(31, 'z'), NameRefusal::None},  // cut, then judged
        {std::string(33, 'z'), typed, "", NameRefusal::TooLong},
    };
    for (const Row& r : rows) {
        ShownName s = name_shown(r.name, r.guard);
        EXPECT_EQ(s.name, r.shown) << r.name;
        EXPECT_EQ(int(s.refused), int(r.why)) << r.name;
    }

    std::vector<std::string> ids, kept = {"keep"};
    std::string error;
    ASSERT_TRUE(service_detail::parse_streamer_ids("twitch:123,discord:80351110224678912,matrix:@q.x:example.org", &ids,
                                                   &error));
    EXPECT_EQ(ids, (std::vector<std::string>{"twitch:123", "discord:80351110224678912", "matrix:@q.x:example.org"}));
    for (const char* bad : {"", "twitch:abc", "twitch", "youtube:1", "discord:1,,twitch:2", "matrix:q:example.org",
                            "matrix:@q", "matrix:@:x", "discord:123456789012345678901", "twitch: 1"}) {
        error.clear();
        EXPECT_FALSE(service_detail::parse_streamer_ids(bad, &kept, &error)) << bad;
        EXPECT_NE(error.find("--streamer-ids"), std::string::npos) << bad;
    }
    EXPECT_EQ(kept, std::vector<std::string>{"keep"});
}

TEST_F(ServiceTest, TextsAreBoundedInCharactersAndWrongTokensLimited) {
    link("1:1:1", "poster");
    std::string e500, e501;
    for (int i = 0; i < 500; ++i) e500 += "%C3%A9";
    e501 = e500 + "%C3%A9";
    EXPECT_EQ(call("POST", "/api/vimoexe/chat?id=1:1:1&content=" + e500).status, 200);  // 1000 bytes, 500 characters
    EXPECT_EQ(call("POST", "/api/vimoexe/chat?id=1:1:1&content=" + e501).status, 400);
    std::string long_text, long_name;
    for (int i = 0; i < 700; ++i) long_text += "\u00e9";
    for (int i = 0; i < 40; ++i) long_name += "n";
    ingest("twitch", "5", long_name, long_text);  // bridged: cut, not refused
    ingest("corvane", "", long_name, "x");
    json page = chat(3);
    EXPECT_EQ(page[1]["text"].get<std::string>(), long_text.substr(0, 1000));
    EXPECT_EQ(get("/api/user?select=twitch.name&where=twitch.id=5").parsed()[0]["twitch"]["name"], long_name.substr(0, 32));
    EXPECT_EQ(page[2]["chatter"]["corvane"], long_name.substr(0, 32));

    // Wrong admin tokens: ten a minute from one address, then 429 for any token, the right one too.
    for (int i = 0; i < 10; ++i) EXPECT_EQ(call("POST", "/api/admin/live", "{}", "wrong" + std::to_string(i)).status, 401);
    Answer over = call("POST", "/api/admin/live", "{}", "wrong");
    EXPECT_EQ(over.status, 429);
    EXPECT_GE(std::stoi(over.header("Retry-After").empty() ? "0" : over.header("Retry-After")), 1);
    EXPECT_EQ(admin("/api/admin/live", {{"handles", {"x"}}}).status, 429);
    EXPECT_EQ(call("POST", "/admin/live", "token=" + token + "&handles=x", "", "application/x-www-form-urlencoded").status, 429);
    EXPECT_EQ(call("GET", "/api/admin/moderation", "", token).status, 429);
    EXPECT_EQ(get("/api/ferncircle").parsed(), json::array());
    EXPECT_EQ(call("POST", "/api/admin/live", "{}").status, 401);  // no token: no guess, no 429
}

TEST_F(ServiceTest, IPv4ClientsOfADualStackListenerCountApart) {
    options.host = "::";
    restart();
    EXPECT_EQ(service_origin(*service), "http://[::]:" + std::to_string(port));
    std::string wrong = "POST /api/admin/live HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer wrong\r\n"
                        "Content-Length: 2\r\nConnection: close\r\n\r\n{}";
    for (int i = 0; i < 10; ++i) EXPECT_EQ(status_from("127.0.0.1", port, wrong), 401);
    EXPECT_EQ(status_from("127.0.0.1", port, wrong), 429);
    EXPECT_EQ(status_from("127.0.0.2", port, wrong), 401);  // another IPv4 address, its own bucket
    EXPECT_EQ(status_from("127.0.0.1", port, wrong), 429);
}

off_t file_size(const std::string& path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

TEST_F(ServiceTest, RetentionPrunesChattersAndGivesPagesBack) {
    std::string path = dir + "/flood.db", error;
    {  // A file of an older version: made without auto-vacuum.
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        sqlite3_exec(db, "CREATE TABLE old(x); INSERT INTO old VALUES(1);", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    auto count = [&](const char* sql) {
        sqlite3* db = nullptr;
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
        int64_t n = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
        sqlite3_finalize(st);
        sqlite3_close(db);
        return n;
    };
    const std::string text(200, 'x');
    StorePtr store = store_open(path, &error);
    ASSERT_TRUE(store) << error;
    store_set_keep(*store, 5000);
    for (int i = 0; i < 20000; ++i) store_add_message(*store, "twitch", std::to_string(i), "n", text);
    store_close(store);
    const char* named = "SELECT COUNT(*) FROM chatters c WHERE EXISTS (SELECT 1 FROM messages m "
                        "WHERE m.platform = c.platform AND m.sender = c.sender_id)";
    EXPECT_EQ(count("PRAGMA auto_vacuum"), 2);  // incremental, the old file rebuilt once
    EXPECT_EQ(count("SELECT COUNT(*) FROM messages"), 5000);
    EXPECT_EQ(count("SELECT COUNT(*) FROM chatters"), count(named));
    EXPECT_EQ(count("SELECT COUNT(*) FROM chatters"), 5000);

    // A lower bound at the next start: the file gives the pages of what went back.
    off_t before = file_size(path);
    store = store_open(path, &error);
    ASSERT_TRUE(store) << error;
    store_set_keep(*store, 500);
    store_add_message(*store, "discord", "a", "n", "after");
    store_close(store);
    off_t after = file_size(path);
    std::printf("[ figures  ] file %lld bytes with 5000 messages, %lld after pruning to 500\n", (long long)before,
                (long long)after);
    EXPECT_LT(after, before / 4);
    EXPECT_EQ(count("SELECT COUNT(*) FROM chatters"), 500);
    EXPECT_EQ(count("SELECT COUNT(*) FROM chatters"), count(named));
}

TEST_F(ServiceTest, SlowHeadersNeitherHoldAPollNorOutstayFiveSeconds) {
    ingest("twitch", "1", "a", "hello");
    const std::string request = "GET /api/chat?count=8 HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: 1\r\n\r\n";
    std::vector<int> slow;
    for (int i = 0; i < 100; ++i) {
        int fd = connect_from("127.0.0.1", port);
        ASSERT_GE(fd, 0);
        slow.push_back(fd);
    }
    Clock::time_point started = Clock::now();
    std::vector<bool> cut(slow.size(), false);
    double worst_poll = 0;
    // A byte a second on each; a poll from a connection of its own between the bytes.
    for (size_t second = 0; second < 7; ++second) {
        for (size_t i = 0; i < slow.size(); ++i)
            if (!cut[i] && send(slow[i], &request[second], 1, MSG_NOSIGNAL) != 1) cut[i] = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        Clock::time_point asked = Clock::now();
        EXPECT_EQ(get("/api/chat?count=8").status, 200);
        worst_poll = std::max(worst_poll, std::chrono::duration<double>(Clock::now() - asked).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
    }
    size_t closed = 0;
    for (size_t i = 0; i < slow.size(); ++i) {
        char buf[256];
        ssize_t n = recv(slow[i], buf, sizeof buf, MSG_DONTWAIT);
        closed += cut[i] || n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
        close(slow[i]);
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("[ figures  ] slowest poll %.3f s beside 100 slow connections; %zu of them cut within %.1f s\n",
                worst_poll, closed, elapsed);
    EXPECT_LT(worst_poll, 1.0);
    EXPECT_EQ(closed, slow.size());

    // The backlog, as the kernel reports it for the listening socket (Send-Q of `ss -lnt`).
    std::string cmd = "ss -lntH 'sport = :" + std::to_string(port) + "' 2>/dev/null";
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char state[32] = {};
        long recv_q = 0, send_q = 0;
        if (std::fscanf(p, "%31s %ld %ld", state, &recv_q, &send_q) == 3) EXPECT_GE(send_q, 128) << state;
        pclose(p);
    }
}

}  // namespace
