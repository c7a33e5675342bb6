// vimo-service over real HTTP on a loopback port, with a real database file.
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

TEST_F(ServiceTest, LoginLinksThroughTheBrowserPage) {
    Answer first = get("/api/vimoexe/login?id=1056964608:0:1065353216");
    ASSERT_EQ(first.status, 200);
    json ask = first.parsed();
    EXPECT_EQ(ask["status"], false);
    std::string url = ask["url"].get<std::string>();
    std::string origin = "http://127.0.0.1:" + std::to_string(port);
    ASSERT_EQ(url.rfind(origin + "/link?token=", 0), 0u) << url;
    EXPECT_EQ(get("/api/vimoexe/login?id=1056964608:0:1065353216").parsed()["url"], url);  // same page on a second ask

    Answer page = get(url.substr(origin.size()));
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("<form method=\"post\" action=\"/link\">"), std::string::npos);

    std::string token_value = url.substr(url.find("token=") + 6);
    Answer linked = call("POST", "/link", "token=" + token_value + "&name=Ann+%3Cb%3Ex%3C%2Fb%3E", "",
                         "application/x-www-form-urlencoded");
    EXPECT_EQ(linked.status, 200);
    EXPECT_NE(linked.body.find("Ann &lt;b&gt;x&lt;/b&gt;"), std::string::npos);
    EXPECT_EQ(linked.body.find("<b>x</b>"), std::string::npos);

    json now = get("/api/vimoexe/login?id=1056964608:0:1065353216").parsed();
    EXPECT_EQ(now["status"], true);
    EXPECT_EQ(now["user"]["twitch"]["name"], "Ann <b>x</b>");
    EXPECT_FALSE(now.contains("url"));

    // The page now says so, escaped, and cannot link a second time.
    Answer again = get(url.substr(origin.size()));
    EXPECT_NE(again.body.find("Ann &lt;b&gt;x&lt;/b&gt;"), std::string::npos);
    EXPECT_EQ(call("POST", "/link", "token=" + token_value + "&name=Eve", "", "application/x-www-form-urlencoded").status, 409);
    EXPECT_EQ(get("/api/vimoexe/login?id=1056964608:0:1065353216").parsed()["user"]["twitch"]["name"], "Ann <b>x</b>");

    // Bad input is refused and creates nothing.
    EXPECT_EQ(get("/link?token=feedface").status, 404);
    EXPECT_EQ(call("POST", "/link", "token=feedface&name=Eve", "", "application/x-www-form-urlencoded").status, 404);
    EXPECT_EQ(call("POST", "/link", "token=" + token_value + "&name=%20%20", "", "application/x-www-form-urlencoded").status, 400);
    EXPECT_EQ(get("/api/vimoexe/login").status, 400);
    EXPECT_EQ(get("/api/vimoexe/login?id=").status, 400);
    EXPECT_EQ(get("/api/vimoexe/login?id=a%20b").status, 400);
    EXPECT_EQ(get("/api/vimoexe/login?id=" + std::string(129, '1')).status, 400);
}

TEST_F(ServiceTest, AskingAboutUnknownIdsStoresNothing) {
    std::map<std::string, std::string> urls;
    for (int i = 0; i < 200; ++i) {
        std::string id = std::to_string(i) + ":0:" + std::to_string(i * 7);
        json ask = get("/api/vimoexe/login?id=" + id).parsed();
        EXPECT_EQ(ask["status"], false);
        urls[id] = ask["url"].get<std::string>();
    }
    EXPECT_EQ(db_number("SELECT COUNT(*) FROM installs"), 0);
    EXPECT_EQ(db_number("SELECT COUNT(*) FROM accounts"), 0);
    std::set<std::string> distinct;
    for (auto& [id, url] : urls) distinct.insert(url);
    EXPECT_EQ(distinct.size(), urls.size());

    // A token is good for its own id only: another id under the same code, a changed
    // code and a token of another database are refused.
    std::string tok = urls["5:0:35"].substr(urls["5:0:35"].find("token=") + 6);
    std::string other = tok.substr(0, 32) + "363a303a3336";  // "6:0:36" in hex
    std::string flipped = std::string(tok[0] == '0' ? "1" : "0") + tok.substr(1);
    for (const std::string& bad : {other, flipped, tok.substr(0, 32), tok + "00"}) {
        EXPECT_EQ(get("/link?token=" + bad).status, 404) << bad;
        EXPECT_EQ(call("POST", "/link", "token=" + bad + "&name=Eve", "", "application/x-www-form-urlencoded").status, 404);
    }
    EXPECT_EQ(db_number("SELECT COUNT(*) FROM installs"), 0);

    // Restarted, the same id gets the same page, and submitting it makes the one row.
    restart();
    std::string again = get("/api/vimoexe/login?id=5:0:35").parsed()["url"];
    EXPECT_EQ(again.substr(again.find("token=") + 6), tok);
    EXPECT_EQ(link("5:0:35", "Only"), "1");
    EXPECT_EQ(db_number("SELECT COUNT(*) FROM installs"), 1);
    EXPECT_NE(get("/link?token=" + tok).body.find("Only"), std::string::npos);
}

