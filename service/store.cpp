// SQLite storage of the community service.
#include "store.h"

#include <chrono>
#include <ctime>
#include <map>
#include <mutex>
#include <stdexcept>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include "text.h"

// One SQLite connection and its cached statements.
struct Conn {
    sqlite3* db = nullptr;
    std::map<const char*, sqlite3_stmt*> statements;  // keyed by the SQL literal's address
    Conn() = default;
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;
    ~Conn() {
        for (auto& [sql, st] : statements) sqlite3_finalize(st);
        if (db) sqlite3_close(db);
    }
};

// The Conn part is the one writer; reads run on connections of their own (WAL lets
// them see the last commit while a write is under way), taken from a pool.
struct Store : Conn {
    std::mutex mutex;                            // guards the writer and what follows
    std::string path;
    std::mutex pool_mutex;                       // guards idle
    std::vector<std::unique_ptr<Conn>> idle;     // read connections not in use
    std::string instance;
    std::string link_secret;                     // 32 random bytes: keys the link tokens
    std::string admin_hash;                      // SHA-256 of the admin token (raw bytes); "" until set
    int64_t last_post_ms = 0;                    // keeps createdAt strictly increasing
    int64_t keep = 5000;                         // messages kept; older ones are deleted
    WordList words;                              // blocked words, as stored in blocked_words
};

