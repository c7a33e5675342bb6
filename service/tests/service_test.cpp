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
