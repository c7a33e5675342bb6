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

// The installation token stands for: its login id, and whether it has a row yet.
// Linked here means "not linked yet, go on"; AlreadyLinked and UnknownToken are final.
LinkResult token_install(Store& s, const std::string& token, std::string* login_id, bool* stored) {
    *stored = false;
    {
        Stmt q(s, "SELECT account_id, login_id FROM installs WHERE link_token = ?1");
        q.bind(1, token);
        if (q.row()) {
            if (!q.null(0)) return LinkResult::AlreadyLinked;
            *login_id = q.text(1);
            *stored = true;
            return LinkResult::Linked;
        }
    }
    auto id = link_token_id(s, token);
    if (!id) return LinkResult::UnknownToken;
    *login_id = *id;
    Stmt q(s, "SELECT account_id FROM installs WHERE login_id = ?1");
    q.bind(1, *login_id);
    if (q.row()) {
        if (!q.null(0)) return LinkResult::AlreadyLinked;
        *stored = true;  // asked before tokens were derived; the derived token is as good
    }
    return LinkResult::Linked;
}

// Puts the installation under account: its row is made now when its page was never submitted.
void attach_install(Store& s, const std::string& login_id, const std::string& token, bool stored, int64_t account,
                    const std::string& now) {
    if (stored) {
        Stmt(s, "UPDATE installs SET account_id = ?1 WHERE login_id = ?2").bind(1, account).bind(2, login_id).run();
        return;
    }
    Stmt(s, "INSERT INTO installs(login_id, link_token, account_id, created_at) VALUES(?1, ?2, ?3, ?4)")
        .bind(1, login_id)
        .bind(2, token)
        .bind(3, account)
        .bind(4, now)
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

}  // namespace

LoginState store_login(Store& s, const std::string& login_id) {
    Reader r(s);
    LoginState out;
    Stmt q(r,
           "SELECT i.link_token, i.account_id, a.name, d.platform, d.user_id FROM installs i LEFT JOIN accounts a "
           "ON a.id = i.account_id LEFT JOIN identities d ON d.account_id = a.id WHERE i.login_id = ?1");
    q.bind(1, login_id);
    if (q.row()) {  // linked, or asked before tokens were derived: its stored token
        out.token = q.text(0);
        out.linked = !q.null(1);
        if (out.linked) {
            out.account = q.integer(1);
            out.name = q.text(2);
            out.platform = q.text(3);
            out.user_id = q.text(4);
        }
        return out;
    }
    out.token = derived_link_token(s, login_id);  // nothing stored until the page is submitted
    return out;
}

std::optional<LinkInfo> store_link_info(Store& s, const std::string& token) {
    Reader r(s);
    {
        Stmt q(r, "SELECT i.account_id, a.name FROM installs i LEFT JOIN accounts a ON a.id = i.account_id "
                  "WHERE i.link_token = ?1");
        q.bind(1, token);
        if (q.row()) {
            LinkInfo info;
            info.linked = !q.null(0);
            if (info.linked) info.name = q.text(1);
            return info;
        }
    }
    auto id = link_token_id(s, token);
    if (!id) return std::nullopt;
    LinkInfo info;  // an id linked under an older stored token
    Stmt q(r, "SELECT a.name FROM installs i JOIN accounts a ON a.id = i.account_id WHERE i.login_id = ?1");
    q.bind(1, *id);
    if (q.row()) {
        info.linked = true;
        info.name = q.text(0);
    }
    return info;
}

LinkResult store_link(Store& s, const std::string& token, const std::string& name) {
    std::lock_guard<std::mutex> lock(s.mutex);
    Transaction t(s);
    std::string login_id;
    bool stored = false;
    if (LinkResult r = token_install(s, token, &login_id, &stored); r != LinkResult::Linked) return r;
    NameKeys keys = name_keys(name);
    {
        // The same key; or, for a name with marks, the same letters without them (names_alike).
        Stmt q(s, "SELECT 1 FROM accounts WHERE name_key = ?1 OR (?2 AND name_base = ?3)");
        q.bind(1, keys.key).bind(2, int64_t(keys.marked())).bind(3, keys.base);
        if (q.row()) return LinkResult::NameTaken;
    }
    std::string now = iso8601(now_ms());
    int64_t account = insert_account(s, name, keys, now);
    attach_install(s, login_id, token, stored, account, now);
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
    bool stored = false;
    if (LinkResult r = token_install(s, token, &login_id, &stored); r != LinkResult::Linked) return r;
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
    attach_install(s, login_id, token, stored, id, now);
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
