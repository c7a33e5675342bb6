// Request parsing, answers, the client's address and the admin token checks of
// vimo-service (see http.h).
#include "http/http.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include <arpa/inet.h>
#include <openssl/evp.h>

namespace service_detail {

// ---- Requests ------------------------------------------------------------------------

bool parse_params(const std::string& text, bool plus_is_space, Params* out) {
    out->clear();
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t amp = text.find('&', pos);
        if (amp == std::string::npos) amp = text.size();
        std::string pair = text.substr(pos, amp - pos);
        pos = amp + 1;
        if (pair.empty()) {
            if (amp == text.size()) break;
            continue;
        }
        size_t eq = pair.find('=');  // the first '=' only: "where=twitch.id=5"
        std::string key, value;
        if (!percent_decode(pair.substr(0, eq), plus_is_space, &key)) return false;
        if (eq != std::string::npos && !percent_decode(pair.substr(eq + 1), plus_is_space, &value)) return false;
        if (!out->emplace(key, value).second) return false;
        if (amp == text.size()) break;
    }
    return true;
}

bool query_params(const httplib::Request& req, Params* out) {
    size_t q = req.target.find('?');
    return parse_params(q == std::string::npos ? std::string() : req.target.substr(q + 1), false, out);
}

const std::string* param(const Params& p, const char* key) {
    auto it = p.find(key);
    return it == p.end() ? nullptr : &it->second;
}

std::string form_value(const Params& p, const char* key) {
    const std::string* v = param(p, key);
    return v ? *v : std::string();
}

bool parse_count(const std::string& text, int max, int* out) {
    if (text.empty() || text.size() > 3) return false;
    int count = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        count = count * 10 + (ch - '0');
    }
    if (count < 1 || count > max) return false;
    *out = count;
    return true;
}

// ---- Answers ---------------------------------------------------------------------------

std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

void answer_json(httplib::Response& res, const json& j, int status) {
    res.status = status;
    res.set_content(dump(j), "application/json; charset=utf-8");
}

void answer_error(httplib::Response& res, int status, const std::string& message) {
    answer_json(res, json{{"error", message}}, status);
}

void answer_public(const httplib::Request& req, httplib::Response& res, const std::string& body, const char* type) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    std::string etag = "\"";
    if (EVP_Digest(body.data(), body.size(), md, &len, EVP_sha256(), nullptr) == 1) {
        static const char HEX[] = "0123456789abcdef";
        for (unsigned i = 0; i < 16 && i < len; ++i) etag += {HEX[md[i] >> 4], HEX[md[i] & 15]};
    }
    etag += "\"";
    res.set_header("Cache-Control", "public, max-age=1");
    res.set_header("ETag", etag);
    std::string match = req.get_header_value("If-None-Match");
    if (!match.empty() && (match == "*" || match.find(etag) != std::string::npos)) {
        res.status = 304;
        return;
    }
    res.status = 200;
    res.set_content(body, type);
}

void answer_public_json(const httplib::Request& req, httplib::Response& res, const json& j) {
    answer_public(req, res, dump(j), "application/json; charset=utf-8");
}

void answer_page(httplib::Response& res, const std::string& title, const std::string& body_html, int status) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_header("Content-Security-Policy", PAGE_CSP);
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + html_escape(title) +
                        "</title><style>body{font-family:sans-serif;max-width:40em;margin:2em auto;padding:0 1em}"
                        "label{display:block;margin:.5em 0}input,textarea{width:100%}</style></head><body><h1>" +
                        html_escape(title) + "</h1>\n" + body_html + "\n</body></html>\n",
                    "text/html; charset=utf-8");
}

void answer_too_many(httplib::Response& res, int64_t retry_after) {
    res.set_header("Retry-After", std::to_string(retry_after));
    answer_error(res, 429, "too many requests: try again in " + std::to_string(retry_after) + " s");
}

// ---- The limits' glue and shared values -------------------------------------------------