TEST_F(ServiceTest, ChatPagesAreNewestMessagesOldestFirstWithStableIds) {
    EXPECT_EQ(chat(8), json::array());  // never invents messages
    std::vector<std::string> ids;
    const char* platforms[] = {"twitch", "discord", "web", "matrix", "corvane"};
    for (int i = 0; i < 10; ++i)
        ids.push_back(ingest(platforms[i % 5], std::to_string(100 + i), "user" + std::to_string(i), "text " + std::to_string(i)));
    for (size_t i = 1; i < ids.size(); ++i) EXPECT_NE(ids[i], ids[i - 1]);

    json one = chat(1);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0]["message"], ids[9]);
    json four = chat(4);
    ASSERT_EQ(four.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        const json& m = four[i];
        EXPECT_TRUE(m["message"].is_string());
        EXPECT_EQ(m["message"], ids[6 + i]);  // oldest first: element N-1 is the newest
        EXPECT_EQ(m["text"], "text " + std::to_string(6 + i));
        ASSERT_TRUE(m["chatter"].is_object());
        EXPECT_EQ(m["chatter"].size(), 1u);
    }
    EXPECT_EQ(four[3]["chatter"], json({{"corvane", "user9"}}));  // the name itself
    EXPECT_EQ(four[2]["chatter"], json({{"matrix", "108"}}));
    json all = chat(100);
    EXPECT_EQ(all.size(), 10u);
    EXPECT_EQ(chat(8)[7]["message"], ids[9]);  // values do not move when more is asked

    for (const char* bad : {"0", "101", "-1", "abc", "", "1.5", "8&count=2", "99999999999"})
        EXPECT_EQ(get(std::string("/api/chat?count=") + bad).status, 400) << bad;
    EXPECT_EQ(get("/api/chat").status, 400);
}

TEST_F(ServiceTest, NameLookupForEveryIdPlatform) {
    for (const char* p : {"twitch", "discord", "web", "matrix"}) {
        ingest(p, "77", std::string("name-") + p, "hello");
        Answer a = get(std::string("/api/user?select=") + p + ".name&where=" + p + ".id=77");
        ASSERT_EQ(a.status, 200) << p;
        json j = a.parsed();
        EXPECT_EQ(j[0][p]["name"], std::string("name-") + p);
    }
    ingest("twitch", "77", "renamed", "again");  // the latest name wins
    EXPECT_EQ(get("/api/user?select=twitch.name&where=twitch.id=77").parsed()[0]["twitch"]["name"], "renamed");
    EXPECT_EQ(get("/api/user?select=twitch.name&where=twitch.id=78").status, 404);
    EXPECT_EQ(get("/api/user?select=corvane.name&where=corvane.id=x").status, 400);
    EXPECT_EQ(get("/api/user?select=twitch.name&where=discord.id=77").status, 400);
    EXPECT_EQ(get("/api/user?select=twitch.id&where=twitch.id=77").status, 400);
    EXPECT_EQ(get("/api/user?where=twitch.id=77").status, 400);
}

