// Accounts, the installations linked to them, and sign-ins with a platform (see
// store.h). An account is made by a typed name on the link page, or by a
// person's platform identity (identities: one row per (platform, user id), so
// every installation of that person joins the one account). Writes run under
// Store::mutex on the writer, reads on a Reader (sqlite.h).
#include "store/store.h"

#include "store/secrets.h"
#include "store/sqlite.h"

using namespace store_detail;

namespace {

constexpr int64_t SIGNIN_KEEP_MS = 24 * 3600 * 1000;  // sign-ins never finished are forgotten after a day

// An account row with the identity it signed in with ("web" and its number without one).
const char* const ACCOUNT_SELECT =
    "SELECT a.id, a.name, COALESCE(d.platform, 'web'), COALESCE(d.user_id, CAST(a.id AS TEXT)) FROM accounts a "
    "LEFT JOIN identities d ON d.account_id = a.id ";

AccountRef account_row(Stmt& q) { return {q.integer(0), q.text(1), q.text(2), q.text(3)}; }

// The account an ACCOUNT_SELECT query finds; sql must outlive the store (its
// statement is cached by address).
template <class Bind>
std::optional<AccountRef> first_account(Store& s, const std::string& sql, Bind bind) {
    Reader r(s);
    Stmt q(r, sql.c_str());
    bind(q);
    if (!q.row()) return std::nullopt;
    return account_row(q);
}

// The installation a live link token stands for, into *login_id. Linked here
// means "not linked yet, go on"; AlreadyLinked and UnknownToken (also expired) are final.
LinkResult token_install(Store& s, const std::string& token, std::string* login_id) {
    {
        Stmt q(s, "SELECT login_id FROM link_tokens WHERE token = ?1 AND expires_ms > ?2");
        q.bind(1, token).bind(2, now_ms());
        if (!q.row()) return LinkResult::UnknownToken;
        *login_id = q.text(0);
    }
    Stmt q(s, "SELECT 1 FROM installs WHERE login_id = ?1");
    q.bind(1, *login_id);
    return q.row() ? LinkResult::AlreadyLinked : LinkResult::Linked;
}

// Puts the installation under account. Its tokens stay until they expire, so a
// page opened again says it is linked rather than unknown.
void attach_install(Store& s, const std::string& login_id, int64_t account, const std::string& now) {
    Stmt(s, "INSERT INTO installs(login_id, account_id, created_at) VALUES(?1, ?2, ?3)")
        .bind(1, login_id)
        .bind(2, account)
        .bind(3, now)
        .run();
}

// A new account called name; its number.
int64_t insert_account(Store& s, const std::string& name, const NameKeys& keys, const std::string& now) {
    Stmt(s, "INSERT INTO accounts(name, created_at, name_key, name_base) VALUES(?1, ?2, ?3, ?4)")
        .bind(1, name)
        .bind(2, now)
        .bind(3, keys.key)
        .bind(4, keys.base)
        .run();
    return sqlite3_last_insert_rowid(s.db);
}

// The name /api/user answers for (platform, id).
void put_chatter(Store& s, const std::string& platform, const std::string& id, const std::string& name) {
    Stmt(s, "INSERT INTO chatters(platform, sender_id, name) VALUES(?1, ?2, ?3) "
            "ON CONFLICT(platform, sender_id) DO UPDATE SET name = excluded.name")
        .bind(1, platform)
        .bind(2, id)
        .bind(3, name)
        .run();
}

// The token login_id was handed that has at least LINK_TOKEN_REUSE_MS left, into
// out; false when there is none. q: a SELECT_REUSABLE statement on any connection.
const char* const SELECT_REUSABLE =
    "SELECT token, code FROM link_tokens WHERE login_id = ?1 AND expires_ms > ?2 ORDER BY expires_ms DESC LIMIT 1";
bool reusable_token(Stmt& q, const std::string& login_id, int64_t now, LoginState* out) {
    q.bind(1, login_id).bind(2, now + LINK_TOKEN_REUSE_MS);
    if (!q.row()) return false;
    out->token = q.text(0);
    out->code = q.text(1);
    return true;
}

}  // namespace

