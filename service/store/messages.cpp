// The store's chat messages: adding, the served page, retention, the names
// of senders (see store.h). Writes run under Store::mutex on the writer, reads
// on a Reader (sqlite.h).
#include "store/store.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <utility>

#include "store/secrets.h"
#include "store/sqlite.h"

using namespace store_detail;

namespace store_detail {

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

int64_t add_message_locked(Store& s, const std::string& platform, const std::string& sender,
                           const std::string& sender_name, const std::string& text, const std::string& look) {
    if (platform != "corvane") {
        Stmt(s, "INSERT INTO chatters(platform, sender_id, name) VALUES(?1, ?2, ?3) "
                "ON CONFLICT(platform, sender_id) DO UPDATE SET name = excluded.name")
            .bind(1, platform)
            .bind(2, sender)
            .bind(3, sender_name)
            .run();
    }
    bool blocked = s.words.matches(text);
    Stmt(s, "INSERT INTO messages(platform, sender, text, created_at, blocked, look) "
            "VALUES(?1, ?2, ?3, ?4, ?5, NULLIF(?6, ''))")
        .bind(1, platform)
        .bind(2, sender)
        .bind(3, text)
        .bind(4, iso8601(now_ms()))
        .bind(5, int64_t(blocked))
        .bind(6, look)
        .run();
    int64_t seq = sqlite3_last_insert_rowid(s.db);
    if (!blocked) s.unannounced = seq;
    return seq;
}

void announce_served(Store& s) {
    int64_t seq = std::exchange(s.unannounced, 0);
    if (seq != 0 && s.on_served) s.on_served(seq);
}

bool sender_banned(Conn& s, const std::string& platform, const std::string& sender) {
    Stmt q(s, "SELECT 1 FROM bans WHERE platform = ?1 AND sender = ?2 AND " BAN_ACTIVE);
    q.bind(1, platform).bind(2, sender);
    return q.row();
}

// ---- Retention -----------------------------------------------------------------------

int64_t prune_messages(Store& s, int64_t through) {
    if (through <= 0) {  // every chatter no message names
        Stmt(s, "DELETE FROM chatters WHERE NOT EXISTS (SELECT 1 FROM messages k WHERE k.platform = chatters.platform "
                "AND k.sender = chatters.sender_id) AND NOT (platform = 'web' AND EXISTS "
                "(SELECT 1 FROM accounts a WHERE a.id = chatters.sender_id)) AND NOT EXISTS (SELECT 1 FROM "
                "identities i WHERE i.platform = chatters.platform AND i.user_id = chatters.sender_id)")
            .run();
        return 0;
    }
    // Driven by the messages going (one per new message once the bound is reached),
    // each sender looked up in messages_sender: the cost follows what is deleted.
    Stmt(s, "DELETE FROM chatters WHERE rowid IN (SELECT c.rowid FROM messages d JOIN chatters c "
            "ON c.platform = d.platform AND c.sender_id = d.sender WHERE d.seq <= ?1 AND NOT EXISTS "
            "(SELECT 1 FROM messages k WHERE k.platform = d.platform AND k.sender = d.sender AND k.seq > ?1) "
            "AND NOT (d.platform = 'web' AND EXISTS (SELECT 1 FROM accounts a WHERE a.id = d.sender)) "
            "AND NOT EXISTS (SELECT 1 FROM identities i WHERE i.platform = d.platform AND i.user_id = d.sender))")
        .bind(1, through)
        .run();
    Stmt(s, "DELETE FROM messages WHERE seq <= ?1").bind(1, through).run();
    int64_t deleted = sqlite3_changes(s.db);
    Stmt(s, "DELETE FROM bridged WHERE seq <= ?1").bind(1, through).run();
    return deleted;
}

void give_back_pages(Store& s, int64_t deleted) {
    if (deleted <= 0) return;
    s.deleted_since_vacuum += deleted;
    if (s.deleted_since_vacuum < 64 && deleted == 1) return;
    s.deleted_since_vacuum = 0;
    int64_t free_pages = 0;
    {
        Stmt q(s, "PRAGMA freelist_count");
        if (q.row()) free_pages = q.integer(0);
    }
    if (free_pages <= 256) return;
    exec(s, "PRAGMA incremental_vacuum;");
    // The file shrinks when the WAL is copied back; readers are not waited for.
    sqlite3_wal_checkpoint_v2(s.db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
}

}  // namespace store_detail

std::string store_instance(Store& s) {
    return s.instance;  // fixed once open: no lock, so readers never wait for the writer
}

std::optional<int64_t> store_add_message(Store& s, const std::string& platform, const std::string& sender,
                                         const std::string& sender_name, const std::string& text,
                                         const std::string& look) {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (sender_banned(s, platform, sender)) return std::nullopt;
    Transaction t(s);
    int64_t seq = add_message_locked(s, platform, sender, sender_name, text, look);
    // Seqs only grow, so the newest `keep` messages are those above seq - keep.
    int64_t deleted = prune_messages(s, seq - s.keep);
    t.commit();
    announce_served(s);
    give_back_pages(s, deleted);
    return seq;
}

void store_on_served(Store& s, std::function<void(int64_t seq)> hook) {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.on_served = std::move(hook);
}

void store_set_keep(Store& s, int64_t messages) {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.keep = std::max<int64_t>(1, messages);
    // A lowered bound applies at once, not one message per new one.
    int64_t newest = 0;
    {
        Stmt q(s, "SELECT COALESCE(MAX(seq), 0) FROM messages");
        if (q.row()) newest = q.integer(0);
    }
    Transaction t(s);
    int64_t deleted = prune_messages(s, newest - s.keep);
    t.commit();
    give_back_pages(s, deleted);
}

// The page's query, with the hold's condition or without (the statement cache is
// keyed by the literal, so each is prepared once).
#define CHAT_PAGE_SQL(HELD)                                                                                          \
    "SELECT m.seq, m.platform, m.sender, m.text, m.look, CASE WHEN m.platform = 'corvane' THEN m.sender "           \
    "ELSE (SELECT c.name FROM chatters c WHERE c.platform = m.platform AND c.sender_id = m.sender) END "             \
    "FROM messages m WHERE removed = 0 AND blocked = 0 " HELD "AND NOT EXISTS "                                     \
    "(SELECT 1 FROM bans b WHERE b.platform = m.platform AND b.sender = m.sender AND " BAN_ACTIVE ") "              \
    "ORDER BY seq DESC LIMIT ?1"

std::vector<StoredMessage> store_chat_page(Store& s, int count) {
    Reader r(s);
    std::vector<StoredMessage> out;
    int64_t hold = s.hold_ms.load(std::memory_order_relaxed);
    // The name is the one /api/user answers; a corvane sender is its own name. Under a
    // hold, created_at (fixed-width ISO 8601 UTC, so compared as text) must be the hold old.
    Stmt q(r, hold > 0 ? CHAT_PAGE_SQL("AND m.created_at <= ?2 ") : CHAT_PAGE_SQL(""));
    q.bind(1, int64_t(count));
    if (hold > 0) q.bind(2, iso8601(now_ms() - hold));
    while (q.row()) out.push_back({q.integer(0), q.text(1), q.text(2), q.text(3), q.text(4), q.text(5)});
    return {out.rbegin(), out.rend()};
}

void store_set_hold(Store& s, int64_t ms) { s.hold_ms.store(std::max<int64_t>(0, ms), std::memory_order_relaxed); }

std::optional<std::string> store_chatter_name(Store& s, const std::string& platform, const std::string& id) {
    Reader r(s);
    Stmt q(r, "SELECT name FROM chatters WHERE platform = ?1 AND sender_id = ?2");
    q.bind(1, platform).bind(2, id);
    if (q.row()) return q.text(0);
    return std::nullopt;
}
