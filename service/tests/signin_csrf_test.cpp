// What an attacker on another page, with a planted cookie or with a link token
// read off a page could do to link their installation to somebody else: tokens
// that say nothing of the installation, forms only from the service's own
// pages, a cookie the service always makes itself, and tokens that run out.
#include <regex>

#include "signin_fixture.h"

using namespace signin_test;

namespace {

std::string hex_of(const std::string& text) {
    static const char HEX[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) out += std::string{HEX[c >> 4], HEX[c & 15]};
    return out;
}

const std::string ID_A = "1056964608:0:1065353216", ID_B = "1056964608:0:1065353217";
const std::string FORM = "application/x-www-form-urlencoded";

// Tokens are random: nothing of the login id in them, two installations with
// ids alike share nothing, and each page has a short code easy to read back.
TEST_F(SigninTest, LinkTokensAreRandomAndEachPageShowsItsCode) {
    const std::string id_a = ID_A, id_b = ID_B;
    json ask_a = login(id_a), ask_b = login(id_b);
    std::string tok_a = link_token(id_a), tok_b = link_token(id_b);
    for (const std::string& tok : {tok_a, tok_b}) {
        EXPECT_EQ(tok.size(), 48u);
        for (const std::string& id : {id_a, id_b}) {
            EXPECT_EQ(tok.find(hex_of(id)), std::string::npos);
            EXPECT_EQ(tok.find(hex_of(id.substr(0, 6))), std::string::npos);  // not even a part
            EXPECT_EQ(tok.find(id.substr(0, 6)), std::string::npos);
        }
    }
    EXPECT_NE(tok_a.substr(0, 16), tok_b.substr(0, 16));
    const std::regex code_shape("[2-9A-HJ-NP-Z]{3}-[2-9A-HJ-NP-Z]{3}");
    std::string code_a = ask_a["code"];
    EXPECT_TRUE(std::regex_match(code_a, code_shape)) << code_a;
    EXPECT_NE(code_a, ask_b["code"].get<std::string>());
    // Asking again hands out the same token and code: polls make no rows.
    for (int i = 0; i < 20; ++i) login(id_a);
    EXPECT_EQ(link_token(id_a), tok_a);
    EXPECT_EQ(login(id_a)["code"], code_a);
    EXPECT_EQ(db_number("SELECT COUNT(*) FROM link_tokens"), 2);
    Answer page = get("/link?token=" + tok_a);
    EXPECT_NE(page.body.find("Is this the code your mascot shows?"), std::string::npos);
    EXPECT_NE(page.body.find("<b>" + code_a + "</b>"), std::string::npos) << page.body;
    EXPECT_EQ(page.body.find(ask_b["code"].get<std::string>()), std::string::npos);
}

TEST_F(SigninTest, OnlyTheServicesOwnPagesPostLinksAndSignIns) {
    std::string tok_a = link_token(ID_A), tok_b = link_token(ID_B);
    // Typed names: another site's form, a sibling host, no sign at all: 403, nothing linked.
    const std::string form = FORM, typed = "token=" + tok_a + "&name=Mallory";
    for (const httplib::Headers& h : std::vector<httplib::Headers>{{{"Origin", "https://evil.example"}},
                                                                  {{"Sec-Fetch-Site", "same-site"}},
                                                                  {{"Sec-Fetch-Site", "cross-site"}},
                                                                  {{"Sec-Fetch-Site", "none"}, {"Origin", origin()}}}) {
        Answer a = call("POST", "/link", typed, "", form, h);
        EXPECT_EQ(a.status, 403) << h.begin()->first << ": " << h.begin()->second;
        EXPECT_EQ(a.body.find(tok_a), std::string::npos);
    }
    auto bare = httplib::Client("127.0.0.1", port).Post("/link", typed, form.c_str());
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->status, 403);
    EXPECT_EQ(stored_people(), 0);

