// Opening the community service's database: the schema, migrations from older
// versions, and the Store's fixed values (secrets.h makes and reads those).
#include "store/store.h"

#include <algorithm>
#include <stdexcept>

#include <sys/stat.h>

#include "store/secrets.h"
#include "store/sqlite.h"

namespace store_detail {

// ---- Schema ------------------------------------------------------------------------

namespace {

const char* SCHEMA = R"SQL(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS accounts(id INTEGER PRIMARY KEY, name TEXT NOT NULL, created_at TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS installs(login_id TEXT PRIMARY KEY, account_id INTEGER NOT NULL REFERENCES accounts(id),
  created_at TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS link_tokens(token TEXT PRIMARY KEY, login_id TEXT NOT NULL, code TEXT NOT NULL,
  expires_ms INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS link_tokens_login ON link_tokens(login_id, expires_ms);
CREATE INDEX IF NOT EXISTS link_tokens_expiry ON link_tokens(expires_ms);
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
CREATE INDEX IF NOT EXISTS messages_sender ON messages(platform, sender, seq);
CREATE TABLE IF NOT EXISTS bridged(platform TEXT NOT NULL, external_id TEXT NOT NULL, channel TEXT NOT NULL,
  seq INTEGER NOT NULL, PRIMARY KEY(platform, external_id));
CREATE INDEX IF NOT EXISTS bridged_seq ON bridged(seq);
CREATE INDEX IF NOT EXISTS bridged_channel ON bridged(platform, channel, seq);
CREATE TABLE IF NOT EXISTS identities(platform TEXT NOT NULL, user_id TEXT NOT NULL,
  account_id INTEGER NOT NULL REFERENCES accounts(id), linked_at TEXT NOT NULL, PRIMARY KEY(platform, user_id));
CREATE INDEX IF NOT EXISTS identities_account ON identities(account_id);
CREATE TABLE IF NOT EXISTS signins(state TEXT PRIMARY KEY, platform TEXT NOT NULL, link_token TEXT NOT NULL,
  verifier TEXT NOT NULL, browser TEXT NOT NULL, created_ms INTEGER NOT NULL);
)SQL";

// What the name keys are made by (name_keys of text.h); stored keys of another
// version are made again at start.
const char* const NAME_KEYS_VERSION = "skeleton-1";

// Columns added after the first release: (table, column, definition).
const char* const ADDED_COLUMNS[][3] = {
    {"messages", "removed", "INTEGER NOT NULL DEFAULT 0"},
    {"messages", "blocked", "INTEGER NOT NULL DEFAULT 0"},
    {"accounts", "name_key", "TEXT"},
    {"accounts", "name_base", "TEXT"},
    {"bans", "until", "INTEGER"},                          // unix seconds a time-out ends; NULL: for good
    {"mod_log", "done_by", "TEXT NOT NULL DEFAULT 'streamer'"},  // "streamer" or the platform that did it
    {"messages", "look", "TEXT"},  // chat/look.h's stored JSON: colour, badges, emote spans; NULL = plain
};

bool has_column(Conn& s, const std::string& table, const std::string& column) {
    Stmt q(s, "SELECT 1 FROM pragma_table_info(?1) WHERE name = ?2");
    q.bind(1, table).bind(2, column);
    return q.row();
}

// Installations of versions whose link tokens were kept in installs (derived
// from the login id, which could be read back out of them): the linked rows stay,
// without a token; unlinked rows and every old token go (such an installation is
// handed a random token at its next ask), as do sign-ins started with one and
// the secret they were derived under.
void drop_install_tokens(Store& s) {
    if (!has_column(s, "installs", "link_token")) return;
    Transaction t(s);
    exec(s, "CREATE TABLE installs_linked(login_id TEXT PRIMARY KEY, account_id INTEGER NOT NULL REFERENCES accounts(id),"
            "  created_at TEXT NOT NULL);"
            "INSERT INTO installs_linked SELECT login_id, account_id, created_at FROM installs WHERE account_id IS NOT NULL;"
            "DROP TABLE installs;"
            "ALTER TABLE installs_linked RENAME TO installs;"
            "DELETE FROM signins;"
            "DELETE FROM meta WHERE key = 'link_secret';");
    t.commit();
}

// Brings a database of an older version up to this one's schema; the writer's lock is held.
void migrate(Store& s) {
    drop_install_tokens(s);
    for (const auto& c : ADDED_COLUMNS) {
        if (has_column(s, c[0], c[1])) continue;
        std::string sql = std::string("ALTER TABLE ") + c[0] + " ADD COLUMN " + c[1] + " " + c[2];
        exec(s, sql.c_str());
    }
    {
        Transaction t(s);
        bool rekey = meta_get(s, "name_keys") != std::optional<std::string>(NAME_KEYS_VERSION);
        std::vector<std::pair<int64_t, std::string>> unkeyed;
        {
            Stmt q(s, "SELECT id, name FROM accounts WHERE name_key IS NULL OR name_base IS NULL OR ?1");
            q.bind(1, int64_t(rekey));
            while (q.row()) unkeyed.emplace_back(q.integer(0), q.text(1));
        }
        for (const auto& [id, name] : unkeyed) {
            NameKeys keys = name_keys(name);
            Stmt(s, "UPDATE accounts SET name_key = ?1, name_base = ?2 WHERE id = ?3")
                .bind(1, keys.key)
                .bind(2, keys.base)
                .bind(3, id)
                .run();
        }
        Stmt(s, "INSERT OR REPLACE INTO meta(key, value) VALUES('name_keys', ?1)").bind(1, std::string(NAME_KEYS_VERSION)).run();
        // Chatters of older versions were never pruned: those no message names go now.
        prune_messages(s, 0);
        t.commit();
    }
    // Not UNIQUE: accounts named alike before names were compared this way keep their names.
    exec(s, "CREATE INDEX IF NOT EXISTS accounts_name_key ON accounts(name_key);");
    exec(s, "CREATE INDEX IF NOT EXISTS accounts_name_base ON accounts(name_base);");
    std::vector<std::string> words;
    Stmt q(s, "SELECT word FROM blocked_words ORDER BY position");
    while (q.row()) words.push_back(q.text(0));
    s.words.set(words);
}

// Deleted rows' pages go back to the file system (give_back_pages). The mode is
// fixed when the first table is made: a new file gets it before the schema, an
// older file is rebuilt once (VACUUM) to take it.
void use_incremental_vacuum(Conn& s) {
    int64_t mode = 0, tables = 0;
    {
        Stmt q(s, "PRAGMA auto_vacuum");
        if (q.row()) mode = q.integer(0);
    }
    if (mode == 2) return;  // INCREMENTAL
    {
        Stmt q(s, "SELECT COUNT(*) FROM sqlite_master");
        if (q.row()) tables = q.integer(0);
    }
    exec(s, "PRAGMA auto_vacuum=INCREMENTAL;");
    if (tables > 0) exec(s, "VACUUM;");
}

}  // namespace

}  // namespace store_detail

using namespace store_detail;

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
        use_incremental_vacuum(*s);
        exec(*s, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON; PRAGMA secure_delete=ON;");
        exec(*s, SCHEMA);
        std::lock_guard<std::mutex> lock(s->mutex);
        migrate(*s);
        load_secrets(*s);
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

