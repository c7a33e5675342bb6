// The HTML pages of vimo-service: the front page, the link page installations
// are linked through, the stand-in channel page, and the streamer's admin page
// with its moderation page and forms. The page handlers are registered by
// routes.cpp; the forms' actions run through admin_form (actions.cpp), which
// takes the *_fields functions below to turn a form into the call's JSON.
//
// Threads: any HTTP worker thread; pages read the store, which locks for itself.
#pragma once

#include <string>

#include "handlers/server.h"
#include "http/http.h"

namespace service_detail {

// What a page says of a link token that is unknown or past its 30 minutes.
inline const char* const UNKNOWN_LINK_HTML =
    "<p>This link is not valid, or has expired (a link lasts 30 minutes). Go back to vimo and choose Log In "
    "again.</p>";

// A one-button form carrying the admin token to the moderation page.
std::string moderation_button(const std::string& token, const std::string& label);

// ---- Page handlers -------------------------------------------------------------------

void get_home(Service& s, const httplib::Request& req, httplib::Response& res);     // GET /
void get_link(Service& s, const httplib::Request& req, httplib::Response& res);     // GET /link?token=T: the name form
void post_link(Service& s, const httplib::Request& req, httplib::Response& res);    // POST /link: links the installation
void get_channel(Service& s, const httplib::Request& req, httplib::Response& res);  // GET /channel/HANDLE: live or offline
void get_admin(Service& s, const httplib::Request& req, httplib::Response& res);    // GET /admin: the streamer's forms
// POST /admin/moderation (token field): recent messages with Delete and Ban, bans with Unban, words, the log.
void post_admin_moderation(Service& s, const httplib::Request& req, httplib::Response& res);

// ---- The admin page's forms as the JSON their calls take ---------------------------------

json delete_fields(const Params& f);  // message
json ban_fields(const Params& f);     // message, or platform and sender_id (ban and unban)
json words_fields(const Params& f);   // words: one word or phrase per line
json live_fields(const Params& f);    // handles: split at line breaks, spaces and commas
json blog_fields(const Params& f);    // title, link, description
json post_fields(const Params& f);    // text
json chat_fields(const Params& f);    // platform, sender_id, sender_name, text

}  // namespace service_detail
