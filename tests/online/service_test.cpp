// The online features against the project's own community service, run in
// this process on a free loopback port with a database in a temporary folder:
// real HTTP, real SQLite, the same routes the companion uses in the field.
#include <filesystem>

#include <httplib.h>

#include "online_fixture.h"
#include "service.h"

namespace {

// One service for each test, stopped and removed with it.
struct LocalService {
    std::filesystem::path dir;
    ServicePtr service;
    std::thread thread;
    std::string origin;
    std::string token;

    LocalService() {
        dir = std::filesystem::temp_directory_path() /
              ("vimo-online-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++));
        std::filesystem::create_directories(dir);
        ServiceOptions options;
        options.port = 0;
        options.db_path = (dir / "service.db").string();
        options.threads = 8;
        std::string error;
        service = service_create(options, &error);
        if (!service) throw std::runtime_error("service: " + error);
        bool created = false;
        token = service_admin_token(*service, &created);
        if (service_bind(*service) < 0) throw std::runtime_error("service: cannot bind");
        origin = service_origin(*service);
        thread = std::thread([this] { service_run(*service); });
        if (!service_wait_running(*service, 10000)) throw std::runtime_error("service: did not start");
    }
    ~LocalService() {
        service_stop(*service);
        thread.join();
        service_destroy(service);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    static int& counter() {
        static int n = 0;
        return n;
    }

    // The streamer's JSON calls, as a bridge or the admin page would make them.
    json admin(const std::string& path, const json& body) {
        httplib::Client client(origin);
        auto res = client.Post(path.c_str(), httplib::Headers{{"Authorization", "Bearer " + token}}, body.dump(),
                               "application/json");
        if (!res || res->status != 200) throw std::runtime_error("admin call failed: " + path);
        return json::parse(res->body);
    }
    json chat(const std::string& platform, const std::string& id, const std::string& name, const std::string& text) {
        return admin("/api/ingest", {{"platform", platform}, {"sender_id", id}, {"sender_name", name}, {"text", text}});
    }
    // What the user does on the page the login opened: give a display name.
    void authorise(const std::string& page, const std::string& name) {
        std::string token = page.substr(page.find("token=") + 6);
        httplib::Client client(origin);
        // From the link page itself, as the person's browser says (Sec-Fetch-Site).
        auto res = client.Post("/link", httplib::Headers{{"Sec-Fetch-Site", "same-origin"}},
                               "token=" + token + "&name=" + name, "application/x-www-form-urlencoded");
        if (!res || res->status != 200) throw std::runtime_error("linking failed");
    }
};

class ServiceTest : public OnlineScene {};

TEST_F(ServiceTest, LoginThroughTheBrowserThenCommuneAPost) {
    LocalService local;
    use(local.origin);

    // Unlinked: the page opens and the bubble asks for a click; clicking before
    // authorising fails.
    login_spawn();
    settle();
    ASSERT_EQ(OPENED.size(), 1u);
    EXPECT_EQ(OPENED[0].rfind(local.origin + "/link?token=", 0), 0u) << OPENED[0];
    ASSERT_NE(menu, nullptr);
    menu->onClick(menu, menu->position, MOUSE_BUTTON_LEFT);
    settle();
    EXPECT_EQ(lines(menu), std::vector<std::string>{"An error has occured. Try logging in again."});
    menu_destroy();

    // Start over, authorise on the page, click: greeted by name.
    login_spawn();
    settle();
    ASSERT_EQ(OPENED.size(), 2u);
    // The bubble's code is the one the opened page shows.
    std::vector<std::string> asked = lines(menu);
    ASSERT_EQ(asked.size(), 3u);
    ASSERT_EQ(asked[2].rfind("Your code: ", 0), 0u) << asked[2];
    std::string code = asked[2].substr(11);
    EXPECT_EQ(code.size(), 7u);
    auto page = httplib::Client(local.origin).Get(OPENED[1].substr(local.origin.size()).c_str());
    ASSERT_TRUE(page);
    EXPECT_NE(page->body.find("Is this the code your mascot shows?"), std::string::npos);
    EXPECT_NE(page->body.find("<b>" + code + "</b>"), std::string::npos) << page->body;
    local.authorise(OPENED[1], "Ana");
    menu->onClick(menu, menu->position, MOUSE_BUTTON_LEFT);
    settle();
    EXPECT_EQ(lines(menu), std::vector<std::string>{"Logged in as Ana!"});
    EXPECT_FALSE(USER.is_null());
    menu_destroy();

    // A later start asks once and is greeted straight away.
    USER = nullptr;
    login_spawn();
    settle();
    EXPECT_EQ(lines(menu), std::vector<std::string>{"Logged in as Ana!"});
    EXPECT_EQ(OPENED.size(), 2u);
    menu_destroy();

    // Commune: the post becomes a message of the account, and the poll treats
    // it as seen, so the user's own words do not come back as a box.
    local.chat("twitch", "12", "bo", "earlier");
    CONFIG["last_chat"] = "";
    EXPECT_TRUE(poll_chat());
    chat_take();
    Element* composer = vimo_hooks.commune_spawn();
    for (int cp : {int('h'), int('i'), int(' '), 0xE9, int('&'), int('=')}) commune_input(composer, cp, false, false);
    commune_input(composer, 0, true, false);
    settle();
    EXPECT_EQ(menu, nullptr);
    std::string posted = CONFIG["last_chat"].get<std::string>();
    httplib::Client client(local.origin);
    json newest = json::parse(client.Get("/api/chat?count=1")->body);
    EXPECT_EQ(newest[0]["message"], posted);
    EXPECT_EQ(newest[0]["text"], "hi \xC3\xA9&=");
    EXPECT_FALSE(poll_chat());
    EXPECT_TRUE(chat_to_spawn.empty());
}

TEST_F(ServiceTest, ChatFromThePlatformsBecomesBoxes) {
    LocalService local;
    use(local.origin);
    local.chat("twitch", "12", "ana", "first");
    local.chat("discord", "77", "dee", "second");
    local.chat("twitch", "12", "ana", "third");
    local.chat("corvane", "", "Corvo", "fourth");

    EXPECT_TRUE(poll_chat());
    EXPECT_EQ(chat_to_spawn,
              (std::vector<std::string>{"Corvo: fourth", "ana: third", "dee: second", "ana: first"}));
    EXPECT_EQ(ID_TO_NAME.size(), 0u);  // each name came with its message: no /api/user lookup
    EXPECT_FALSE(poll_chat());

    // The mascot's update drops the boxes onto the desktop.
    online_jobs.spawn_chat(chat_take()[0]);
    EXPECT_EQ(live_elements_with(chat_click).size(), 1u);

    local.chat("matrix", "m:example.org", "em", "fifth");
    EXPECT_TRUE(poll_chat());
    EXPECT_EQ(chat_to_spawn, (std::vector<std::string>{"em: fifth"}));
}

TEST_F(ServiceTest, LiveListBlueskyAndBlogFromTheStreamersPage) {
    LocalService local;
    use(local.origin);

    local.admin("/api/admin/live", {{"handles", {"quelmara", "fernwood"}}});
    fetchFern();
    ASSERT_TRUE(fetch_wait_idle(15000));
    EXPECT_EQ(live_take(), (std::vector<std::string>{"quelmara", "fernwood"}));
    live_spawn("quelmara");
    local.admin("/api/admin/live", {{"handles", json::array()}});
    fetchFern();
    ASSERT_TRUE(fetch_wait_idle(15000));
    EXPECT_FALSE(VIMO_LIVE);

    local.admin("/api/admin/bsky", {{"text", "hello"}});
    testing::internal::CaptureStdout();
    fetchBsky();
    ASSERT_TRUE(fetch_wait_idle(15000));
    std::string first_date = previousBskyDate;
    local.admin("/api/admin/bsky", {{"text", "again"}});
    fetchBsky();
    ASSERT_TRUE(fetch_wait_idle(15000));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(first_date.empty());
    EXPECT_NE(out.find("new post!"), std::string::npos) << out;

    std::string guid = local.admin("/api/admin/blog", {{"title", "News"}})["guid"];
    testing::internal::CaptureStdout();
    fetchBlog();
    ASSERT_TRUE(fetch_wait_idle(15000));
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("new blog: " + guid + "\n"), std::string::npos) << out;
}

}  // namespace