LoginState store_login(Store& s, const std::string& login_id) {
    LoginState out;
    {
        // Linked, or polling with a token it was handed: a read, which answers
        // while a write holds the lock.
        Reader r(s);
        Stmt q(r,
               "SELECT i.account_id, a.name, d.platform, d.user_id FROM installs i JOIN accounts a "
               "ON a.id = i.account_id LEFT JOIN identities d ON d.account_id = a.id WHERE i.login_id = ?1");
        q.bind(1, login_id);
        if (q.row()) {
            out.linked = true;
            out.account = q.integer(0);
            out.name = q.text(1);
            out.platform = q.text(2);
            out.user_id = q.text(3);
            return out;
        }
        Stmt live(r, SELECT_REUSABLE);
        if (reusable_token(live, login_id, now_ms(), &out)) return out;
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    Transaction t(s);
    int64_t now = now_ms();
    {
        Stmt again(s, SELECT_REUSABLE);  // another ask of the same id may have made one meanwhile
        if (reusable_token(again, login_id, now, &out)) return out;
    }
    // Expired tokens go whenever one is made, so the table holds live ones only.
    Stmt(s, "DELETE FROM link_tokens WHERE expires_ms <= ?1").bind(1, now).run();
    // 192 random bits: unguessable, and nothing in it is the login id's.
    out.token = random_hex(24);
    out.code = random_link_code();
    Stmt(s, "INSERT INTO link_tokens(token, login_id, code, expires_ms) VALUES(?1, ?2, ?3, ?4)")
        .bind(1, out.token)
        .bind(2, login_id)
        .bind(3, out.code)
        .bind(4, now + LINK_TOKEN_TTL_MS)
        .run();
    t.commit();
    return out;
}

std::optional<LinkInfo> store_link_info(Store& s, const std::string& token) {
    Reader r(s);
    Stmt q(r, "SELECT t.code, i.account_id, a.name FROM link_tokens t LEFT JOIN installs i ON i.login_id = t.login_id "
              "LEFT JOIN accounts a ON a.id = i.account_id WHERE t.token = ?1 AND t.expires_ms > ?2");
    q.bind(1, token).bind(2, now_ms());
    if (!q.row()) return std::nullopt;
    LinkInfo info;
    info.code = q.text(0);
    info.linked = !q.null(1);
    if (info.linked) info.name = q.text(2);
    return info;
}

LinkResult store_link(Store& s, const std::string& token, const std::string& name) {
    std::lock_guard<std::mutex> lock(s.mutex);
    Transaction t(s);
    std::string login_id;
    if (LinkResult r = token_install(s, token, &login_id); r != LinkResult::Linked) return r;
    NameKeys keys = name_keys(name);
    {
        // The same key; or, for a name with marks, the same letters without them (names_alike).
        Stmt q(s, "SELECT 1 FROM accounts WHERE name_key = ?1 OR (?2 AND name_base = ?3)");
        q.bind(1, keys.key).bind(2, int64_t(keys.marked())).bind(3, keys.base);
        if (q.row()) return LinkResult::NameTaken;
    }
    std::string now = iso8601(now_ms());
    int64_t account = insert_account(s, name, keys, now);
    attach_install(s, login_id, account, now);
    // The account speaks on the "web" platform under its number.
    put_chatter(s, "web", std::to_string(account), name);
    t.commit();
    return LinkResult::Linked;
}

LinkResult store_link_identity(Store& s, const std::string& token, const std::string& platform,
                               const std::string& user_id, const std::string& name, int64_t* account) {
    std::lock_guard<std::mutex> lock(s.mutex);
    Transaction t(s);
    std::string login_id;
    if (LinkResult r = token_install(s, token, &login_id); r != LinkResult::Linked) return r;
    std::string now = iso8601(now_ms());
    NameKeys keys = name_keys(name);
    int64_t id = 0;
    {
        Stmt q(s, "SELECT account_id FROM identities WHERE platform = ?1 AND user_id = ?2");
        q.bind(1, platform).bind(2, user_id);
        if (q.row()) id = q.integer(0);
    }
    if (id != 0) {  // another installation of the same person: the name as the platform says it today
        Stmt(s, "UPDATE accounts SET name = ?1, name_key = ?2, name_base = ?3 WHERE id = ?4")
            .bind(1, name)
            .bind(2, keys.key)
            .bind(3, keys.base)
            .bind(4, id)
            .run();
    } else {
        id = insert_account(s, name, keys, now);
        Stmt(s, "INSERT INTO identities(platform, user_id, account_id, linked_at) VALUES(?1, ?2, ?3, ?4)")
            .bind(1, platform)
            .bind(2, user_id)
            .bind(3, id)
            .bind(4, now)
            .run();
    }
    attach_install(s, login_id, id, now);
    put_chatter(s, "web", std::to_string(id), name);
    put_chatter(s, platform, user_id, name);  // its posts are chat of that platform id
    t.commit();
    *account = id;
    return LinkResult::Linked;
}

std::optional<AccountRef> store_account(Store& s, const std::string& login_id) {
    static const std::string sql = std::string(ACCOUNT_SELECT) + "JOIN installs i ON i.account_id = a.id WHERE i.login_id = ?1";
    return first_account(s, sql, [&](Stmt& q) { q.bind(1, login_id); });
}

std::optional<AccountRef> store_account_by_id(Store& s, int64_t id) {
    static const std::string sql = std::string(ACCOUNT_SELECT) + "WHERE a.id = ?1";
    return first_account(s, sql, [&](Stmt& q) { q.bind(1, id); });
}

std::vector<AccountRef> store_accounts(Store& s, int limit) {
    static const std::string sql = std::string(ACCOUNT_SELECT) + "ORDER BY a.id DESC LIMIT ?1";
    Reader r(s);
    Stmt q(r, sql.c_str());
    q.bind(1, int64_t(limit));
    std::vector<AccountRef> out;
    while (q.row()) out.push_back(account_row(q));
    return out;
}

void store_add_signin(Store& s, const std::string& state, const Signin& signin) {
    std::lock_guard<std::mutex> lock(s.mutex);
    Transaction t(s);
    int64_t now = now_ms();
    Stmt(s, "DELETE FROM signins WHERE created_ms < ?1").bind(1, now - SIGNIN_KEEP_MS).run();
    Stmt(s, "INSERT INTO signins(state, platform, link_token, verifier, browser, created_ms) "
            "VALUES(?1, ?2, ?3, ?4, ?5, ?6)")
        .bind(1, state)
        .bind(2, signin.platform)
        .bind(3, signin.link_token)
        .bind(4, signin.verifier)
        .bind(5, signin.browser)
        .bind(6, signin.created_ms)
        .run();
    t.commit();
}

std::optional<Signin> store_take_signin(Store& s, const std::string& state) {
    std::lock_guard<std::mutex> lock(s.mutex);
    // One statement finds and deletes: two callbacks with the same state cannot both take it.
    Stmt q(s, "DELETE FROM signins WHERE state = ?1 RETURNING platform, link_token, verifier, browser, created_ms");
    q.bind(1, state);
    if (!q.row()) return std::nullopt;
    Signin out{q.text(0), q.text(1), q.text(2), q.text(3), q.integer(4)};
    while (q.row()) {
    }
    return out;
}