TEST_F(ServiceTest, PostFromLinkedIdBecomesAChatMessage) {
    std::string account = link("1:2:3", "Poster");
    ingest("discord", "5", "d", "before");
    Answer post = call("POST", "/api/vimoexe/chat?id=1:2:3&content=hi%20there%20%C3%A9%2B1");
    ASSERT_EQ(post.status, 200);
    json page = chat(2);
    EXPECT_EQ(post.body, page[1]["message"].get<std::string>());  // the body is the new "message" value
    EXPECT_EQ(json(post.body), page[1]["message"]);              // as the companion stores and compares it
    EXPECT_EQ(page[1]["text"], "hi there \xC3\xA9+1");
    EXPECT_EQ(page[1]["chatter"], json({{"web", account}}));
    EXPECT_EQ(get("/api/user?select=web.name&where=web.id=" + account).parsed()[0]["web"]["name"], "Poster");

    // Refused: unlinked or unknown id, missing/blank/oversized/invalid content. Nothing is stored.
    get("/api/vimoexe/login?id=9:9:9");  // known but not linked
    EXPECT_EQ(call("POST", "/api/vimoexe/chat?id=9:9:9&content=x").status, 403);
    EXPECT_EQ(call("POST", "/api/vimoexe/chat?id=4:4:4&content=x").status, 403);
    EXPECT_EQ(call("POST", "/api/vimoexe/chat?id=1:2:3").status, 400);
    EXPECT_EQ(call("POST", "/api/vimoexe/chat?id=1:2:3&content=").status, 400);
    EXPECT_EQ(call("POST", "/api/vimoexe/chat?id=1:2:3&content=%20%20").status, 400);
    EXPECT_EQ(call("POST", "/api/vimoexe/chat?id=1:2:3&content=" + std::string(501, 'a')).status, 400);
    EXPECT_EQ(call("POST", "/api/vimoexe/chat?id=1:2:3&content=%FF%FE").status, 400);
    EXPECT_EQ(call("POST", "/api/vimoexe/chat?id=1:2:3&content=a%0Ab").status, 400);
    EXPECT_EQ(call("POST", "/api/vimoexe/chat?id=1:2:3&content=%G1").status, 400);
    EXPECT_EQ(call("POST", "/api/vimoexe/chat?id=1:2:3&content=%4").status, 400);
    EXPECT_EQ(call("POST", "/api/vimoexe/chat?content=x").status, 400);
    EXPECT_EQ(chat(100).size(), 2u);
}

TEST_F(ServiceTest, StreamerCallsRefuseAWrongTokenAndBadInput) {
    json live = {{"handles", {"quelmara"}}};
    for (const char* path : {"/api/ingest", "/api/admin/live", "/api/admin/blog", "/api/admin/bsky"}) {
        EXPECT_EQ(call("POST", path, live.dump()).status, 401) << path;
        EXPECT_EQ(call("POST", path, live.dump(), std::string(32, '0')).status, 401) << path;
        EXPECT_EQ(call("POST", path, live.dump(), token.substr(0, 31)).status, 401) << path;
        EXPECT_EQ(call("POST", path, "{not json", token).status, 400) << path;
    }
    EXPECT_EQ(call("POST", "/admin/live", "token=wrong&handles=quelmara", "", "application/x-www-form-urlencoded").status, 401);
    EXPECT_EQ(get("/api/ferncircle").parsed(), json::array());

    EXPECT_EQ(admin("/api/ingest", {{"platform", "irc"}, {"sender_id", "1"}, {"sender_name", "a"}, {"text", "x"}}).status, 400);
    EXPECT_EQ(admin("/api/ingest", {{"platform", "twitch"}, {"sender_id", "a&b"}, {"sender_name", "a"}, {"text", "x"}}).status, 400);
    EXPECT_EQ(admin("/api/ingest", {{"platform", "twitch"}, {"sender_id", "1"}, {"sender_name", ""}, {"text", "x"}}).status, 400);
    EXPECT_EQ(admin("/api/ingest", {{"platform", "twitch"}, {"sender_id", "1"}, {"sender_name", "a"}, {"text", 5}}).status, 400);
    EXPECT_EQ(admin("/api/admin/live", {{"handles", {"ok", "not ok"}}}).status, 400);
    EXPECT_EQ(admin("/api/admin/live", json::array()).status, 400);
    EXPECT_EQ(admin("/api/admin/blog", {{"title", "t"}, {"link", "javascript:alert(1)"}}).status, 400);
    EXPECT_EQ(call("POST", "/api/ingest", std::string(SERVICE_MAX_BODY_BYTES + 1, ' '), token).status, 413);
    EXPECT_EQ(chat(100), json::array());
    EXPECT_EQ(get("/api/ferncircle").parsed(), json::array());
}