namespace {

const char* SCHEMA = R"SQL(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS accounts(id INTEGER PRIMARY KEY, name TEXT NOT NULL, created_at TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS installs(login_id TEXT PRIMARY KEY, link_token TEXT NOT NULL UNIQUE,
  account_id INTEGER REFERENCES accounts(id), created_at TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS chatters(platform TEXT NOT NULL, sender_id TEXT NOT NULL, name TEXT NOT NULL,
  PRIMARY KEY(platform, sender_id));
CREATE TABLE IF NOT EXISTS messages(seq INTEGER PRIMARY KEY AUTOINCREMENT, platform TEXT NOT NULL,
  sender TEXT NOT NULL, text TEXT NOT NULL, created_at TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS live(handle TEXT PRIMARY KEY, position INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS blog(seq INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT NOT NULL UNIQUE,
  title TEXT NOT NULL, link TEXT NOT NULL, description TEXT NOT NULL, published_at TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS posts(seq INTEGER PRIMARY KEY AUTOINCREMENT, actor TEXT NOT NULL,
  text TEXT NOT NULL, created_at TEXT NOT NULL, created_ms INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS bans(platform TEXT NOT NULL, sender TEXT NOT NULL, created_at TEXT NOT NULL,
  PRIMARY KEY(platform, sender));
CREATE TABLE IF NOT EXISTS blocked_words(position INTEGER PRIMARY KEY, word TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS mod_log(seq INTEGER PRIMARY KEY AUTOINCREMENT, at TEXT NOT NULL, action TEXT NOT NULL,
  target TEXT NOT NULL, detail TEXT NOT NULL);
)SQL";

// Columns added after the first release: (table, column, definition).
const char* const ADDED_COLUMNS[][3] = {
    {"messages", "removed", "INTEGER NOT NULL DEFAULT 0"},
    {"messages", "blocked", "INTEGER NOT NULL DEFAULT 0"},
    {"accounts", "name_key", "TEXT"},
};

[[noreturn]] void fail(Conn& s, const char* what) {
    throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(s.db));
}

// A cached prepared statement, reset and unbound when the scope ends.
class Stmt {
public:
    Stmt(Conn& s, const char* sql) : s_(s) {
        sqlite3_stmt*& st = s.statements[sql];
        if (st == nullptr && sqlite3_prepare_v3(s.db, sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr) != SQLITE_OK)
            fail(s, "prepare");
        st_ = st;
    }
    ~Stmt() {
        sqlite3_reset(st_);
        sqlite3_clear_bindings(st_);
    }
    Stmt& bind(int i, const std::string& v) {
        if (sqlite3_bind_text(st_, i, v.data(), int(v.size()), SQLITE_TRANSIENT) != SQLITE_OK) fail(s_, "bind");
        return *this;
    }
    Stmt& bind(int i, int64_t v) {
        if (sqlite3_bind_int64(st_, i, v) != SQLITE_OK) fail(s_, "bind");
        return *this;
    }
    bool row() {  // step; true while a row is available
        int rc = sqlite3_step(st_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        fail(s_, "step");
    }
    void run() {
        while (row()) {
        }
    }
    std::string text(int col) {
        auto p = reinterpret_cast<const char*>(sqlite3_column_text(st_, col));
        return p ? std::string(p, size_t(sqlite3_column_bytes(st_, col))) : std::string();
    }
    int64_t integer(int col) { return sqlite3_column_int64(st_, col); }
    bool null(int col) { return sqlite3_column_type(st_, col) == SQLITE_NULL; }

private:
    Conn& s_;
    sqlite3_stmt* st_;
};

void exec(Conn& s, const char* sql) {
    if (sqlite3_exec(s.db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(s, "exec");
}

// All-or-nothing groups of writes.
struct Transaction {
    Store& s;
    bool done = false;
    explicit Transaction(Store& st) : s(st) { Stmt(s, "BEGIN IMMEDIATE").run(); }
    void commit() {
        Stmt(s, "COMMIT").run();
        done = true;
    }
    ~Transaction() {
        if (!done) sqlite3_exec(s.db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
};

std::string to_hex(const unsigned char* p, size_t n) {
    static const char HEX[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += HEX[p[i] >> 4];
        out += HEX[p[i] & 15];
    }
    return out;
}

std::string random_bytes(size_t n) {
    std::string out(n, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), int(n)) != 1)
        throw std::runtime_error("no random bytes");
    return out;
}

// A read connection for one call, back to the pool afterwards.
class Reader {
public:
    explicit Reader(Store& s) : s_(s) {
        {
            std::lock_guard<std::mutex> lock(s.pool_mutex);
            if (!s.idle.empty()) {
                c_ = std::move(s.idle.back());
                s.idle.pop_back();
                return;
            }
        }
        c_ = std::make_unique<Conn>();
        if (sqlite3_open_v2(s.path.c_str(), &c_->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
            fail(*c_, "open");
        sqlite3_busy_timeout(c_->db, 5000);
        exec(*c_, "PRAGMA query_only=ON;");
    }
    ~Reader() {
        std::lock_guard<std::mutex> lock(s_.pool_mutex);
        s_.idle.push_back(std::move(c_));
    }
    operator Conn&() { return *c_; }

private:
    Store& s_;
    std::unique_ptr<Conn> c_;
};

std::string random_hex(size_t bytes) {
    std::string raw = random_bytes(bytes);
    return to_hex(reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
}

bool from_hex(const std::string& hex, std::string* out) {
    auto val = [](char h) -> int {
        if (h >= '0' && h <= '9') return h - '0';
        if (h >= 'a' && h <= 'f') return h - 'a' + 10;
        return -1;
    };
    if (hex.size() % 2) return false;
    out->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = val(hex[i]), lo = val(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        *out += char(hi * 16 + lo);
    }
    return true;
}

// Link tokens: 32 hex of HMAC-SHA256(secret, login id), then the id in hex. The
// server alone can make one, so the link page needs no row until it is submitted.
constexpr size_t LINK_MAC_HEX = 32;

std::string link_mac(const Store& s, const std::string& login_id) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (!HMAC(EVP_sha256(), s.link_secret.data(), int(s.link_secret.size()),
              reinterpret_cast<const unsigned char*>(login_id.data()), login_id.size(), mac, &len))
        throw std::runtime_error("HMAC failed");
    return to_hex(mac, LINK_MAC_HEX / 2);
}

std::string sha256(const std::string& data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    return std::string(reinterpret_cast<const char*>(md), len);
}

std::string derived_link_token(const Store& s, const std::string& login_id) {
    return link_mac(s, login_id) + to_hex(reinterpret_cast<const unsigned char*>(login_id.data()), login_id.size());
}

// The login id a derived token was made for, or nullopt when it is not one of ours.
std::optional<std::string> link_token_id(const Store& s, const std::string& token) {
    std::string id;
    if (token.size() <= LINK_MAC_HEX || !from_hex(token.substr(LINK_MAC_HEX), &id)) return std::nullopt;
    std::string mac = link_mac(s, id);
    if (CRYPTO_memcmp(mac.data(), token.data(), LINK_MAC_HEX) != 0) return std::nullopt;
    return id;
}

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string iso8601(int64_t ms) {
    std::time_t secs = std::time_t(ms / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    char out[48];
    std::snprintf(out, sizeof out, "%s.%03dZ", buf, int(ms % 1000));
    return out;
}

std::string rfc822(int64_t ms) {
    std::time_t secs = std::time_t(ms / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    static const char* DAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char out[64];
    std::snprintf(out, sizeof out, "%s, %02d %s %04d %02d:%02d:%02d GMT", DAYS[tm.tm_wday], tm.tm_mday,
                  MONTHS[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return out;
}

std::optional<std::string> meta_get(Conn& s, const std::string& key) {
    Stmt q(s, "SELECT value FROM meta WHERE key = ?1");
    q.bind(1, key);
    if (q.row()) return q.text(0);
    return std::nullopt;
}

void meta_put(Conn& s, const std::string& key, const std::string& value) {
    Stmt(s, "INSERT INTO meta(key, value) VALUES(?1, ?2)").bind(1, key).bind(2, value).run();
}

bool has_column(Conn& s, const std::string& table, const std::string& column) {
    Stmt q(s, "SELECT 1 FROM pragma_table_info(?1) WHERE name = ?2");
    q.bind(1, table).bind(2, column);
    return q.row();
}

// Brings a database of an older version up to this one's schema; the writer's lock is held.
void migrate(Store& s) {
    for (const auto& c : ADDED_COLUMNS) {
        if (has_column(s, c[0], c[1])) continue;
        std::string sql = std::string("ALTER TABLE ") + c[0] + " ADD COLUMN " + c[1] + " " + c[2];
        exec(s, sql.c_str());
    }
    {
        Transaction t(s);
        std::vector<std::pair<int64_t, std::string>> unkeyed;
        {
            Stmt q(s, "SELECT id, name FROM accounts WHERE name_key IS NULL");
            while (q.row()) unkeyed.emplace_back(q.integer(0), q.text(1));
        }
        for (const auto& [id, name] : unkeyed)
            Stmt(s, "UPDATE accounts SET name_key = ?1 WHERE id = ?2").bind(1, text_key(name)).bind(2, id).run();
        t.commit();
    }
    // Not UNIQUE: accounts named alike before names were compared this way keep their names.
    exec(s, "CREATE INDEX IF NOT EXISTS accounts_name_key ON accounts(name_key);");
    std::vector<std::string> words;
    Stmt q(s, "SELECT word FROM blocked_words ORDER BY position");
    while (q.row()) words.push_back(q.text(0));
    s.words.set(words);
}

void log_action(Store& s, const std::string& action, const std::string& target, const std::string& detail) {
    Stmt(s, "INSERT INTO mod_log(at, action, target, detail) VALUES(?1, ?2, ?3, ?4)")
        .bind(1, iso8601(now_ms()))
        .bind(2, action)
        .bind(3, target)
        .bind(4, detail)
        .run();
}

}  // namespace

StorePtr store_open(const std::string& path, std::string* error) {
    StorePtr s(new Store);
    s->path = path;
    // The file holds secrets: only the owner may read it. SQLite gives the -wal and
    // -shm files the database file's mode; files from older versions are narrowed.
    mode_t old_mask = umask(077);
    int rc = sqlite3_open_v2(path.c_str(), &s->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    umask(old_mask);
    if (rc != SQLITE_OK) {
        if (error) *error = s->db ? sqlite3_errmsg(s->db) : "cannot open database";
        sqlite3_close(s->db);
        s->db = nullptr;
        return nullptr;
    }
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) chmod((path + suffix).c_str(), 0600);
    try {
        sqlite3_busy_timeout(s->db, 1000);  // the writer gives up soon; readers never wait for it
        // secure_delete: a replaced secret leaves no copy in free pages.
        exec(*s, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON; PRAGMA secure_delete=ON;");
        exec(*s, SCHEMA);
        std::lock_guard<std::mutex> lock(s->mutex);
        migrate(*s);
        auto inst = meta_get(*s, "instance");
        if (!inst) {
            inst = random_hex(4);
            meta_put(*s, "instance", *inst);
        }
        s->instance = *inst;
        auto secret = meta_get(*s, "link_secret");
        if (!secret) {
            secret = random_hex(32);
            meta_put(*s, "link_secret", *secret);
        }
        from_hex(*secret, &s->link_secret);
        // Only a hash of the admin token is kept; a plain one from an older version is replaced.
        if (auto plain = meta_get(*s, "admin_token")) {
            Transaction t(*s);
            meta_put(*s, "admin_token_sha256", [&] {
                std::string h = sha256(*plain);
                return to_hex(reinterpret_cast<const unsigned char*>(h.data()), h.size());
            }());
            Stmt(*s, "DELETE FROM meta WHERE key = 'admin_token'").run();
            t.commit();
            exec(*s, "PRAGMA wal_checkpoint(TRUNCATE)");
        }
        if (auto hash = meta_get(*s, "admin_token_sha256")) from_hex(*hash, &s->admin_hash);
        Stmt q(*s, "SELECT COALESCE(MAX(created_ms), 0) FROM posts");
        if (q.row()) s->last_post_ms = q.integer(0);
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        store_close(s);
        return nullptr;
    }
    return s;
}

void StoreDeleter::operator()(Store* s) const { delete s; }

void store_close(StorePtr& s) { s.reset(); }

std::string store_admin_token(Store& s, bool* created) {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (created) *created = false;
    if (!s.admin_hash.empty()) return "";
    std::string token = random_hex(16);
    std::string hash = sha256(token);
    meta_put(s, "admin_token_sha256", to_hex(reinterpret_cast<const unsigned char*>(hash.data()), hash.size()));
    s.admin_hash = hash;
    if (created) *created = true;
    return token;
}

bool store_admin_token_matches(Store& s, const std::string& given) {
    std::string hash = sha256(given);
    std::lock_guard<std::mutex> lock(s.mutex);
    return !s.admin_hash.empty() && s.admin_hash.size() == hash.size() &&
           CRYPTO_memcmp(s.admin_hash.data(), hash.data(), hash.size()) == 0;
}

std::string store_instance(Store& s) {
    return s.instance;  // fixed once open: no lock, so readers never wait for the writer
}

LoginState store_login(Store& s, const std::string& login_id) {
    Reader r(s);
    LoginState out;
    Stmt q(r,
           "SELECT i.link_token, i.account_id, a.name FROM installs i LEFT JOIN accounts a ON a.id = i.account_id "
           "WHERE i.login_id = ?1");
    q.bind(1, login_id);
    if (q.row()) {  // linked, or asked before tokens were derived: its stored token
        out.token = q.text(0);
        out.linked = !q.null(1);
        if (out.linked) {
            out.account = q.integer(1);
            out.name = q.text(2);
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
    if (auto account = [&]() -> std::optional<std::string> {
            Stmt q(r, "SELECT a.name FROM installs i JOIN accounts a ON a.id = i.account_id WHERE i.login_id = ?1");
            q.bind(1, *id);
            if (q.row()) return q.text(0);
            return std::nullopt;
        }()) {
        info.linked = true;
        info.name = *account;
    }
    return info;
}

LinkResult store_link(Store& s, const std::string& token, const std::string& name) {
    std::lock_guard<std::mutex> lock(s.mutex);
    Transaction t(s);
    std::string login_id;
    bool stored = false;
    {
        Stmt q(s, "SELECT account_id, login_id FROM installs WHERE link_token = ?1");
        q.bind(1, token);
        if (q.row()) {
            if (!q.null(0)) return LinkResult::AlreadyLinked;
            login_id = q.text(1);
            stored = true;
        }
    }
    if (!stored) {
        auto id = link_token_id(s, token);
        if (!id) return LinkResult::UnknownToken;
        login_id = *id;
        Stmt q(s, "SELECT account_id FROM installs WHERE login_id = ?1");
        q.bind(1, login_id);
        if (q.row()) {
            if (!q.null(0)) return LinkResult::AlreadyLinked;
            stored = true;  // asked before tokens were derived; the derived token is as good
        }
    }
    std::string key = text_key(name);
    {
        Stmt q(s, "SELECT 1 FROM accounts WHERE name_key = ?1");
        q.bind(1, key);
        if (q.row()) return LinkResult::NameTaken;
    }
    std::string now = iso8601(now_ms());
    Stmt(s, "INSERT INTO accounts(name, created_at, name_key) VALUES(?1, ?2, ?3)").bind(1, name).bind(2, now).bind(3, key).run();
    int64_t account = sqlite3_last_insert_rowid(s.db);
    if (stored) {
        Stmt(s, "UPDATE installs SET account_id = ?1 WHERE login_id = ?2").bind(1, account).bind(2, login_id).run();
    } else {
        Stmt(s, "INSERT INTO installs(login_id, link_token, account_id, created_at) VALUES(?1, ?2, ?3, ?4)")
            .bind(1, login_id)
            .bind(2, token)
            .bind(3, account)
            .bind(4, now)
            .run();
    }
    // The account speaks on the "web" platform under its number.
    Stmt(s, "INSERT INTO chatters(platform, sender_id, name) VALUES('web', ?1, ?2) "
            "ON CONFLICT(platform, sender_id) DO UPDATE SET name = excluded.name")
        .bind(1, std::to_string(account))
        .bind(2, name)
        .run();
    t.commit();
    return LinkResult::Linked;
}

std::optional<std::pair<int64_t, std::string>> store_account(Store& s, const std::string& login_id) {
    Reader r(s);
    Stmt q(r, "SELECT a.id, a.name FROM installs i JOIN accounts a ON a.id = i.account_id WHERE i.login_id = ?1");
    q.bind(1, login_id);
    if (!q.row()) return std::nullopt;
    return std::make_pair(q.integer(0), q.text(1));
}

std::optional<int64_t> store_add_message(Store& s, const std::string& platform, const std::string& sender,
                                         const std::string& sender_name, const std::string& text) {
    std::lock_guard<std::mutex> lock(s.mutex);
    {
        Stmt q(s, "SELECT 1 FROM bans WHERE platform = ?1 AND sender = ?2");
        q.bind(1, platform).bind(2, sender);
        if (q.row()) return std::nullopt;
    }
    Transaction t(s);
    if (platform != "corvane") {
        Stmt(s, "INSERT INTO chatters(platform, sender_id, name) VALUES(?1, ?2, ?3) "
                "ON CONFLICT(platform, sender_id) DO UPDATE SET name = excluded.name")
            .bind(1, platform)
            .bind(2, sender)
            .bind(3, sender_name)
            .run();
    }
    Stmt(s, "INSERT INTO messages(platform, sender, text, created_at, blocked) VALUES(?1, ?2, ?3, ?4, ?5)")
        .bind(1, platform)
        .bind(2, sender)
        .bind(3, text)
        .bind(4, iso8601(now_ms()))
        .bind(5, int64_t(s.words.matches(text)))
        .run();
    int64_t seq = sqlite3_last_insert_rowid(s.db);
    // Seqs only grow, so the newest `keep` messages are those above seq - keep.
    Stmt(s, "DELETE FROM messages WHERE seq <= ?1").bind(1, seq - s.keep).run();
    t.commit();
    return seq;
}

void store_set_keep(Store& s, int64_t messages) {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.keep = std::max<int64_t>(1, messages);
}

std::vector<StoredMessage> store_chat_page(Store& s, int count) {
    Reader r(s);
    std::vector<StoredMessage> out;
    Stmt q(r, "SELECT seq, platform, sender, text FROM messages m WHERE removed = 0 AND blocked = 0 AND NOT EXISTS "
              "(SELECT 1 FROM bans b WHERE b.platform = m.platform AND b.sender = m.sender) ORDER BY seq DESC LIMIT ?1");
    q.bind(1, int64_t(count));
    while (q.row()) out.push_back({q.integer(0), q.text(1), q.text(2), q.text(3)});
    return {out.rbegin(), out.rend()};
}

namespace {
const char* const MODERATED_SELECT =
    "SELECT seq, platform, sender, text, removed, blocked, EXISTS(SELECT 1 FROM bans b WHERE b.platform = m.platform "
    "AND b.sender = m.sender) FROM messages m ";

StoredMessage moderated_row(Stmt& q) {
    StoredMessage m{q.integer(0), q.text(1), q.text(2), q.text(3)};
    m.removed = q.integer(4) != 0;
    m.blocked = q.integer(5) != 0;
    m.banned = q.integer(6) != 0;
    return m;
}
}  // namespace

std::vector<StoredMessage> store_recent_messages(Store& s, int limit) {
    static const std::string sql = std::string(MODERATED_SELECT) + "ORDER BY seq DESC LIMIT ?1";
    Reader r(s);
    std::vector<StoredMessage> out;
    Stmt q(r, sql.c_str());
    q.bind(1, int64_t(limit));
    while (q.row()) out.push_back(moderated_row(q));
    return out;
}

std::optional<StoredMessage> store_message(Store& s, int64_t seq) {
    static const std::string sql = std::string(MODERATED_SELECT) + "WHERE seq = ?1";
    Reader r(s);
    Stmt q(r, sql.c_str());
    q.bind(1, seq);
    if (q.row()) return moderated_row(q);
    return std::nullopt;
}

bool store_remove_message(Store& s, int64_t seq) {
    std::lock_guard<std::mutex> lock(s.mutex);
    Transaction t(s);
    std::string target, text;
    {
        Stmt q(s, "SELECT platform, sender, text FROM messages WHERE seq = ?1 AND removed = 0");
        q.bind(1, seq);
        if (!q.row()) return false;
        target = q.text(0) + ":" + q.text(1);
        text = q.text(2);
    }
    Stmt(s, "UPDATE messages SET removed = 1 WHERE seq = ?1").bind(1, seq).run();
    log_action(s, "delete", std::to_string(seq), target + ": " + text);
    t.commit();
    return true;
}

bool store_set_banned(Store& s, const std::string& platform, const std::string& sender, bool banned) {
    std::lock_guard<std::mutex> lock(s.mutex);
    Transaction t(s);
    if (banned) {
        Stmt(s, "INSERT OR IGNORE INTO bans(platform, sender, created_at) VALUES(?1, ?2, ?3)")
            .bind(1, platform)
            .bind(2, sender)
            .bind(3, iso8601(now_ms()))
            .run();
    } else {
        Stmt(s, "DELETE FROM bans WHERE platform = ?1 AND sender = ?2").bind(1, platform).bind(2, sender).run();
    }
    if (sqlite3_changes(s.db) == 0) return false;
    log_action(s, banned ? "ban" : "unban", platform + ":" + sender, "");
    t.commit();
    return true;
}

std::vector<std::pair<std::string, std::string>> store_bans(Store& s) {
    Reader r(s);
    std::vector<std::pair<std::string, std::string>> out;
    Stmt q(r, "SELECT platform, sender FROM bans ORDER BY created_at, platform, sender");
    while (q.row()) out.emplace_back(q.text(0), q.text(1));
    return out;
}

void store_set_blocked_words(Store& s, const std::vector<std::string>& words) {
    std::lock_guard<std::mutex> lock(s.mutex);
    WordList list;
    list.set(words);
    Transaction t(s);
    Stmt(s, "DELETE FROM blocked_words").run();
    int64_t pos = 0;
    std::string detail;
    for (const auto& w : words) {
        Stmt(s, "INSERT INTO blocked_words(position, word) VALUES(?1, ?2)").bind(1, pos++).bind(2, w).run();
        detail += (detail.empty() ? "" : "\n") + w;
    }
    std::vector<std::pair<int64_t, bool>> changed;
    {
        Stmt q(s, "SELECT seq, text, blocked FROM messages");
        while (q.row()) {
            bool now = list.matches(q.text(1));
            if (now != (q.integer(2) != 0)) changed.emplace_back(q.integer(0), now);
        }
    }
    for (const auto& [seq, blocked] : changed)
        Stmt(s, "UPDATE messages SET blocked = ?1 WHERE seq = ?2").bind(1, int64_t(blocked)).bind(2, seq).run();
    log_action(s, "words", "", detail);
    t.commit();
    s.words = std::move(list);
}

std::vector<std::string> store_blocked_words(Store& s) {
    Reader r(s);
    std::vector<std::string> out;
    Stmt q(r, "SELECT word FROM blocked_words ORDER BY position");
    while (q.row()) out.push_back(q.text(0));
    return out;
}

std::vector<ModAction> store_mod_log(Store& s, int limit) {
    Reader r(s);
    std::vector<ModAction> out;
    Stmt q(r, "SELECT seq, at, action, target, detail FROM mod_log ORDER BY seq DESC LIMIT ?1");
    q.bind(1, int64_t(limit));
    while (q.row()) out.push_back({q.integer(0), q.text(1), q.text(2), q.text(3), q.text(4)});
    return out;
}

std::optional<std::string> store_chatter_name(Store& s, const std::string& platform, const std::string& id) {
    Reader r(s);
    Stmt q(r, "SELECT name FROM chatters WHERE platform = ?1 AND sender_id = ?2");
    q.bind(1, platform).bind(2, id);
    if (q.row()) return q.text(0);
    return std::nullopt;
}

void store_set_live(Store& s, const std::vector<std::string>& handles) {
    std::lock_guard<std::mutex> lock(s.mutex);
    Transaction t(s);
    Stmt(s, "DELETE FROM live").run();
    int64_t pos = 0;
    for (const auto& h : handles)
        Stmt(s, "INSERT OR IGNORE INTO live(handle, position) VALUES(?1, ?2)").bind(1, h).bind(2, pos++).run();
    t.commit();
}

std::vector<std::string> store_live(Store& s) {
    Reader r(s);
    std::vector<std::string> out;
    Stmt q(r, "SELECT handle FROM live ORDER BY position");
    while (q.row()) out.push_back(q.text(0));
    return out;
}

BlogEntry store_add_blog(Store& s, const std::string& title, const std::string& link, const std::string& description) {
    std::lock_guard<std::mutex> lock(s.mutex);
    Transaction t(s);
    BlogEntry e{"", title, link, description, rfc822(now_ms())};
    // The guid is fixed once the row exists: "vimo-blog-<database>-<seq>".
    Stmt(s, "INSERT INTO blog(guid, title, link, description, published_at) VALUES(?1, ?2, ?3, ?4, ?5)")
        .bind(1, random_hex(8))
        .bind(2, title)
        .bind(3, link)
        .bind(4, description)
        .bind(5, e.published_at)
        .run();
    int64_t seq = sqlite3_last_insert_rowid(s.db);
    e.guid = "vimo-blog-" + s.instance + "-" + std::to_string(seq);
    Stmt(s, "UPDATE blog SET guid = ?1 WHERE seq = ?2").bind(1, e.guid).bind(2, seq).run();
    t.commit();
    return e;
}

std::vector<BlogEntry> store_blog(Store& s, int limit) {
    Reader r(s);
    std::vector<BlogEntry> out;
    Stmt q(r, "SELECT guid, title, link, description, published_at FROM blog ORDER BY seq DESC LIMIT ?1");
    q.bind(1, int64_t(limit));
    while (q.row()) out.push_back({q.text(0), q.text(1), q.text(2), q.text(3), q.text(4)});
    return out;
}

FeedPost store_add_post(Store& s, const std::string& actor, const std::string& text) {
    std::lock_guard<std::mutex> lock(s.mutex);
    // Readers compare createdAt as text: two posts must never share one.
    int64_t ms = std::max(now_ms(), s.last_post_ms + 1);
    FeedPost p{0, actor, text, iso8601(ms)};
    Stmt(s, "INSERT INTO posts(actor, text, created_at, created_ms) VALUES(?1, ?2, ?3, ?4)")
        .bind(1, actor)
        .bind(2, text)
        .bind(3, p.created_at)
        .bind(4, ms)
        .run();
    p.seq = sqlite3_last_insert_rowid(s.db);
    s.last_post_ms = ms;
    return p;
}

std::vector<FeedPost> store_posts(Store& s, const std::string& actor, int limit) {
    Reader r(s);
    std::vector<FeedPost> out;
    Stmt q(r, "SELECT seq, actor, text, created_at FROM posts WHERE actor = ?1 ORDER BY seq DESC LIMIT ?2");
    q.bind(1, actor).bind(2, int64_t(limit));
    while (q.row()) out.push_back({q.integer(0), q.text(1), q.text(2), q.text(3)});
    return out;
}
