// Login through the browser (login.cpp; login_read in answers.cpp): ask the
// service whether this installation's id is linked; greet the account, or open
// the authorisation page and ask again when the user clicks the bubble.
//
// Threads: the *_inner functions run on the network worker and hand what the
// main thread must do over (online_post); the rest is the main thread's.
#pragma once

#include <string>

#include "gfx/raylib.h"
#include "online/json_text.h"

struct Element;

// What a login answer says.
struct LoginAnswer {
    // NOTHING: empty body (no answer); UNREADABLE: not JSON, or "status" not a
    // boolean, or "url" not a string when it is needed.
    enum Kind { NOTHING, UNREADABLE, LINKED, UNLINKED } kind = NOTHING;
    json user;        // LINKED: the account ("user"; null when absent)
    std::string url;  // UNLINKED: the page where the user authorises the link
    // UNLINKED: the code that page shows, for the person to compare with the
    // bubble's; "" when the service sent none (an older one) or one that is not
    // login_code_ok. It never makes the answer unreadable.
    std::string code;
};
LoginAnswer login_read(const std::string& body);  // Read a login answer; prints nothing (answers.cpp)
// Whether code is fit for the bubble: 3 to LOGIN_CODE_MAX_CHARS of A-Z, 0-9 and
// '-' (the bubble's font draws them all, and nothing longer than a glance).
bool login_code_ok(const std::string& code);
inline constexpr size_t LOGIN_CODE_MAX_CHARS = 12;

void login_spawn();                      // Start a login: ask the service (GET, login_spawn_inner)
void login_spawn_inner(std::string body);  // Worker: first answer; hands greeting or browser+bubble over
// Open the authorise-request bubble; with a code, a third line "Your code: " + code
Element* login_spawn_1(const std::string& code = "");
void login_click_1(Element* bubble, Vector2 mouse, MouseButton button);  // Close it, ask again
void login_click_1_inner(std::string body);  // Worker: second answer; greeting or failure bubble
Element* login_spawn_2();                // Open the greeting bubble for USER
void login_click_2(Element* bubble, Vector2 mouse, MouseButton button);  // menu_destroy()
