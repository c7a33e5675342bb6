// Sign-in with the platforms: the link page's "Log in with Twitch" and "Log in
// with Discord", OAuth 2.0's authorization-code flow with the service as the
// client that keeps the secret.
//
//   POST /auth/<platform> (form: the link token)   only from the service's own
//        page (from_own_page, http.h; else 403): a random single-use state bound
//        to that token and to a fresh random cookie set in this browser, a PKCE
//        verifier where the platform takes one; 303 to the platform's authorize page.
//   GET  /auth/<platform>/callback?code&state    the state taken (gone whatever
//        follows) and judged: known, 10 minutes old at most, same browser, not
//        cancelled; then the code exchanged on the server, the person's id and
//        name read, the tokens dropped, and the installation linked to the
//        account of (platform, id). Every refusal is a page saying what happened
//        and to start again from vimo; it shows no link token, and stores nothing.
//
// Threads: signin_setup on the owning thread in service_create; the handlers on
// any HTTP worker thread (each callback makes its own HTTP client, on an event
// loop of its own that the worker runs through Service::signin_calls; the
// providers are read only once set up). A callback holds its worker for the two
// provider calls, each step bounded (SIGNIN_CALL_TIMEOUT_S), its answer deadline
// extended by SIGNIN_HOLD_S; service_stop ends those calls at once.
#pragma once

#include <string>
#include <vector>

#include <httplib.h>

#include "outbound/https_client.h"

struct Service;
struct ServiceCore;
struct ServiceOptions;

namespace service_detail {

inline constexpr int64_t SIGNIN_STATE_TTL_MS = 10 * 60 * 1000;  // a state's life: 10 minutes
inline constexpr double SIGNIN_CALL_TIMEOUT_S = 4;  // each step of a provider call: connecting, the answer
inline constexpr int SIGNIN_HOLD_S = 60;  // a callback's answer is due this much later than an ordinary one's
inline constexpr size_t SIGNIN_MAX_ANSWER_BYTES = 64 * 1024;  // a provider's token or user answer

// One platform a person can sign in with, as configured.
struct SigninProvider {
    std::string platform;      // "twitch" or "discord": the path /auth/<platform> and the identity's platform
    std::string shown;         // "Twitch" or "Discord", for the pages
    std::string client_id;     // the registered app's id
    std::string secret;        // its client secret; never leaves the server but to the token endpoint
    bridges::BaseUrl base;     // where authorize, token and user paths sit
    std::string base_url;      // the same, as configured (for the browser's redirect)
    const char* authorize_path;  // under base, opened in the browser
    const char* token_path;      // under base, the code exchange (POST form)
    const char* user_path;       // under base, the person's id and name (GET, Bearer)
    const char* scope;           // what the app asks for: only who the person is
    bool pkce;                   // send an S256 code challenge (the platform supports it)
};

// The providers options configures, into s (also the TLS context they share);
// false and *error when a base address is unusable.
bool signin_setup(Service& s, const ServiceOptions& options, std::string* error);
// The provider of platform, or nullptr when it is not configured.
const SigninProvider* signin_provider(const Service& s, const std::string& platform);
// The link page's "Log in with ..." buttons for token (escaped HTML).
std::string signin_buttons(const Service& s, const std::string& token);

// PKCE S256: base64url without padding of SHA-256(verifier).
std::string pkce_challenge(const std::string& verifier);
// The person a provider's user answer names: (id, name as shown), both "" when it
// names nobody. Twitch's OpenID userinfo: sub and preferred_username, else the
// login "(twitch)"; Discord's /api/users/@me: id and global_name, else username,
// else "username (discord)"; each by the rule every name meets (chat_shown_name).
std::pair<std::string, std::string> signin_person(const ServiceCore& s, const std::string& platform,
                                                  const std::string& body);

void post_signin_start(Service& s, const httplib::Request& req, httplib::Response& res);     // POST /auth/<platform>
void get_signin_callback(Service& s, const httplib::Request& req, httplib::Response& res);   // GET /auth/<platform>/callback

}  // namespace service_detail