TEST_F(ServiceTest, LiveListBlogFeedAndBlueskyStandIn) {
    EXPECT_EQ(admin("/api/admin/live", {{"handles", {"quelmara", "fern_b"}}}).status, 200);
    EXPECT_EQ(get("/api/ferncircle").parsed(), json({"quelmara", "fern_b"}));
    EXPECT_EQ(admin("/api/admin/live", {{"handles", json::array()}}).status, 200);
    EXPECT_EQ(get("/api/ferncircle").parsed(), json::array());

    std::string g1 = admin("/api/admin/blog", {{"title", "First & <best>"}}).parsed()["guid"];
    std::string g2 = admin("/api/admin/blog", {{"title", "Second"}, {"link", "https://example.org/2"}}).parsed()["guid"];
    Answer feed = get("/data/blog.xml");
    ASSERT_EQ(feed.status, 200);
    EXPECT_NE(feed.type.find("xml"), std::string::npos);
    // Read the way the companion does: the texts between "<guid>" and "</guid>".
    std::vector<std::string> guids;
    for (size_t p = feed.body.find("<guid>"); p != std::string::npos; p = feed.body.find("<guid>", p + 6))
        guids.push_back(feed.body.substr(p + 6, feed.body.find("</guid>", p) - p - 6));
    EXPECT_EQ(guids, (std::vector<std::string>{g2, g1}));
    EXPECT_NE(feed.body.find("First &amp; &lt;best&gt;"), std::string::npos);

    std::string path = "/xrpc/app.bsky.feed.getAuthorFeed?actor=" + std::string(VIMO_DEFAULT_BLUESKY_ACTOR) + "&limit=1";
    EXPECT_EQ(get(path).parsed(), json({{"feed", json::array()}}));
    std::string t1 = admin("/api/admin/bsky", {{"text", "one"}}).parsed()["createdAt"];
    std::string t2 = admin("/api/admin/bsky", {{"text", "two"}}).parsed()["createdAt"];
    EXPECT_LT(t1, t2);  // never equal, even within one millisecond
    json newest = get(path).parsed();
    ASSERT_EQ(newest["feed"].size(), 1u);
    EXPECT_EQ(newest["feed"][0]["post"]["record"]["createdAt"], t2);
    EXPECT_EQ(newest["feed"][0]["post"]["record"]["text"], "two");
    EXPECT_EQ(get("/xrpc/app.bsky.feed.getAuthorFeed?actor=someone.else&limit=1").parsed()["feed"], json::array());
    EXPECT_EQ(get("/xrpc/app.bsky.feed.getAuthorFeed?limit=1").status, 400);
    EXPECT_EQ(get(path.substr(0, path.size() - 1) + "0").status, 400);
}

