// The service's storage and limits over real HTTP: the admin token's file, reads
// beside a held write lock, older installations' tokens, request limits,
// retention, unique names and moderation.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include "service.h"
#include "service_fixture.h"

using nlohmann::json;

using namespace service_test;

namespace {

TEST_F(ServiceTest, AdminTokenIsStoredOnlyAsAHashInAPrivateFile) {
    ingest("twitch", "1", "a", "a write, so the -wal and -shm files exist");
    for (const char* f : {"service.db", "service.db-wal", "service.db-shm"}) EXPECT_EQ(file_mode(f), 0600u) << f;
    stop();  // the last connection's close checkpoints into the file
    std::string bytes = db_bytes();
    ASSERT_GT(bytes.size(), 0u);
    EXPECT_EQ(bytes.find(token), std::string::npos);

    // A database holding the token in plain, readable by others, as older versions left it.
    const std::string plain = "0123456789abcdef0123456789abcdef";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir + "/service.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, ("DELETE FROM meta WHERE key = 'admin_token_sha256';"
                                "INSERT INTO meta(key, value) VALUES('admin_token', '" + plain + "');").c_str(),
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    ASSERT_EQ(chmod((dir + "/service.db").c_str(), 0644), 0);
    ASSERT_NE(db_bytes().find(plain), std::string::npos);

    start();
    bool created = true;
    EXPECT_EQ(service_admin_token(*service, &created), "");
    EXPECT_FALSE(created);
    EXPECT_EQ(file_mode("service.db"), 0600u);
    EXPECT_EQ(call("POST", "/api/admin/live", R"({"handles":["kept"]})", plain).status, 200);
    EXPECT_EQ(call("POST", "/api/admin/live", R"({"handles":["no"]})", token).status, 401);
    std::string form = "handles=no&token=";
    EXPECT_EQ(call("POST", "/admin/live", form + token, "", "application/x-www-form-urlencoded").status, 401);
    EXPECT_EQ(call("POST", "/admin/live", form + plain, "", "application/x-www-form-urlencoded").status, 200);
    // The stored hash itself is no token.
    std::string hash = db_text("SELECT value FROM meta WHERE key = 'admin_token_sha256'");
    EXPECT_EQ(hash.size(), 64u);
    EXPECT_EQ(call("POST", "/api/admin/live", R"({"handles":["no"]})", hash).status, 401);
    EXPECT_EQ(get("/api/ferncircle").parsed(), json({"no"}));
    stop();
    EXPECT_EQ(db_bytes().find(plain), std::string::npos);
    EXPECT_EQ(db_number("SELECT COUNT(*) FROM meta WHERE key = 'admin_token'"), 0);
}

}  // namespace

