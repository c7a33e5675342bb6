// The HTTP layer of vimo-service: reading a request's query and form, the
// answers (JSON, errors, cacheable public answers, pages, 429), the client's
// address for the limits, the admin token checks, and the guard that turns a
// failure into a 500. The handlers (handlers/) are built from these.
//
// Threads: any HTTP worker thread, once the ServiceCore is set up (the store
// and the limiter do their own locking, the rest is read only).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "core/state.h"
#include "text/input.h"

namespace service_detail {

using nlohmann::json;

// ---- Requests ------------------------------------------------------------------------

// Query or form parameters; false when malformed (bad escape, repeated key).
using Params = std::map<std::string, std::string>;
bool parse_params(const std::string& text, bool plus_is_space, Params* out);
bool query_params(const httplib::Request& req, Params* out);  // the target's query
const std::string* param(const Params& p, const char* key);   // nullptr when absent
std::string form_value(const Params& p, const char* key);     // "" when absent
// A count in a query: 1 to 3 digits making 1 to max; false (out untouched) otherwise.
bool parse_count(const std::string& text, int max, int* out);

// ---- Answers ---------------------------------------------------------------------------

std::string dump(const json& j);  // compact, invalid UTF-8 replaced
void answer_json(httplib::Response& res, const json& j, int status = 200);
void answer_error(httplib::Response& res, int status, const std::string& message);  // {"error": message}
// Public answers every companion polls: the same for everyone, so a proxy or the
// client may keep them a second; the ETag lets a repeated ask be answered 304.
void answer_public(const httplib::Request& req, httplib::Response& res, const std::string& body, const char* type);
void answer_public_json(const httplib::Request& req, httplib::Response& res, const json& j);
// The pages' Content-Security-Policy: nothing loaded, inline style, forms to this service.
inline const char* const PAGE_CSP = "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'";
// A whole HTML page under title; body_html is already escaped.
void answer_page(httplib::Response& res, const std::string& title, const std::string& body_html, int status = 200);
void answer_too_many(httplib::Response& res, int64_t retry_after);  // 429 with Retry-After in seconds

// ---- The limits' glue and shared values -------------------------------------------------

// The requester's address for the per-address limits (an IPv6 /64 as one, an
// IPv4-mapped IPv6 address as its IPv4 address).
std::string client_address(const ServiceCore& s, const httplib::Request& req);

// Whether a browser sent req from one of this service's own pages: Sec-Fetch-Site
// "same-origin", or, from a browser that sends no Sec-Fetch-Site, an Origin equal
// to s.origin. Another site, a sibling host ("same-site"), "none" (typed or
// bookmarked) and a request with neither header are not.
bool from_own_page(const ServiceCore& s, const httplib::Request& req);

// ---- Admin token checks ------------------------------------------------------------------

// Wrong tokens are limited per address (ServiceLimits::admin_token_address): over
// the limit every token, right or wrong, is answered 429 unchecked, so guessing
// gains nothing from the answers.
// The streamer's JSON calls: true (having answered 401 or 429) unless the Bearer token is right.
bool admin_header_refused(ServiceCore& s, const httplib::Request& req, httplib::Response& res);
// Admin page forms: the form's token, or nullptr having answered 400, 401 or 429.
const std::string* admin_form_token(ServiceCore& s, const httplib::Request& req, httplib::Response& res, Params* form);

// Exceptions (SQLite failures) become a 500 instead of reaching the HTTP library.
httplib::Server::Handler guarded(httplib::Server::Handler h);

}  // namespace service_detail
