// Sign-in with the platforms (see signin.h).
#include "handlers/signin.h"

#include <chrono>
#include <optional>
#include <variant>

#include <boost/asio/this_coro.hpp>
#include <openssl/evp.h>

#include "chat/incoming.h"
#include "outbound/tls.h"
#include "handlers/pages.h"
#include "handlers/server.h"
#include "http/http.h"
#include "text/input.h"
#include "store/secrets.h"
#include "text/text.h"

namespace service_detail {

namespace {

// The cookie that binds a state to the browser that started it. Over https the
// __Host- prefix makes browsers refuse it from a sibling host or with a Domain,
// so no other site under the same domain can plant one.
bool https_origin(const Service& s) { return s.origin.rfind("https://", 0) == 0; }
std::string browser_cookie_name(const Service& s) { return https_origin(s) ? "__Host-vimo_signin" : "vimo_signin"; }

int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool is_hex(const std::string& text, size_t size) {
    return text.size() == size && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// This browser's sign-in cookie, "" when it sent none (or a malformed one).
std::string browser_cookie(const Service& s, const httplib::Request& req) {
    std::string all = req.get_header_value("Cookie"), key = browser_cookie_name(s) + "=";
    for (size_t at = 0; at < all.size();) {
        size_t end = all.find(';', at);
        if (end == std::string::npos) end = all.size();
        std::string part = trim(all.substr(at, end - at));
        if (part.rfind(key, 0) == 0 && is_hex(part.substr(key.size()), 32)) return part.substr(key.size());
        at = end + 1;
    }
    return "";
}

std::string redirect_uri(const Service& s, const SigninProvider& p) { return s.origin + "/auth/" + p.platform + "/callback"; }

// A page about a sign-in that went nowhere. It never names the link token: the
// callback's address may be in anybody's hands (a stranger who was sent it, a
// browser other than the one that started), and a token links whoever uses it.
// The person starts again from the companion, which hands out a live token.
void refusal(httplib::Response& res, int status, const std::string& title, const std::string& what_html) {
    answer_page(res, title, "<p>" + what_html + " Nothing was stored.</p><p>Go back to vimo and choose Log In again.</p>",
                status);
}

// What a provider's refusal said: OAuth's error and error_description, or
// Twitch's message; at most 200 bytes of it, escaped.
std::string provider_said(const bridges::HttpsAnswer& a) {
    std::string said;
    json j = json::parse(a.body, nullptr, false);
    auto text = [&](const char* key) { return j.is_object() && j[key].is_string() ? j[key].get<std::string>() : ""; };
    said = text("error");
    std::string more = text("error_description");
    if (more.empty()) more = text("message");
    if (!more.empty()) said += (said.empty() ? "" : ": ") + more;
    if (said.empty()) said = "HTTP " + std::to_string(a.status);
    if (said.size() > 200) said = said.substr(0, 200) + "...";
    if (!valid_utf8(said)) said = "HTTP " + std::to_string(a.status);
    return html_escape(said);
}

// Who signed in, as the provider names them.
struct Person {
    std::string id;    // the platform's id of the person
    std::string name;  // their display name, usable here
};
// Why the provider gave no person: HTML for the refusal page.
struct SigninRefusal {
    std::string why_html;
};
using SigninAnswer = std::variant<Person, SigninRefusal>;

SigninRefusal unreachable(const SigninProvider& p, const std::string& error) {
    return {html_escape(p.shown + " could not be reached (" + error + ").")};
}

// Exchanges code for an access token, asks who it belongs to and forgets the token.
outbound::awaitable<SigninAnswer> ask_provider(Service& s, const SigninProvider& p, const std::string& code,
                                               const std::string& verifier) {
    bridges::HttpsClient http(co_await boost::asio::this_coro::executor, p.base.tls ? s.signin_tls : nullptr,
                              p.base.host, p.base.port, SIGNIN_CALL_TIMEOUT_S);
    std::string form = "grant_type=authorization_code&code=" + bridges::url_encode(code) +
                       "&redirect_uri=" + bridges::url_encode(redirect_uri(s, p)) +
                       "&client_id=" + bridges::url_encode(p.client_id) +
                       "&client_secret=" + bridges::url_encode(p.secret);
    if (!verifier.empty()) form += "&code_verifier=" + verifier;
    bridges::HttpsAnswer a = co_await http.post_form(p.base.prefix + p.token_path, form, SIGNIN_CALL_TIMEOUT_S,
                                                     SIGNIN_MAX_ANSWER_BYTES);
    if (a.status == 0) co_return unreachable(p, a.error);
    if (a.status != 200) co_return SigninRefusal{html_escape(p.shown) + " refused the sign-in (" + provider_said(a) + ")."};
    json token = json::parse(a.body, nullptr, false);
    if (!token.is_object() || !token["access_token"].is_string() || token["access_token"].get<std::string>().empty())
        co_return SigninRefusal{html_escape(p.shown) + "'s answer held no access token."};
    std::string access = token["access_token"].get<std::string>();
    bridges::HttpsAnswer u =
        co_await http.get(p.base.prefix + p.user_path, access, SIGNIN_CALL_TIMEOUT_S, SIGNIN_MAX_ANSWER_BYTES);
    // The tokens were only for this one question: nothing keeps them.
    access.assign(access.size(), '\0');
    a.body.assign(a.body.size(), '\0');
    if (u.status == 0) co_return unreachable(p, u.error);
    if (u.status != 200) co_return SigninRefusal{html_escape(p.shown) + " did not say who you are (" + provider_said(u) + ")."};
    auto [id, name] = signin_person(s, p.platform, u.body);
    if (id.empty())
        co_return SigninRefusal{html_escape(p.shown) + " named nobody this service can show (an id and a display name "
                                                       "of 1 to 32 characters)."};
    co_return Person{id, name};
}

// The provider's two calls, on this HTTP worker's thread in a loop of its own,
// which service_stop ends at once.
SigninAnswer fetch_person(Service& s, const SigninProvider& p, const std::string& code, const std::string& verifier) {
    std::optional<SigninAnswer> answer;
    s.signin_calls.run([&]() -> outbound::awaitable<void> { answer = co_await ask_provider(s, p, code, verifier); });
    if (!answer) return unreachable(p, "the service is stopping");
    return *answer;
}

}  // namespace

std::string pkce_challenge(const std::string& verifier) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_Digest(verifier.data(), verifier.size(), md, &len, EVP_sha256(), nullptr);
    std::string b64(4 * ((len + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), md, int(len));
    b64.resize(size_t(n));
    for (char& c : b64) c = c == '+' ? '-' : c == '/' ? '_' : c;
    while (!b64.empty() && b64.back() == '=') b64.pop_back();
    return b64;
}

// Twitch's login from its display name: the display name is the login with its
// case changed, unless it is localized (then the login is not in the answer).
static std::string twitch_login(const std::string& display_name) {
    std::string login;
    for (char c : display_name) login += c >= 'A' && c <= 'Z' ? char(c + 32) : c;
    bool ok = !login.empty() && login.size() <= 25 && login.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") ==
                                                          std::string::npos;
    return ok ? login : "";
}

std::pair<std::string, std::string> signin_person(const ServiceCore& s, const std::string& platform,
                                                  const std::string& body) {
    json j = json::parse(body, nullptr, false);
    if (!j.is_object()) return {"", ""};
    auto text = [&](const char* key) { return j[key].is_string() ? j[key].get<std::string>() : ""; };
    std::string id = platform == "twitch" ? text("sub") : text("id");
    // The names in the order they are tried, and the platform's unique handle that
    // stands in (marked) when the rule refuses them all: Discord's global name, then
    // its username; Twitch's display name, then its login (or, localized, the id).
    std::vector<std::string> names;
    std::string handle;
    if (platform == "twitch") {
        names = {text("preferred_username")};
        handle = twitch_login(names[0]);
    } else {
        names = {text("global_name"), text("username")};
        handle = names[1];
    }
    bool named = false;
    for (const std::string& n : names) named = named || (valid_utf8(n) && text_visible(n));
    if (!valid_sender_id(id) || !named) return {"", ""};
    std::string name = chat_shown_name(s, platform, id, names, handle);
    if (name.empty()) return {"", ""};
    return {id, name};
}

bool signin_setup(Service& s, const ServiceOptions& o, std::string* error) {
    struct Wanted {
        SigninProvider p;
        std::string base;
    };
    std::vector<Wanted> wanted;
    if (!o.signin.twitch_client_id.empty())  // Twitch takes no PKCE; its OpenID userinfo names the person
        wanted.push_back({{"twitch", "Twitch", o.signin.twitch_client_id, o.signin.twitch_secret, {}, "",
                           "/oauth2/authorize", "/oauth2/token", "/oauth2/userinfo", "openid", false},
                          o.signin.twitch_id_base});
    if (!o.signin.discord_client_id.empty())
        wanted.push_back({{"discord", "Discord", o.signin.discord_client_id, o.signin.discord_secret, {}, "",
                           "/oauth2/authorize", "/api/oauth2/token", "/api/users/@me", "identify", true},
                          o.signin.discord_base});
    for (Wanted& w : wanted) {
        if (w.p.secret.empty()) {
            *error = w.p.platform + " sign-in needs its client secret";
            return false;
        }
        // The secret goes to the token endpoint: https, or plain http on this machine only.
        if (!bridges::parse_base_url(w.base, true, &w.p.base, error)) {
            *error = w.p.platform + " sign-in base " + *error;
            return false;
        }
        w.p.base_url = w.base;
        while (!w.p.base_url.empty() && w.p.base_url.back() == '/') w.p.base_url.pop_back();
        if (w.p.base.tls && !s.signin_tls) {
            s.signin_tls = bridges::make_tls_context(o.bridges.tls_ca, error);
            if (!s.signin_tls) return false;
        }
        s.signin.push_back(w.p);
    }
    return true;
}

const SigninProvider* signin_provider(const Service& s, const std::string& platform) {
    for (const SigninProvider& p : s.signin)
        if (p.platform == platform) return &p;
    return nullptr;
}

std::string signin_buttons(const Service& s, const std::string& token) {
    std::string out;
    for (const SigninProvider& p : s.signin)
        out += "<form method=\"post\" action=\"/auth/" + p.platform + "\"><input type=\"hidden\" name=\"token\" value=\"" +
               html_escape(token) + "\"><button type=\"submit\">Log in with " + html_escape(p.shown) + "</button></form>";
    return out;
}

void post_signin_start(Service& s, const httplib::Request& req, httplib::Response& res) {
    const SigninProvider* p = signin_provider(s, req.matches[1].str());
    if (!p) return answer_page(res, "Unknown sign-in", "<p>This community does not sign in with that platform.</p>", 404);
    // Only this service's own link page starts a sign-in: another site's form (or a
    // sibling host's) would sign the visitor in for a link token of its choosing.
    if (!from_own_page(s, req))
        return answer_page(res, "Refused", "<p>A sign-in starts from this service's own link page.</p>", 403);
    Params form;
    if (!parse_params(req.body, true, &form)) return answer_page(res, "Refused", "<p>Malformed form.</p>", 400);
    std::string token = form_value(form, "token");
    auto info = valid_link_token(token) ? store_link_info(*s.store, token) : std::nullopt;
    if (!info) return answer_page(res, "Unknown link", UNKNOWN_LINK_HTML, 404);
    if (info->linked)
        return answer_page(res, "Already linked", "<p>This installation is linked as <b>" + html_escape(info->name) +
                                                      "</b>. Go back to vimo and click its speech bubble.</p>", 409);
    if (int64_t wait = s.limiter.take({{&s.options.limits.signin_address, "signin-address " + client_address(s, req)}})) {
        res.set_header("Retry-After", std::to_string(wait));
        return answer_page(res, "Too many tries",
                           "<p>Too many sign-ins from this address. Try again in " + std::to_string(wait) + " seconds.</p>",
                           429);
    }
    // A fresh cookie value every time, never the one the browser sent: a value
    // planted in the person's browser must not match a state somebody else started.
    Signin in{p->platform, token, p->pkce ? store_detail::random_hex(32) : "", store_detail::random_hex(16), wall_ms()};
    std::string state = store_detail::random_hex(32);
    store_add_signin(*s.store, state, in);
    std::string url = p->base_url + p->authorize_path + "?response_type=code&client_id=" +
                      bridges::url_encode(p->client_id) + "&redirect_uri=" + bridges::url_encode(redirect_uri(s, *p)) +
                      "&scope=" + bridges::url_encode(p->scope) + "&state=" + state;
    if (p->pkce) url += "&code_challenge=" + pkce_challenge(in.verifier) + "&code_challenge_method=S256";
    // Lax: the provider's redirect back is a top-level navigation, which carries it.
    // Path=/ as __Host- requires. Secure only over https: a browser drops a Secure
    // cookie that a plain-http origin (a service run on this machine) sets.
    res.set_header("Set-Cookie", browser_cookie_name(s) + "=" + in.browser + "; Path=/; Max-Age=" +
                                     std::to_string(SIGNIN_STATE_TTL_MS / 1000) + "; HttpOnly; SameSite=Lax" +
                                     (https_origin(s) ? "; Secure" : ""));
    res.set_header("Cache-Control", "no-store");
    res.set_redirect(url, 303);
}

void get_signin_callback(Service& s, const httplib::Request& req, httplib::Response& res) {
    const SigninProvider* p = signin_provider(s, req.matches[1].str());
    if (!p) return answer_page(res, "Unknown sign-in", "<p>This community does not sign in with that platform.</p>", 404);
    res.set_header("Cache-Control", "no-store");
    Params q;
    const std::string* state = query_params(req, &q) ? param(q, "state") : nullptr;
    auto in = state && is_hex(*state, 64) ? store_take_signin(*s.store, *state) : std::nullopt;
    if (!in || in->platform != p->platform)
        return refusal(res, 400, "Sign-in not recognised",
                       "This sign-in was already used, or is not one this service started.");
    const std::string& token = in->link_token;
    if (wall_ms() - in->created_ms > SIGNIN_STATE_TTL_MS)
        return refusal(res, 400, "Sign-in expired", "This sign-in took longer than 10 minutes and has expired.");
    if (browser_cookie(s, req) != in->browser)
        return refusal(res, 400, "Another browser", "This sign-in was started in another browser.");
    if (const std::string* error = param(q, "error")) {
        if (*error == "access_denied")
            return refusal(res, 400, "Sign-in cancelled", "You cancelled the sign-in at " + html_escape(p->shown) + ".");
        std::string said = *error;
        if (const std::string* d = param(q, "error_description")) said += ": " + *d;
        if (said.size() > 200 || !valid_utf8(said)) said = *error;
        return refusal(res, 502, "Sign-in refused",
                       html_escape(p->shown) + " refused the sign-in (" + html_escape(said) + ").");
    }
    const std::string* code = param(q, "code");
    // The provider's two calls may take longer than an ordinary answer is given.
    s.deadline.held(req.remote_addr, req.remote_port, std::chrono::seconds(SIGNIN_HOLD_S));
    if (!code || code->empty() || code->size() > 512)
        return refusal(res, 400, "Sign-in refused", html_escape(p->shown) + " sent no authorization code back.");
    SigninAnswer answer = fetch_person(s, *p, *code, in->verifier);
    if (const SigninRefusal* no = std::get_if<SigninRefusal>(&answer))
        return refusal(res, 502, "Sign-in refused", no->why_html);
    const Person& person = std::get<Person>(answer);
    int64_t account = 0;
    switch (store_link_identity(*s.store, token, p->platform, person.id, person.name, &account)) {
        case LinkResult::Linked: break;
        case LinkResult::AlreadyLinked:
            return answer_page(res, "Already linked", "<p>This installation is already linked. Go back to vimo and "
                                                      "click its speech bubble.</p>", 409);
        case LinkResult::UnknownToken:
        case LinkResult::NameTaken: return answer_page(res, "Unknown link", UNKNOWN_LINK_HTML, 404);
    }
    answer_page(res, "Logged in", "<p>Logged in as <b>" + html_escape(person.name) + "</b> with " + html_escape(p->shown) +
                                      ". Go back to vimo and click its speech bubble.</p>");
}

}  // namespace service_detail