namespace {

TEST_F(ServiceTest, ReadsAnswerWhileAnotherConnectionHoldsTheWriteLock) {
    std::string kept = ingest("twitch", "1", "a", "committed");
    std::string url = get("/api/vimoexe/login?id=3:3:3").parsed()["url"];
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((dir + "/service.db").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE; INSERT INTO live(handle, position) VALUES('uncommitted', 0);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);

    // A write of the service's own now waits for the lock...
    std::atomic<bool> write_done{false};
    int write_status = 0;
    std::thread writer([&] {
        write_status = admin("/api/ingest", {{"platform", "twitch"}, {"sender_id", "2"}, {"sender_name", "b"}, {"text", "late"}}).status;
        write_done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it reach the lock

    // ...and reads still answer, with what was committed, before it is through.
    auto asked = std::chrono::steady_clock::now();
    json page = chat(10);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(100));
    EXPECT_EQ(page.size(), 1u);
    EXPECT_EQ(page[0]["message"], kept);
    EXPECT_EQ(get("/api/ferncircle").parsed(), json::array());
    EXPECT_EQ(get("/api/vimoexe/login?id=3:3:3").parsed()["url"], url);
    EXPECT_EQ(get("/api/user?select=twitch.name&where=twitch.id=1").status, 200);
    EXPECT_FALSE(write_done);

    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    writer.join();
    EXPECT_TRUE(write_status == 200 || write_status == 500) << write_status;  // a lock held too long is refused, not hung
    EXPECT_EQ(chat(10).size(), write_status == 200 ? 2u : 1u);
}

}  // namespace

namespace {

TEST_F(ServiceTest, InstallationsOfAnOlderVersionKeepTheirAccountsAndLoseTheirTokens) {
    // An older file: tokens kept in installs (one derived from the login id, one
    // from before that), a sign-in under way, the secret tokens were derived under.
    std::string account = link("7:7:7", "Kept");
    stop();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir + "/service.db").c_str(), &db), SQLITE_OK);
    const std::string old_file =
                           "CREATE TABLE old_installs(login_id TEXT PRIMARY KEY, link_token TEXT NOT NULL UNIQUE,"
                           "  account_id INTEGER REFERENCES accounts(id), created_at TEXT NOT NULL);"
                           "INSERT INTO old_installs SELECT login_id, '0123456789abcdef0123456789abcdef373a373a37', "
                           "  account_id, created_at FROM installs;"
                           "INSERT INTO old_installs VALUES('8:8:8', 'feedfacefeedfacefeedfacefeedface', NULL, "
                           "  '2026-01-01T00:00:00.000Z');"
                           "DROP TABLE installs; ALTER TABLE old_installs RENAME TO installs; DROP TABLE link_tokens;"
                           "INSERT INTO signins VALUES('" + std::string(64, 'c') + "', 'twitch', "
                           "  'feedfacefeedfacefeedfacefeedface', '', 'b', 0);"
                           "INSERT INTO meta VALUES('link_secret', 'abcd');";
    ASSERT_EQ(sqlite3_exec(db, old_file.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
    start();
    // The linked installation goes on as before; the old tokens are nobody's.
    EXPECT_EQ(get("/api/vimoexe/login?id=7:7:7").parsed()["user"]["id"], account);
    EXPECT_EQ(call("POST", "/api/vimoexe/chat?id=7:7:7&content=hi").status, 200);
    for (const char* old : {"feedfacefeedfacefeedfacefeedface", "0123456789abcdef0123456789abcdef373a373a37"}) {
        EXPECT_EQ(get(std::string("/link?token=") + old).status, 404) << old;
        EXPECT_EQ(call("POST", "/link", std::string("token=") + old + "&name=Eve", "",
                       "application/x-www-form-urlencoded").status, 404);
    }
    EXPECT_EQ(db_number("SELECT COUNT(*) FROM pragma_table_info('installs') WHERE name = 'link_token'"), 0);
    EXPECT_EQ(db_number("SELECT COUNT(*) FROM signins"), 0);
    EXPECT_EQ(db_number("SELECT COUNT(*) FROM meta WHERE key = 'link_secret'"), 0);
    // The unlinked one is handed a fresh token at its next ask, and links with it.
    std::string url = get("/api/vimoexe/login?id=8:8:8").parsed()["url"];
    EXPECT_EQ(url.find("feedface"), std::string::npos);
    link("8:8:8", "Late");
    EXPECT_EQ(db_number("SELECT COUNT(*) FROM installs"), 2);
    EXPECT_EQ(get("/api/vimoexe/login?id=8:8:8").parsed()["user"]["twitch"]["name"], "Late");
}

}  // namespace