TEST_F(ServiceTest, TypedTextIsEscapedOnEveryPage) {
    const std::string evil = "<script>alert('x')</script>\"&";
    const std::string escaped = "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&quot;&amp;";
    auto form = [&](const std::string& path, const std::string& fields) {
        return call("POST", path, "token=" + token + "&" + fields, "", "application/x-www-form-urlencoded");
    };
    std::string enc = "%3Cscript%3Ealert(%27x%27)%3C%2Fscript%3E%22%26";
    Answer chat_ok = form("/admin/chat", "platform=twitch&sender_id=1&sender_name=" + enc + "&text=" + enc);
    EXPECT_EQ(chat_ok.status, 200);
    EXPECT_EQ(chat(1)[0]["text"], evil);  // stored as typed
    Answer blog_ok = form("/admin/blog", "title=" + enc + "&description=" + enc);
    Answer refused = form("/admin/live", "handles=" + enc);
    Answer post_ok = form("/admin/bsky", "text=" + enc);
    for (const Answer* a : {&chat_ok, &blog_ok, &refused, &post_ok}) {
        EXPECT_EQ(a->body.find("<script>"), std::string::npos) << a->body;
        EXPECT_NE(a->type.find("text/html"), std::string::npos);
    }
    EXPECT_EQ(refused.status, 400);
    EXPECT_NE(post_ok.body.find("&lt;script&gt;"), std::string::npos);
    EXPECT_EQ(get("/data/blog.xml").body.find("<script>"), std::string::npos);
    link("5:5:5", enc);
    Answer page = get("/link?token=" + [&] {
        std::string url = get("/api/vimoexe/login?id=6:6:6").parsed()["url"];
        return url.substr(url.find("token=") + 6);
    }());
    EXPECT_EQ(page.body.find("<script>"), std::string::npos);
    for (const char* p : {"/", "/admin", "/channel/quelmara", "/channel/%3Cscript%3E"})
        EXPECT_EQ(get(p).body.find("<script>"), std::string::npos) << p;
}

TEST_F(ServiceTest, DataSurvivesARestart) {
    std::string m1 = ingest("twitch", "42", "Ann", "kept");
    std::string account = link("7:7:7", "Keeper");
    std::string m2 = call("POST", "/api/vimoexe/chat?id=7:7:7&content=mine").body;
    admin("/api/admin/live", {{"handles", {"quelmara"}}});
    std::string guid = admin("/api/admin/blog", {{"title", "Kept"}}).parsed()["guid"];
    std::string date = admin("/api/admin/bsky", {{"text", "kept"}}).parsed()["createdAt"];
    json before = chat(8);

    restart();
    bool created = true;
    EXPECT_EQ(service_admin_token(*service, &created), "");  // not kept, not shown again; still accepted below
    EXPECT_FALSE(created);
    EXPECT_EQ(chat(8), before);
    EXPECT_EQ(before[0]["message"], m1);
    EXPECT_EQ(before[1]["message"], m2);
    json login = get("/api/vimoexe/login?id=7:7:7").parsed();
    EXPECT_EQ(login["user"]["twitch"]["name"], "Keeper");
    EXPECT_EQ(get("/api/ferncircle").parsed(), json({"quelmara"}));
    EXPECT_NE(get("/data/blog.xml").body.find("<guid>" + guid + "</guid>"), std::string::npos);
    // New values keep counting on: nothing after the restart repeats an old one.
    std::string m3 = ingest("twitch", "42", "Ann", "new");
    EXPECT_NE(m3, m1);
    EXPECT_NE(m3, m2);
    std::string date2 = admin("/api/admin/bsky", {{"text", "later"}}).parsed()["createdAt"];
    EXPECT_LT(date, date2);
}

}  // namespace

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

TEST_F(ServiceTest, InstallationsAskedBeforeDerivedTokensKeepTheirPage) {
    stop();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir + "/service.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "INSERT INTO installs(login_id, link_token, created_at) VALUES"
                               "('8:8:8', 'feedfacefeedfacefeedfacefeedface', '2026-01-01T00:00:00.000Z')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    start();
    std::string url = get("/api/vimoexe/login?id=8:8:8").parsed()["url"];
    EXPECT_EQ(url.substr(url.find("token=") + 6), "feedfacefeedfacefeedfacefeedface");
    EXPECT_EQ(get("/link?token=feedfacefeedfacefeedfacefeedface").status, 200);
    std::string account = link("8:8:8", "Old");
    EXPECT_EQ(get("/api/vimoexe/login?id=8:8:8").parsed()["user"]["twitch"]["name"], "Old");
    EXPECT_EQ(call("POST", "/api/vimoexe/chat?id=8:8:8&content=hi").status, 200);
    EXPECT_EQ(db_number("SELECT COUNT(*) FROM installs"), 1);
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
