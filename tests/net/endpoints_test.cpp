// Every outside address, from the compiled defaults and from configured origins.
#include <gtest/gtest.h>

#include "net/endpoints.h"

using nlohmann::json;

TEST(Endpoints, DefaultsPointAtTheLocalService) {
    endpoints_reset();
    EXPECT_EQ(endpoint_service_origin(), "http://127.0.0.1:" + std::to_string(VIMO_SERVICE_DEFAULT_PORT));
    EXPECT_EQ(endpoint_login("1056964608:0:1065353216"),
              "http://127.0.0.1:8787/api/vimoexe/login?id=1056964608:0:1065353216");
    EXPECT_EQ(endpoint_chat_page(1), "http://127.0.0.1:8787/api/chat?count=1");
    EXPECT_EQ(endpoint_chat_page(8), "http://127.0.0.1:8787/api/chat?count=8");
    EXPECT_EQ(endpoint_user_lookup("twitch", "12345"),
              "http://127.0.0.1:8787/api/user?select=twitch.name&where=twitch.id=12345");
    EXPECT_EQ(endpoint_commune_post("1:2:3", "hi there&x=y"),
              "http://127.0.0.1:8787/api/vimoexe/chat?id=1:2:3&content=hi%20there%26x%3Dy");
    EXPECT_EQ(endpoint_live_list(), "http://127.0.0.1:8787/api/ferncircle");
    EXPECT_EQ(endpoint_blog_feed(), "http://127.0.0.1:8787/data/blog.xml");
    EXPECT_EQ(endpoint_bluesky_feed(),
              "http://127.0.0.1:8787/xrpc/app.bsky.feed.getAuthorFeed?actor=quelmara.bsky.social&limit=1");
    EXPECT_EQ(endpoint_channel_page("quelmara"), "http://127.0.0.1:8787/channel/quelmara");
}

TEST(Endpoints, ConfiguredOriginsReplaceTheDefaults) {
    endpoints_configure(json{{"service_origin", "https://vimo.example.org/"},
                             {"bluesky_origin", "https://public.api.bsky.app"},
                             {"bluesky_actor", "maker.bsky.social"},
                             {"channel_page", "https://stream.example.org/"},
                             {"login_id", "1:2:3"}});
    EXPECT_EQ(endpoint_login("1:2:3"), "https://vimo.example.org/api/vimoexe/login?id=1:2:3");
    EXPECT_EQ(endpoint_bluesky_feed(),
              "https://public.api.bsky.app/xrpc/app.bsky.feed.getAuthorFeed?actor=maker.bsky.social&limit=1");
    EXPECT_EQ(endpoint_channel_page("m"), "https://stream.example.org/m");
    endpoints_reset();
}

TEST(Endpoints, UnusableValuesKeepTheDefaults) {
    for (json bad : {json{{"service_origin", "file:///etc"}}, json{{"service_origin", 5}},
                     json{{"service_origin", "http://a b"}}, json{{"service_origin", "http://"}}}) {
        endpoints_configure(bad);
        EXPECT_EQ(endpoint_service_origin(), VIMO_DEFAULT_SERVICE_ORIGIN) << bad.dump();
    }
    endpoints_configure(json{{"bluesky_actor", "a&limit=100"}, {"channel_page", "javascript:x"}});
    EXPECT_EQ(endpoint_bluesky_feed(),
              std::string(VIMO_DEFAULT_BLUESKY_ORIGIN) + "/xrpc/app.bsky.feed.getAuthorFeed?actor=" +
                  VIMO_DEFAULT_BLUESKY_ACTOR + "&limit=1");
    EXPECT_EQ(endpoint_channel_page("h"), std::string(VIMO_DEFAULT_CHANNEL_PAGE) + "h");
    endpoints_configure(json(nullptr));  // a null configuration is just "no keys"
    EXPECT_EQ(endpoint_service_origin(), VIMO_DEFAULT_SERVICE_ORIGIN);
}
