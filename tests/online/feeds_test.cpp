// The Bluesky and blog checks: reported on standard output, only on change.
#include "online_fixture.h"

namespace {

std::string bsky(const std::string& date) {
    return json({{"feed", json::array({{{"post", {{"record", {{"createdAt", date}, {"text", "hi"}}}}}}})}}).dump();
}

class FeedsTest : public OnlineScene {
protected:
    std::string run(void (*inner)(std::string), const std::string& body) {
        testing::internal::CaptureStdout();
        inner(body);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(FeedsTest, BlueskyReportsANewPostOnlyWhenTheDateChanges) {
    ScriptedServer service;
    std::string body = bsky("2025-01-01T10:00:00Z");
    service.http.Get("/xrpc/app.bsky.feed.getAuthorFeed", [&](const scripted::Request&, scripted::Response& res) {
        std::lock_guard<std::mutex> lock(service.m);
        res.set_content(body, "application/json");
    });
    use(service.origin());

    testing::internal::CaptureStdout();
    fetchBsky();
    ASSERT_TRUE(fetch_wait_idle(15000));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("/xrpc/app.bsky.feed.getAuthorFeed?actor=quelmara.bsky.social&limit=1"), std::string::npos);
    EXPECT_NE(out.find("bsky result: " + body + "\n"), std::string::npos);
    EXPECT_EQ(out.find("new post!"), std::string::npos);
    EXPECT_EQ(previousBskyDate, "2025-01-01T10:00:00Z");

    EXPECT_EQ(run(fetchBsky_inner, body), "bsky result: " + body + "\n");
    out = run(fetchBsky_inner, bsky("2025-01-02T08:00:00Z"));
    EXPECT_NE(out.find("new post!"), std::string::npos);
    EXPECT_EQ(previousBskyDate, "2025-01-02T08:00:00Z");

    // Shapes that say nothing leave the date alone, silently.
    for (const char* bad : {R"({"feed":[]})", "null", "not json", R"({"feed":[{"post":{"record":{"createdAt":5}}}]})",
                            R"({"feed":{"0":1}})", "[1]"}) {
        out = run(fetchBsky_inner, bad);
        EXPECT_EQ(out, std::string("bsky result: ") + bad + "\n");
        EXPECT_EQ(previousBskyDate, "2025-01-02T08:00:00Z");
    }
    EXPECT_EQ(run(fetchBsky_inner, ""), "");
}

TEST_F(FeedsTest, BlogGuidsAreReportedWhenTheirCountChanges) {
    ScriptedServer service;
    std::string feed = "<rss><item><guid>g1</guid></item><item><guid>g2</guid></item><item><guid>g3</guid></item></rss>";
    service.http.Get("/data/blog.xml", [&](const scripted::Request&, scripted::Response& res) {
        std::lock_guard<std::mutex> lock(service.m);
        res.set_content(feed, "application/rss+xml");
    });
    use(service.origin());

    testing::internal::CaptureStdout();
    fetchBlog();
    ASSERT_TRUE(fetch_wait_idle(15000));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("new blog: g1\nnew blog: g2\nnew blog: g3\n"), std::string::npos) << out;

    // g4 in front: one line. g4 added and g3 dropped: same count, nothing.
    EXPECT_EQ(run(fetchBlog_inner, "<guid>g4</guid><guid>g1</guid><guid>g2</guid><guid>g3</guid>"),
              "new blog: g4\n");
    EXPECT_EQ(run(fetchBlog_inner, "<guid>g5</guid><guid>g4</guid><guid>g1</guid><guid>g2</guid>"), "");
    EXPECT_EQ(blogs, (std::vector<std::string>{"g5", "g4", "g1", "g2"}));

    // An unclosed last guid runs to the end of the body.
    EXPECT_EQ(run(fetchBlog_inner, "<guid>a</guid><guid>tail of it"), "new blog: a\nnew blog: tail of it\n");

    // A body without guids empties the list; the next full feed is reported again.
    EXPECT_EQ(run(fetchBlog_inner, "<rss></rss>"), "");
    EXPECT_TRUE(blogs.empty());
    EXPECT_EQ(run(fetchBlog_inner, "<guid>a</guid>"), "new blog: a\n");
}

TEST_F(FeedsTest, ABlogOfUnclosedTagsIsBounded) {
    std::string body;
    for (int i = 0; i < 20000; i++) body += "<guid>";
    testing::internal::CaptureStdout();
    fetchBlog_inner(body);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(blogs.size(), 10000u);
    for (const std::string& guid : blogs) EXPECT_LE(guid.size(), 4096u);
}

}  // namespace
