// Login through the browser: ask the service whether this installation's id is
// linked; greet the account, or open the authorisation page and ask again when
// the user clicks the bubble. The answers arrive on the network worker and are
// handed to the main thread (online_post), which sets USER and opens bubbles.
#include <string>
#include <utility>
#include <vector>

#include "base/base.h"
#include "element/element.h"
#include "mascot/menu.h"
#include "net/endpoints.h"
#include "net/net.h"
#include "online/handover.h"
#include "online/json_text.h"
#include "online/login.h"
#include "online/online.h"

static std::string login_url() { return endpoint_login(str(CONFIG["login_id"])); }

// A bubble of this flow: answers come at any time, so an open bubble (say the
// main menu opened meanwhile) is closed first rather than left orphaned.
static Element* login_bubble(std::vector<std::string> lines, std::vector<float> positions, ElementClickFn onClick) {
    menu_destroy();
    Element* bubble = spawn_menu(std::move(lines), std::move(positions), onChosen_noop);
    bubble->onClick = onClick;
    return bubble;
}

// Main thread: the account is known.
static void login_linked(const json& user) {
    USER = user;
    login_spawn_2();
}

void login_spawn() { fetch(login_url(), "GET", login_spawn_inner); }

void login_spawn_inner(std::string body) {
    if (body.empty()) return;
    net_log("login spawn result: " + net_cut(body));
    LoginAnswer answer = login_read(body);
    switch (answer.kind) {
    case LoginAnswer::LINKED:
        online_post([user = answer.user] { login_linked(user); });
        break;
    case LoginAnswer::UNLINKED:
        // The page shows the same code: one the person's mascot never showed
        // marks a page somebody else sent them.
        if (!answer.code.empty()) net_log("login code: " + answer.code);
        online_post([url = answer.url, code = answer.code] {
            online_open(url);
            login_spawn_1(code);
        });
        break;
    default:
        net_log("login answer not understood; nothing shown");
        break;
    }
}

Element* login_spawn_1(const std::string& code) {
    if (code.empty())
        return login_bubble({"We've opened a webpage for you.", "Please authorize and click the speech bubble again."},
                            {0, 40}, login_click_1);
    return login_bubble({"We've opened a webpage for you.", "Please authorize and click the speech bubble again.",
                         "Your code: " + code},
                        {0, 40, 80}, login_click_1);
}

void login_click_1(Element* bubble, Vector2 mouse, MouseButton button) {
    (void)bubble, (void)mouse, (void)button;
    menu_destroy();
    fetch(login_url(), "GET", login_click_1_inner);
}

void login_click_1_inner(std::string body) {
    if (body.empty()) return;
    net_log("login 1 result: " + net_cut(body));
    LoginAnswer answer = login_read(body);
    switch (answer.kind) {
    case LoginAnswer::LINKED:
        online_post([user = answer.user] { login_linked(user); });
        break;
    case LoginAnswer::UNLINKED:
        online_post([] { login_bubble({"An error has occured. Try logging in again."}, {0}, login_click_2); });
        break;
    default:
        net_log("login answer not understood; nothing shown");
        break;
    }
}

Element* login_spawn_2() {
    std::string name = str(json_member(json_member(USER, "twitch"), "name"));
    return login_bubble({"Logged in as " + name + "!"}, {0}, login_click_2);
}

void login_click_2(Element* bubble, Vector2 mouse, MouseButton button) {
    (void)bubble, (void)mouse, (void)button;
    menu_destroy();
}
