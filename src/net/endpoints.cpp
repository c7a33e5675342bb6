// The addresses of the outside calls, built from the configured origins.
#include "net/endpoints.h"

#include <mutex>

#include "net/net.h"

namespace {

// Guarded by settings_mutex: written by endpoints_configure (main thread), read by
// any thread that builds an address.
std::mutex settings_mutex;
std::string service_origin = VIMO_DEFAULT_SERVICE_ORIGIN;
std::string bluesky_origin = VIMO_DEFAULT_BLUESKY_ORIGIN;
std::string bluesky_actor = VIMO_DEFAULT_BLUESKY_ACTOR;
std::string channel_page = VIMO_DEFAULT_CHANNEL_PAGE;

bool is_web_address(const std::string& s) {
    if (s.rfind("http://", 0) != 0 && s.rfind("https://", 0) != 0) return false;
    for (unsigned char c : s)
        if (c <= ' ' || c == 0x7f) return false;
    return s.size() > 8;
}

// Handles ("name.bsky.social") and DIDs ("did:plc:abc") only: it goes into a query unencoded.
bool is_actor(const std::string& s) {
    if (s.empty() || s.size() > 253) return false;
    for (char c : s) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '-' || c == '_' || c == ':';
        if (!ok) return false;
    }
    return true;
}

// config[key] when it is a string that passes valid; otherwise fallback. A present
// but unusable value is reported, a missing one is not.
std::string pick(const nlohmann::json& config, const char* key, bool (*valid)(const std::string&),
                 const std::string& fallback) {
    if (!config.is_object() || !config.contains(key)) return fallback;
    const nlohmann::json& v = config[key];
    if (v.is_string() && valid(v.get<std::string>())) return v.get<std::string>();
    net_log(std::string("config ") + key + " ignored: " +
            net_cut(v.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)));
    return fallback;
}

std::string strip_slashes(std::string s) {
    while (!s.empty() && s.back() == '/') s.pop_back();
    return s;
}

std::string service() {
    std::lock_guard<std::mutex> lock(settings_mutex);
    return service_origin;
}

}  // namespace

void endpoints_configure(const nlohmann::json& config) {
    std::string s = strip_slashes(pick(config, "service_origin", is_web_address, VIMO_DEFAULT_SERVICE_ORIGIN));
    std::string b = strip_slashes(pick(config, "bluesky_origin", is_web_address, VIMO_DEFAULT_BLUESKY_ORIGIN));
    std::string a = pick(config, "bluesky_actor", is_actor, VIMO_DEFAULT_BLUESKY_ACTOR);
    std::string c = pick(config, "channel_page", is_web_address, VIMO_DEFAULT_CHANNEL_PAGE);
    std::lock_guard<std::mutex> lock(settings_mutex);
    service_origin = s;
    bluesky_origin = b;
    bluesky_actor = a;
    channel_page = c;
}

void endpoints_reset() { endpoints_configure(nlohmann::json::object()); }

std::string endpoint_service_origin() { return service(); }

std::string endpoint_login(const std::string& login_id) { return service() + "/api/vimoexe/login?id=" + login_id; }

std::string endpoint_chat_page(int count) { return service() + "/api/chat?count=" + std::to_string(count); }

std::string endpoint_user_lookup(const std::string& platform, const std::string& id) {
    return service() + "/api/user?select=" + platform + ".name&where=" + platform + ".id=" + id;
}

std::string endpoint_commune_post(const std::string& login_id, const std::string& content) {
    return service() + "/api/vimoexe/chat?id=" + login_id + "&content=" + url_encode(content);
}

std::string endpoint_wake() { return service() + "/api/wake"; }

std::string endpoint_live_list() { return service() + "/api/ferncircle"; }

std::string endpoint_blog_feed() { return service() + "/data/blog.xml"; }

std::string endpoint_bluesky_feed() {
    std::lock_guard<std::mutex> lock(settings_mutex);
    return bluesky_origin + "/xrpc/app.bsky.feed.getAuthorFeed?actor=" + bluesky_actor + "&limit=1";
}

std::string endpoint_channel_page(const std::string& handle) {
    std::lock_guard<std::mutex> lock(settings_mutex);
    return channel_page + handle;
}
