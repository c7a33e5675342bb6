// Addresses of every outside call the companion makes: the community service,
// the Bluesky public API and the streaming platform's channel page. The origins
// and the Bluesky author come from optional "config.json" keys ("service_origin",
// "bluesky_origin", "bluesky_actor", "channel_page"); without them the compiled
// defaults point at the community service on this machine (vimo-service).
//
// Threads: endpoints_configure runs on the main thread after the configuration
// is loaded; the address functions may be called from any thread (the settings
// are guarded by a mutex inside endpoints.cpp).
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// Port the community service listens on by default; the companion's default origin uses it.
inline constexpr int VIMO_SERVICE_DEFAULT_PORT = 8787;
inline constexpr const char* VIMO_DEFAULT_SERVICE_ORIGIN = "http://127.0.0.1:8787";
inline constexpr const char* VIMO_DEFAULT_BLUESKY_ORIGIN = "http://127.0.0.1:8787";  // the service's stand-in
inline constexpr const char* VIMO_DEFAULT_BLUESKY_ACTOR = "quelmara.bsky.social";
inline constexpr const char* VIMO_DEFAULT_CHANNEL_PAGE = "http://127.0.0.1:8787/channel/";

// Take the origins from config (a JSON object; missing, non-string or non-http(s)
// values keep the defaults, with a line on standard output for rejected ones).
void endpoints_configure(const nlohmann::json& config);
// Back to the compiled defaults.
void endpoints_reset();

std::string endpoint_service_origin();                       // scheme://host[:port], no trailing slash
std::string endpoint_login(const std::string& login_id);     // GET  .../api/vimoexe/login?id=<id, unencoded>
std::string endpoint_chat_page(int count);                   // GET  .../api/chat?count=<count>
// GET .../api/user?select=<platform>.name&where=<platform>.id=<id> (both inserted unencoded)
std::string endpoint_user_lookup(const std::string& platform, const std::string& id);
// POST .../api/vimoexe/chat?id=<id, unencoded>&content=<url_encode(content)>
std::string endpoint_commune_post(const std::string& login_id, const std::string& content);
// GET .../api/wake: held by the service until a new chat message exists (the wake-up channel)
std::string endpoint_wake();
std::string endpoint_live_list();                            // GET  .../api/ferncircle
std::string endpoint_blog_feed();                            // GET  .../data/blog.xml
std::string endpoint_bluesky_feed();                         // GET  <bluesky>/xrpc/app.bsky.feed.getAuthorFeed?actor=<actor>&limit=1
std::string endpoint_channel_page(const std::string& handle);  // browser: <channel page> + handle, unencoded