    // Sign-in: the same refusals at POST /auth/twitch, and no state kept.
    std::string twitch = start_provider("twitch", TWITCH_USERS);
    use_providers(twitch, "");
    // The buttons' redirect to the platform is within the page's form-action.
    Answer buttons = get("/link?token=" + tok_b);
    EXPECT_EQ(buttons.headers.count("Content-Security-Policy"), 1u);
    EXPECT_NE(buttons.header("Content-Security-Policy").find("form-action 'self' " + twitch), std::string::npos)
        << buttons.header("Content-Security-Policy");
    for (const httplib::Headers& h : std::vector<httplib::Headers>{{{"Origin", "https://evil.example"}},
                                                                  {{"Origin", "null"}},
                                                                  {{"Sec-Fetch-Site", "same-site"}},
                                                                  {{"Sec-Fetch-Site", "cross-site"}, {"Origin", origin()}}}) {
        Answer a = call("POST", "/auth/twitch", "token=" + tok_a, "", form, h);
        EXPECT_EQ(a.status, 403) << h.begin()->first << ": " << h.begin()->second;
        EXPECT_EQ(a.header("Location"), "");
        EXPECT_EQ(a.header("Set-Cookie"), "");
    }
    bare = httplib::Client("127.0.0.1", port).Post("/auth/twitch", "token=" + tok_a, form.c_str());
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->status, 403);
    EXPECT_EQ(db_number("SELECT COUNT(*) FROM signins"), 0);
    // A browser without Sec-Fetch-Site is believed by its Origin when that is the service's own.
    Answer own = call("POST", "/auth/twitch", "token=" + tok_a, "", form, {{"Origin", origin()}});
    EXPECT_EQ(own.status, 303);
}

TEST_F(SigninTest, APlantedCookieOrAnOldTokenLinksNothing) {
    const std::string id_a = ID_A;
    std::string tok_a = link_token(id_a);
    use_providers(start_provider("twitch", TWITCH_USERS), "");
    // A planted cookie is never adopted: the attacker starts a sign-in for their
    // installation with the value planted in the victim's browser, and the victim,
    // sent to the provider's page, authorizes it; the callback in the victim's
    // browser does not match the fresh value the attacker's start was bound to.
    const std::string planted = "vimo_signin=" + std::string(32, 'a');
    Browser attacker, victim;
    attacker.cookie = victim.cookie = planted;
    std::string authorize = start(attacker, "twitch", tok_a);
    EXPECT_NE(attacker.cookie, planted);
    EXPECT_TRUE(std::regex_match(attacker.cookie, std::regex("vimo_signin=[0-9a-f]{32}"))) << attacker.cookie;
    Answer refused = victim.request("GET", consent(victim, authorize, "allow", "fan"));
    EXPECT_EQ(refused.status, 400);
    EXPECT_NE(refused.body.find("another browser"), std::string::npos);
    EXPECT_EQ(refused.body.find(tok_a), std::string::npos);
    EXPECT_EQ(stored_people(), 0);
    EXPECT_EQ(login(id_a)["status"], false);
    // A token past its 30 minutes: unknown, its page shows no token, and the next
    // ask purges it and hands out a fresh one with a fresh code.
    db_exec("UPDATE link_tokens SET expires_ms = 1 WHERE token = '" + tok_a + "'");
    Answer gone = victim.request("POST", origin() + "/auth/twitch", "token=" + tok_a);
    EXPECT_EQ(gone.status, 404);
    EXPECT_EQ(gone.body.find(tok_a), std::string::npos);
    EXPECT_EQ(get("/link?token=" + tok_a).status, 404);
    EXPECT_NE(link_token(id_a), tok_a);
    EXPECT_EQ(db_number(("SELECT COUNT(*) FROM link_tokens WHERE token = '" + tok_a + "'").c_str()), 0);
    // Less than 15 minutes left: a fresh token, the old one still good to the end.
    std::string tok_a2 = link_token(id_a);
    db_exec("UPDATE link_tokens SET expires_ms = expires_ms - 20 * 60 * 1000");
    std::string tok_a3 = link_token(id_a);
    EXPECT_NE(tok_a3, tok_a2);
    EXPECT_EQ(get("/link?token=" + tok_a2).status, 200);
}

// Over https the cookie is __Host- bound: Secure, Path=/, no Domain.
TEST_F(SigninTest, OverHttpsTheSigninCookieIsHostBound) {
    std::string twitch = start_provider("twitch", TWITCH_USERS);
    options.origin = "https://chat.example.org";
    use_providers(twitch, "");
    Answer https = call("POST", "/auth/twitch", "token=" + link_token(ID_B), "", FORM,
                        {{"Origin", "https://chat.example.org"}});
    EXPECT_EQ(https.status, 303) << https.body;
    std::string set = https.header("Set-Cookie");
    EXPECT_EQ(set.rfind("__Host-vimo_signin=", 0), 0u) << set;
    for (const char* part : {"; Path=/;", "; HttpOnly", "; SameSite=Lax", "; Secure"})
        EXPECT_NE(set.find(part), std::string::npos) << part << " in " << set;
    EXPECT_EQ(set.find("Domain"), std::string::npos);
}

}  // namespace
