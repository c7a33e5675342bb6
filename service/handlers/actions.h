// The streamer's actions of vimo-service: bridged chat, the live list, blog
// entries, posts, and moderation (delete, ban, unban, blocked words). Each is
// reached two ways with the same JSON: as a call with the Bearer token
// (admin_call, the /api/... routes) and as a form of the admin page with the
// token as a field (admin_form, the /admin/... routes; pages.cpp turns the
// form's fields into that JSON).
//
// Threads: any HTTP worker thread; the store and the limiter do their own locking.
#pragma once

#include <cstdint>
#include <string>

#include "handlers/server.h"
#include "http/http.h"

namespace service_detail {

// What an action says: done (status 0), or why it refused (a bare reason is a
// 400; a 429 carries the seconds to wait).
struct Refusal {
    int status = 0;  // 0: done
    std::string why;
    int64_t retry_after = 0;  // for 429
    Refusal() = default;
    Refusal(const char* reason) : Refusal(std::string(reason)) {}
    Refusal(std::string reason) : status(reason.empty() ? 0 : 400), why(std::move(reason)) {}
    Refusal(int code, std::string reason, int64_t retry = 0) : status(code), why(std::move(reason)), retry_after(retry) {}
};

// An action: reads its JSON input, fills *result when done.
using Action = Refusal (*)(Service&, const httplib::Request&, const json&, json*);

Refusal do_ingest(Service& s, const httplib::Request& req, const json& in, json* result);  // a bridged chat message
Refusal do_live(Service& s, const httplib::Request& req, const json& in, json* result);    // replaces the live list
Refusal do_blog(Service& s, const httplib::Request& req, const json& in, json* result);    // adds a blog entry
Refusal do_post(Service& s, const httplib::Request& req, const json& in, json* result);    // a post of the Bluesky stand-in
Refusal do_delete(Service& s, const httplib::Request& req, const json& in, json* result);  // takes a message down
Refusal do_ban(Service& s, const httplib::Request& req, const json& in, json* result);     // bans a sender
Refusal do_unban(Service& s, const httplib::Request& req, const json& in, json* result);   // lifts a ban
Refusal do_words(Service& s, const httplib::Request& req, const json& in, json* result);   // replaces the blocked words

// Recent messages (hidden ones too, with why), bans, blocked words and the log.
json moderation_json(Service& s);

// JSON call: Bearer token, JSON body, JSON answer.
httplib::Server::Handler admin_call(Service& s, Action action);
// The admin page form's fields turned into the JSON the call takes.
using FormFields = json (*)(const Params&);
// Admin page form: token field, to_json's JSON for the action, an HTML answer.
httplib::Server::Handler admin_form(Service& s, Action action, FormFields to_json);

}  // namespace service_detail