// The requester's address for the per-address limits. Every address of one IPv6
// /64 belongs to one subscriber, so the /64 is the unit.
std::string client_address(const ServiceCore& s, const httplib::Request& req) {
    std::string addr = req.remote_addr;
    if (s.options.behind_proxy) {
        std::string real = req.get_header_value("X-Real-IP");
        if (!real.empty()) addr = real;
    }
    in6_addr a6{};
    if (inet_pton(AF_INET6, addr.c_str(), &a6) == 1 && IN6_IS_ADDR_V4MAPPED(&a6)) {
        // An IPv4 client of a socket listening on "::" is that IPv4 address.
        char text[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &a6.s6_addr[12], text, sizeof text)) addr = text;
    } else if (inet_pton(AF_INET6, addr.c_str(), &a6) == 1) {
        for (int i = 8; i < 16; ++i) a6.s6_addr[i] = 0;
        char text[INET6_ADDRSTRLEN];
        if (inet_ntop(AF_INET6, &a6, text, sizeof text)) addr = std::string(text) + "/64";
    }
    return addr;
}

bool from_own_page(const ServiceCore& s, const httplib::Request& req) {
    if (req.has_header("Sec-Fetch-Site")) return req.get_header_value("Sec-Fetch-Site") == "same-origin";
    // Browsers serialise Origin in lower case; --origin is the operator's spelling.
    std::string origin = req.get_header_value("Origin");
    return !origin.empty() && origin.size() == s.origin.size() &&
           std::equal(origin.begin(), origin.end(), s.origin.begin(),
                      [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) ==
                                                  std::tolower(static_cast<unsigned char>(b)); });
}

// ---- Admin token checks ------------------------------------------------------------------

// 0 when the token is right; 401 when wrong (taken from the address's bucket) or
// absent; 429 while the address is over its limit (*retry_after set), right or not.
static int token_check(ServiceCore& s, const httplib::Request& req, const std::string* given, int64_t* retry_after) {
    if (!given) return 401;  // asking without a token guesses nothing
    RateLimiter::Take bucket{&s.options.limits.admin_token_address, "admin-token " + client_address(s, req)};
    if ((*retry_after = s.limiter.wait({bucket}))) return 429;
    if (store_admin_token_matches(*s.store, *given)) return 0;
    s.limiter.take({bucket});
    return 401;
}

// The streamer's JSON calls: true (having answered 401 or 429) unless the Bearer token is right.
bool admin_header_refused(ServiceCore& s, const httplib::Request& req, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    std::string auth = req.get_header_value("Authorization");
    const std::string prefix = "Bearer ";
    std::string given = auth.rfind(prefix, 0) == 0 ? auth.substr(prefix.size()) : "";
    int64_t retry_after = 0;
    int status = token_check(s, req, given.empty() ? nullptr : &given, &retry_after);
    if (status == 0) return false;
    if (status == 429) {
        answer_too_many(res, retry_after);
        return true;
    }
    res.set_header("WWW-Authenticate", "Bearer");
    answer_error(res, 401, "admin token required");
    return true;
}

// Admin page forms: the form's token, or nullptr having answered 400 or 401.
const std::string* admin_form_token(ServiceCore& s, const httplib::Request& req, httplib::Response& res, Params* form) {
    if (!parse_params(req.body, true, form)) {
        answer_page(res, "Refused", "<p>Malformed form.</p>", 400);
        return nullptr;
    }
    const std::string* token = param(*form, "token");
    int64_t retry_after = 0;
    int status = token_check(s, req, token && !token->empty() ? token : nullptr, &retry_after);
    if (status == 0) return token;
    if (status == 429) {
        res.set_header("Retry-After", std::to_string(retry_after));
        answer_page(res, "Too many tries",
                    "<p>Too many wrong tokens from this address. Try again in " + std::to_string(retry_after) +
                        " seconds.</p>", 429);
        return nullptr;
    }
    answer_page(res, "Refused", "<p>Wrong admin token.</p><p><a href=\"/admin\">Back</a></p>", 401);
    return nullptr;
}

// Exceptions (SQLite failures) become a 500 instead of reaching the HTTP library.
httplib::Server::Handler guarded(httplib::Server::Handler h) {
    return [h](const httplib::Request& req, httplib::Response& res) {
        try {
            h(req, res);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "vimo-service: %s %s failed: %s\n", req.method.c_str(), req.path.c_str(), e.what());
            answer_error(res, 500, "internal error");
        }
    };
}

}  // namespace service_detail
