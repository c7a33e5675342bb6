// The SQLite wrapper of the community service's store (see sqlite.h).
#include "store/sqlite.h"

#include <algorithm>
#include <stdexcept>

#include <sys/stat.h>

namespace store_detail {

void fail(Conn& s, const char* what) { throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(s.db)); }

void exec(Conn& s, const char* sql) {
    if (sqlite3_exec(s.db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(s, "exec");
}

Transaction::Transaction(Store& st) : s(st) { Stmt(s, "BEGIN IMMEDIATE").run(); }

void Transaction::commit() {
    Stmt(s, "COMMIT").run();
    done = true;
}

Transaction::~Transaction() {
    if (!done) sqlite3_exec(s.db, "ROLLBACK", nullptr, nullptr, nullptr);
}

Reader::Reader(Store& s) : s_(s) {
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

Reader::~Reader() {
    std::lock_guard<std::mutex> lock(s_.pool_mutex);
    s_.idle.push_back(std::move(c_));
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

}  // namespace store_detail
