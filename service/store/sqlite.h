// The SQLite wrapper under the community service's store: connections and their
// cached statements, transactions, the read pool, and the Store itself. Every
// query and secret of the store's files runs through these.
//
// Threads: the Store's own connection is the one writer, used only under
// Store::mutex. A Reader takes a connection of its own from the pool (any
// thread, no lock held while reading). A Stmt or Transaction belongs to the
// thread that made it, on a connection it holds.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "store/store.h"
#include "text/text.h"

namespace store_detail {

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

}  // namespace store_detail

// The Conn part is the one writer; reads run on connections of their own (WAL lets
// them see the last commit while a write is under way), taken from a pool.
struct Store : store_detail::Conn {
    std::mutex mutex;                            // guards the writer and what follows
    std::string path;
    std::mutex pool_mutex;                       // guards idle
    std::vector<std::unique_ptr<Conn>> idle;     // read connections not in use
    std::string instance;
    std::string admin_hash;                      // SHA-256 of the admin token (raw bytes); "" until set
    int64_t last_post_ms = 0;                    // keeps createdAt strictly increasing
    int64_t keep = 5000;                         // messages kept; older ones are deleted
    int64_t deleted_since_vacuum = 0;            // messages deleted since free pages were last looked at
    WordList words;                              // blocked words, as stored in blocked_words
    // Told each new message that is served (not blocked) once its transaction
    // committed, with the writer's lock still held: it must only hand the seq on.
    std::function<void(int64_t seq)> on_served;  // empty: nobody listens
    int64_t unannounced = 0;                     // such a message in the open transaction; 0 none
    // The moderation hold: a message is served from this many milliseconds after its
    // created_at on (0: at once). Read without the lock by readers.
    std::atomic<int64_t> hold_ms{0};
};

namespace store_detail {

// Throws std::runtime_error with what and the connection's last SQLite error.
[[noreturn]] void fail(Conn& s, const char* what);

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

void exec(Conn& s, const char* sql);  // runs sql (one or more statements, no rows); throws on failure

// All-or-nothing groups of writes on the writer; rolled back unless committed.
struct Transaction {
    Store& s;
    bool done = false;
    explicit Transaction(Store& st);  // BEGIN IMMEDIATE
    void commit();
    ~Transaction();
};

// A read connection for one call, back to the pool afterwards.
class Reader {
public:
    explicit Reader(Store& s);
    ~Reader();
    operator Conn&() { return *c_; }

private:
    Store& s_;
    std::unique_ptr<Conn> c_;
};

// Retention: deletes the messages up to seq `through` and the chatters no other
// message names (but not the "web" rows of accounts: the account keeps its
// name); returns the messages deleted. In the caller's transaction on the writer.
int64_t prune_messages(Store& s, int64_t through);
// After a commit that deleted rows: once the file holds more than 256 free pages
// (checked every 64 deleted messages, or at once after a bulk delete), hands them
// back to the file system (PRAGMA incremental_vacuum). The cost follows what was
// deleted, never the file's size. The writer's lock is held.
void give_back_pages(Store& s, int64_t deleted);

// ---- Shared by the query files ------------------------------------------------------

int64_t now_ms();                  // wall clock, milliseconds since 1970
std::string iso8601(int64_t ms);   // 2026-12-08T05:17:15.123Z
std::string rfc822(int64_t ms);    // for RSS
// One line of the moderation log, stamped now, done by the streamer or a platform's
// bridge ("twitch", ...); inside the caller's transaction on the writer.
void log_action(Store& s, const std::string& action, const std::string& target, const std::string& detail,
                const std::string& by = "streamer");
// Bans sender of platform with no end (a time-out it had becomes a ban); inside the
// caller's transaction on the writer.
void ban_for_good(Store& s, const std::string& platform, const std::string& sender);
// Appends a message and remembers its sender's name; returns its seq. No ban check,
// no retention: the caller's transaction on the writer does those.
int64_t add_message_locked(Store& s, const std::string& platform, const std::string& sender,
                           const std::string& sender_name, const std::string& text, const std::string& look);
// After the commit of a transaction that added messages: tells on_served about
// the served one added last (the newest is all a listener needs). Writer's lock held.
void announce_served(Store& s);
// A ban in force: for good, or a platform's time-out not yet over (SQL over bans b or bans).
#define BAN_ACTIVE "(until IS NULL OR until > unixepoch())"
bool sender_banned(Conn& s, const std::string& platform, const std::string& sender);

std::optional<std::string> meta_get(Conn& s, const std::string& key);        // a value of the meta table
void meta_put(Conn& s, const std::string& key, const std::string& value);    // inserts one (the key is new)

}  // namespace store_detail