namespace {

const char* FORM = "application/x-www-form-urlencoded";

class LimitsTest : public ServiceTest {
protected:
    void SetUp() override {
        // Rates slow enough that no bucket refills while a test runs.
        ServiceLimits& l = options.limits;
        l.post_account = {2, 0.001};
        l.post_address = {3, 0.001};
        l.link_address = {2, 0.001};
        l.ingest_bridge = {3, 0.001};
        l.ingest_sender = {2, 0.001};
        l.ingest_address = {5, 0.001};
        ServiceTest::SetUp();
    }
    Answer ingest_answer(const std::string& platform, const std::string& id, const std::string& text) {
        return admin("/api/ingest", {{"platform", platform}, {"sender_id", id}, {"sender_name", "n" + id}, {"text", text}});
    }
    void expect_refused(const Answer& a, int64_t messages) {
        EXPECT_EQ(a.status, 429) << a.body;
        EXPECT_GE(std::stoi(a.header("Retry-After").empty() ? "0" : a.header("Retry-After")), 1);
        EXPECT_EQ(db_number("SELECT COUNT(*) FROM messages"), messages);
    }
};

TEST_F(LimitsTest, EachLimitAnswers429AndStoresNothing) {
    // Link submissions per address: a third installation from here waits.
    link("1:1:1", "Ann");
    link("2:2:2", "Bob");
    std::string url = get("/api/vimoexe/login?id=3:3:3").parsed()["url"];
    Answer third = call("POST", "/link", "token=" + url.substr(url.find("token=") + 6) + "&name=Cy", "", FORM);
    EXPECT_EQ(third.status, 429);
    EXPECT_FALSE(third.header("Retry-After").empty());
    EXPECT_EQ(db_number("SELECT COUNT(*) FROM accounts"), 2);

    // Posts: two per account, three per address over both accounts.
    EXPECT_EQ(call("POST", "/api/vimoexe/chat?id=1:1:1&content=a1").status, 200);
    EXPECT_EQ(call("POST", "/api/vimoexe/chat?id=1:1:1&content=a2").status, 200);
    expect_refused(call("POST", "/api/vimoexe/chat?id=1:1:1&content=a3"), 2);
    EXPECT_EQ(call("POST", "/api/vimoexe/chat?id=2:2:2&content=b1").status, 200);
    expect_refused(call("POST", "/api/vimoexe/chat?id=2:2:2&content=b2"), 3);

    // Ingest: two per sender, three per bridge (another bridge is not held up), five per address.
    EXPECT_EQ(ingest_answer("twitch", "7", "x").status, 200);
    EXPECT_EQ(ingest_answer("twitch", "7", "x").status, 200);
    expect_refused(ingest_answer("twitch", "7", "x"), 5);
    EXPECT_EQ(ingest_answer("twitch", "8", "y").status, 200);
    expect_refused(ingest_answer("twitch", "9", "z"), 6);
    EXPECT_EQ(ingest_answer("discord", "9", "z").status, 200);
    EXPECT_EQ(ingest_answer("discord", "10", "z").status, 200);  // the fifth from this address
    expect_refused(ingest_answer("matrix", "11", "z"), 8);
    EXPECT_EQ(chat(100).size(), 8u);
}

TEST_F(ServiceTest, RetentionKeepsTheNewestMessages) {
    options.keep_messages = 3;
    restart();
    std::vector<std::string> ids;
    for (int i = 0; i < 6; ++i) ids.push_back(ingest("matrix", "a:x", "a", "m" + std::to_string(i)));
    EXPECT_EQ(db_number("SELECT COUNT(*) FROM messages"), 3);
    json page = chat(10);
    ASSERT_EQ(page.size(), 3u);
    EXPECT_EQ(page[0]["message"], ids[3]);
    EXPECT_EQ(page[2]["message"], ids[5]);
}

TEST_F(ServiceTest, NamesAreUniqueRegardlessOfCaseAndInvisibleTextIsRefused) {
    link("1:1:1", "Élodie");
    EXPECT_EQ(try_link("2:2:2", "%C3%A9LODIE"), 409);               // éLODIE
    EXPECT_EQ(try_link("2:2:2", "%C3%89lo%E2%80%8Bdie"), 409);      // Élo<zero-width space>die
    EXPECT_EQ(try_link("2:2:2", "QuelMara"), 409);                  // the streamer's handle
    EXPECT_EQ(try_link("2:2:2", "%E2%80%AE%E2%80%8B"), 400);        // U+202E U+200B only
    EXPECT_EQ(db_number("SELECT COUNT(*) FROM accounts"), 1);
    EXPECT_EQ(try_link("2:2:2", "Elodie"), 200);                    // another letter, another name

    EXPECT_EQ(call("POST", "/api/vimoexe/chat?id=1:1:1&content=%E2%80%AE%E2%80%8B%20").status, 400);
    EXPECT_EQ(admin("/api/ingest", {{"platform", "twitch"}, {"sender_id", "1"}, {"sender_name", "a"}, {"text", "\u200b\u2060\ufe0f"}}).status, 400);
    EXPECT_EQ(admin("/api/ingest", {{"platform", "corvane"}, {"sender_name", "\u3164"}, {"text", "hi"}}).status, 400);
    EXPECT_EQ(db_number("SELECT COUNT(*) FROM messages"), 0);
}

TEST_F(ServiceTest, ModerationHidesMessagesAndKeepsTheOthersValues) {
    std::string account = link("1:1:1", "Ann");
    std::string a = ingest("twitch", "10", "ten", "first");
    std::string b = ingest("twitch", "11", "eleven", "spam one");
    std::string c = ingest("discord", "12", "twelve", "keep me");
    std::string d = ingest("twitch", "11", "eleven", "spam two");
    std::string e = ingest("matrix", "m:x", "em", "a BadWord, said loudly");
    std::string f = ingest("matrix", "m:x", "em", "badwords is another word");
    std::string g = call("POST", "/api/vimoexe/chat?id=1:1:1&content=mine").body;
    auto values = [&] {
        std::vector<std::string> out;
        for (const auto& m : chat(100)) out.push_back(m["message"]);
        return out;
    };
    ASSERT_EQ(values().size(), 7u);

    EXPECT_EQ(admin("/api/admin/delete", {{"message", a}}).status, 200);
    EXPECT_EQ(admin("/api/admin/delete", {{"message", a}}).status, 404);
    EXPECT_EQ(admin("/api/admin/ban", {{"message", b}}).status, 200);  // the sender of b: twitch 11
    EXPECT_EQ(admin("/api/admin/ban", {{"account", account}}).status, 200);
    EXPECT_EQ(admin("/api/admin/words", {{"words", {"badword"}}}).status, 200);
    EXPECT_EQ(values(), (std::vector<std::string>{c, f}));

    // New posts and bridged messages of banned senders are refused and stored nowhere.
    int64_t stored = db_number("SELECT COUNT(*) FROM messages");
    EXPECT_EQ(admin("/api/ingest", {{"platform", "twitch"}, {"sender_id", "11"}, {"sender_name", "e"}, {"text", "x"}}).status, 403);
    EXPECT_EQ(call("POST", "/api/vimoexe/chat?id=1:1:1&content=again").status, 403);
    EXPECT_EQ(db_number("SELECT COUNT(*) FROM messages"), stored);

    // Unbanned and the words cleared, the rest come back with the same values.
    EXPECT_EQ(admin("/api/admin/unban", {{"platform", "twitch"}, {"sender_id", "11"}}).status, 200);
    EXPECT_EQ(admin("/api/admin/unban", {{"platform", "web"}, {"sender_id", account}}).status, 200);
    EXPECT_EQ(admin("/api/admin/words", {{"words", json::array()}}).status, 200);
    EXPECT_EQ(values(), (std::vector<std::string>{b, c, d, e, f, g}));

    // Every action is in the log with its time, newest first; the calls want the token.
    Answer m = call("GET", "/api/admin/moderation", "", token);
    ASSERT_EQ(m.status, 200) << m.body;
    json moderation = m.parsed();
    std::vector<std::string> actions;
    for (const auto& entry : moderation["log"]) {
        actions.push_back(entry["action"]);
        EXPECT_EQ(entry["at"].get<std::string>().size(), 24u);
    }
    EXPECT_EQ(actions, (std::vector<std::string>{"words", "unban", "unban", "words", "ban", "ban", "delete"}));
    EXPECT_EQ(call("GET", "/api/admin/moderation").status, 401);
    EXPECT_EQ(call("POST", "/api/admin/delete", json{{"message", b}}.dump(), "wrong").status, 401);

    // The page works the same calls; what it shows is escaped.
    ingest("twitch", "13", "t", "<b>bold</b>");
    Answer page = call("POST", "/admin/moderation", "token=" + token, "", FORM);
    ASSERT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("&lt;b&gt;bold"), std::string::npos);
    EXPECT_EQ(call("POST", "/admin/delete", "token=" + token + "&message=" + c, "", FORM).status, 200);
    EXPECT_EQ(values().size(), 6u);
}

TEST_F(ServiceTest, PublicAnswersAreCacheableAndRevalidate) {
    ingest("twitch", "1", "a", "hello");
    Answer first = get("/api/chat?count=8");
    EXPECT_EQ(first.header("Cache-Control"), "public, max-age=1");
    std::string etag = first.header("ETag");
    ASSERT_FALSE(etag.empty());
    Answer same = call("GET", "/api/chat?count=8", "", "", "", {{"If-None-Match", etag}});
    EXPECT_EQ(same.status, 304);
    EXPECT_TRUE(same.body.empty());
    ingest("twitch", "1", "a", "again");
    Answer changed = call("GET", "/api/chat?count=8", "", "", "", {{"If-None-Match", etag}});
    EXPECT_EQ(changed.status, 200);
    EXPECT_NE(changed.header("ETag"), etag);
    for (const char* path : {"/api/ferncircle", "/data/blog.xml", "/api/user?select=twitch.name&where=twitch.id=1"})
        EXPECT_FALSE(get(path).header("ETag").empty()) << path;
    EXPECT_EQ(get("/api/vimoexe/login?id=1:2:3").header("Cache-Control"), "no-store");
}

}  // namespace
