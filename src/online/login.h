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
};
LoginAnswer login_read(const std::string& body);  // Read a login answer; prints nothing (answers.cpp)

void login_spawn();                      // Start a login: ask the service (GET, login_spawn_inner)
void login_spawn_inner(std::string body);  // Worker: first answer; hands greeting or browser+bubble over
Element* login_spawn_1();                // Open the authorise-request bubble
void login_click_1(Element* bubble, Vector2 mouse, MouseButton button);  // Close it, ask again
void login_click_1_inner(std::string body);  // Worker: second answer; greeting or failure bubble
Element* login_spawn_2();                // Open the greeting bubble for USER
void login_click_2(Element* bubble, Vector2 mouse, MouseButton button);  // menu_destroy()
