// Login through the browser, against a scripted login endpoint: the greeting,
// the authorisation page and its bubble, the second ask, the failure bubble.
#include "online_fixture.h"

namespace {

// /api/vimoexe/login answers with the bodies queued in `answers`, one per ask
// (the last one again when they run out).
struct LoginService : ScriptedServer {
    std::vector<std::string> answers;
    size_t asked = 0;
    LoginService() {
        http.Get("/api/vimoexe/login", [this](const scripted::Request&, scripted::Response& res) {
            std::lock_guard<std::mutex> lock(m);
            std::string body = answers.empty() ? "" : answers[std::min(asked, answers.size() - 1)];
            asked++;
            res.set_content(body, "application/json");
        });
    }
};

const char* LINKED = R"({"status":true,"user":{"twitch":{"name":"ana"},"id":7}})";
const char* UNLINKED = R"({"status":false,"url":"http://127.0.0.1:8787/link?code=abc"})";

class LoginTest : public OnlineScene {};

TEST_F(LoginTest, ALinkedIdIsGreetedWithoutTheBrowser) {
    LoginService service;
    service.answers = {LINKED};
    use(service.origin());

    login_spawn();
    EXPECT_EQ(menu, nullptr);  // nothing is shown before the answer
    settle();
    // The id goes into the address as it is, colons and all.
    EXPECT_EQ(service.log(), std::vector<std::string>{"GET /api/vimoexe/login?id=1065353216:1056964608:0"});
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(lines(menu), std::vector<std::string>{"Logged in as ana!"});
    EXPECT_EQ(USER["id"], 7);
    EXPECT_TRUE(OPENED.empty());

    // A click anywhere on the greeting closes it.
    Element* greeting = menu;
    greeting->onClick(greeting, greeting->position, MOUSE_BUTTON_LEFT);
    EXPECT_EQ(menu, nullptr);
}

TEST_F(LoginTest, AnUnlinkedIdOpensThePageAndAsksAgainOnClick) {
    LoginService service;
    service.answers = {UNLINKED, LINKED};
    use(service.origin());

    login_spawn();
    settle();
    EXPECT_EQ(OPENED, std::vector<std::string>{"http://127.0.0.1:8787/link?code=abc"});
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(lines(menu), (std::vector<std::string>{"We've opened a webpage for you.",
                                                     "Please authorize and click the speech bubble again."}));
    EXPECT_TRUE(USER.is_null());

    // The first click bursts the bubble and asks once; a second click finds no bubble.
    Element* ask = menu;
    ask->onClick(ask, ask->position, MOUSE_BUTTON_RIGHT);
    EXPECT_EQ(menu, nullptr);
    settle();
    EXPECT_EQ(service.log().size(), 2u);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(lines(menu), std::vector<std::string>{"Logged in as ana!"});
    EXPECT_EQ(USER["twitch"]["name"], "ana");
    EXPECT_EQ(OPENED.size(), 1u);  // the browser is not opened again
}

TEST_F(LoginTest, AStillUnlinkedSecondAskShowsTheFailure) {
    LoginService service;
    service.answers = {UNLINKED, UNLINKED};
    use(service.origin());

    login_spawn();
    settle();
    menu->onClick(menu, menu->position, MOUSE_BUTTON_LEFT);
    settle();
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(lines(menu), std::vector<std::string>{"An error has occured. Try logging in again."});
    EXPECT_TRUE(USER.is_null());
    EXPECT_EQ(OPENED.size(), 1u);
    menu->onClick(menu, menu->position, MOUSE_BUTTON_LEFT);
    EXPECT_EQ(menu, nullptr);
}

TEST_F(LoginTest, TheServicesCodeShowsInTheBubbleOnlyWhenItIsPlain) {
    LoginService service;
    service.answers = {R"({"status":false,"url":"http://127.0.0.1:8787/link?token=t","code":"K7Q-4MX"})"};
    use(service.origin());
    testing::internal::CaptureStdout();
    login_spawn();
    settle();
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(lines(menu), (std::vector<std::string>{"We've opened a webpage for you.",
                                                     "Please authorize and click the speech bubble again.",
                                                     "Your code: K7Q-4MX"}));
    EXPECT_NE(out.find("login code: K7Q-4MX\n"), std::string::npos) << out;
    EXPECT_EQ(OPENED, std::vector<std::string>{"http://127.0.0.1:8787/link?token=t"});
    // Still the page and the two lines for a code that is not a short plain one:
    // markup, lower case, spaces, too long, too short, not text.
    for (const char* code : {"\"<b>X</b>\"", "\"k7q-4mx\"", "\"K7Q 4MX\"", "\"ABCDEFGHJKLMN\"", "\"AB\"", "7", "null",
                             "\"K7Q-4M\\u00c9\""}) {
        LoginAnswer a = login_read(std::string(R"({"status":false,"url":"u","code":)") + code + "}");
        EXPECT_EQ(a.kind, LoginAnswer::UNLINKED) << code;
        EXPECT_EQ(a.url, "u") << code;
        EXPECT_EQ(a.code, "") << code;
    }
    EXPECT_EQ(login_read(R"({"status":false,"url":"u","code":"ABCDEFGHJKLM"})").code, "ABCDEFGHJKLM");
}

TEST_F(LoginTest, AnAccountWithoutANameReadsNull) {
    LoginService service;
    service.answers = {R"({"status":true,"user":{"discord":{"name":"x"}}})"};
    use(service.origin());
    login_spawn();
    settle();
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(lines(menu), std::vector<std::string>{"Logged in as null!"});
    EXPECT_FALSE(USER.is_null());
}

TEST_F(LoginTest, UnreadableAnswersShowNothing) {
    for (const char* body : {"<html>oops</html>", R"({"status":"yes"})", R"({"status":false})", "[]", "null"}) {
        LoginService service;
        service.answers = {body};
        use(service.origin());
        testing::internal::CaptureStdout();
        login_spawn();
        settle();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(menu, nullptr) << body;
        EXPECT_TRUE(USER.is_null()) << body;
        EXPECT_TRUE(OPENED.empty()) << body;
        EXPECT_NE(out.find(std::string("login spawn result: ") + body + "\n"), std::string::npos) << out;
        EXPECT_NE(out.find("login answer not understood"), std::string::npos) << out;
    }
    // A refused ask runs no callback at all; an empty answer is silent.
    ScriptedServer refusing;
    refusing.http.Get("/api/vimoexe/login", [](const scripted::Request&, scripted::Response& res) { res.status = 403; });
    use(refusing.origin());
    login_spawn();
    settle();
    EXPECT_EQ(menu, nullptr);
}

TEST_F(LoginTest, AnAnswerArrivingWhileABubbleIsOpenReplacesIt) {
    LoginService service;
    service.answers = {LINKED};
    use(service.origin());
    login_spawn();
    ASSERT_TRUE(fetch_wait_idle(15000));
    Element* main_menu = spawn_menu({"hi hii ~", " - Log In"}, {0, 20}, onChosen_noop);
    online_drain();
    EXPECT_NE(std::find(ELEMENTS_TO_BE_REMOVED.begin(), ELEMENTS_TO_BE_REMOVED.end(), main_menu),
              ELEMENTS_TO_BE_REMOVED.end());
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(lines(menu), std::vector<std::string>{"Logged in as ana!"});
}

}  // namespace
