// The sign-in tests' fixture: a real OAuth 2.0 provider on loopback
// (tools/oauth-mock/provider.mjs) started per test, and a browser that keeps
// the service's one cookie, so each flow is followed as a person's browser would.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "bridge_test_util.h"
#include "service_fixture.h"

namespace signin_test {

using namespace service_test;
using namespace bridge_test;

// "http://127.0.0.1:PORT/path?query" into its port and target.
inline bool split_url(const std::string& url, int* port, std::string* target) {
    const std::string head = "http://127.0.0.1:";
    if (url.rfind(head, 0) != 0) return false;
    size_t slash = url.find('/', head.size());
    *port = std::stoi(url.substr(head.size(), slash - head.size()));
    *target = slash == std::string::npos ? "/" : url.substr(slash);
    return true;
}

inline std::string query_value(const std::string& url, const std::string& key) {
    size_t at = url.find("?" + key + "=");
    if (at == std::string::npos) at = url.find("&" + key + "=");
    if (at == std::string::npos) return "";
    size_t start = at + key.size() + 2, end = url.find('&', start);
    return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// One browser: requests to any loopback origin, the service's sign-in cookie kept.
// Its forms are on a page of the site they post to (the link page, the
// provider's consent page), so a POST says so as a browser does.
struct Browser {
    std::string cookie;  // "name=value" as last set
    Answer request(const std::string& method, const std::string& url, const std::string& form = "") {
        int port = 0;
        std::string target;
        Answer a;
        if (!split_url(url, &port, &target)) return a;
        httplib::Client c("127.0.0.1", port);
        httplib::Headers h;
        if (!cookie.empty()) h.emplace("Cookie", cookie);
        if (method == "POST") {
            h.emplace("Sec-Fetch-Site", "same-origin");
            h.emplace("Origin", "http://127.0.0.1:" + std::to_string(port));
        }
        auto r = method == "GET" ? c.Get(target, h) : c.Post(target, h, form, "application/x-www-form-urlencoded");
        if (!r) return a;
        a.status = r->status;
        a.body = r->body;
        a.headers = r->headers;
        std::string set = r->get_header_value("Set-Cookie");
        if (!set.empty()) cookie = set.substr(0, set.find(';'));
        return a;
    }
};

class SigninTest : public ServiceTest {
protected:
    // The provider of platform as a child on a free loopback port; its base URL.
    std::string start_provider(const std::string& platform, const json& users, const std::string& secret = "s3cret") {
        auto child = std::make_unique<Child>(std::vector<std::string>{
            VIMO_NODE, VIMO_OAUTH_PROVIDER, "--platform", platform, "--client-id", platform + "-app",
            "--client-secret", secret, "--users", users.dump()});
        std::string line;
        if (!child->read_line(&line, 30) || line.rfind("listening ", 0) != 0) return "";
        providers.push_back(std::move(child));
        return "http://127.0.0.1:" + line.substr(10);
    }
    // Restarts the service signing in with the providers at these bases ("" leaves one out).
    void use_providers(const std::string& twitch, const std::string& discord, const std::string& secret = "s3cret") {
        options.signin.twitch_client_id = twitch.empty() ? "" : "twitch-app";
        options.signin.twitch_secret = secret;
        options.signin.twitch_id_base = twitch;
        options.signin.discord_client_id = discord.empty() ? "" : "discord-app";
        options.signin.discord_secret = secret;
        options.signin.discord_base = discord;
        restart();
    }
    std::string origin() { return "http://127.0.0.1:" + std::to_string(port); }
    std::string link_token(const std::string& login_id) {
        std::string url = get("/api/vimoexe/login?id=" + login_id).parsed()["url"];
        return url.substr(url.find("token=") + 6);
    }
    // From the link page to the provider's consent page; the authorize address it opened.
    std::string start(Browser& b, const std::string& platform, const std::string& token) {
        Answer page = b.request("GET", origin() + "/link?token=" + token);
        EXPECT_NE(page.body.find("action=\"/auth/" + platform + "\""), std::string::npos) << page.body;
        Answer go = b.request("POST", origin() + "/auth/" + platform, "token=" + token);
        EXPECT_EQ(go.status, 303) << go.body;
        std::string authorize = go.header("Location");
        Answer consent = b.request("GET", authorize);
        EXPECT_EQ(consent.status, 200) << consent.body;
        EXPECT_NE(consent.body.find("Authorize"), std::string::npos);
        return authorize;
    }
    // The person answers the consent page; the callback address the provider sends the browser to.
    std::string consent(Browser& b, const std::string& authorize, const std::string& decision, const std::string& login) {
        std::string form = authorize.substr(authorize.find('?') + 1) + "&login=" + login + "&decision=" + decision;
        Answer back = b.request("POST", authorize.substr(0, authorize.find('?')), form);
        EXPECT_EQ(back.status, 302) << back.body;
        return back.header("Location");
    }
    // The whole sign-in of login_id as the provider's login; the service's last page.
    Answer sign_in(Browser& b, const std::string& platform, const std::string& login_id, const std::string& login) {
        std::string callback = consent(b, start(b, platform, link_token(login_id)), "allow", login);
        last_callback = callback;
        return b.request("GET", callback);
    }
    json login(const std::string& login_id) { return get("/api/vimoexe/login?id=" + login_id).parsed(); }
    void db_exec(const std::string& sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((dir + "/service.db").c_str(), &db), SQLITE_OK);
        sqlite3_busy_timeout(db, 2000);
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
    int64_t stored_people() {
        return db_number("SELECT (SELECT COUNT(*) FROM accounts) + (SELECT COUNT(*) FROM installs) + "
                         "(SELECT COUNT(*) FROM identities)");
    }

    std::vector<std::unique_ptr<Child>> providers;  // killed when the test ends
    std::string last_callback;
};

inline const json TWITCH_USERS = {{"fan", {{"id", "1001"}, {"name", "Streamfan"}}},
                           {"fan_renamed", {{"id", "1001"}, {"name", "StreamfanTwo"}}}};
inline const json DISCORD_USERS = {{"ann", {{"id", "80351110224678912"}, {"name", "Ann Élise"}, {"username", "ann"}}},
                            {"plain", {{"id", "80351110224678913"}, {"name", nullptr}, {"username", "plainuser"}}}};

}  // namespace signin_test
