// The queries of the community service's store: chat and moderation (see
// store.h; accounts, links and sign-ins in store_accounts.cpp, the live list,
// blog and posts in store_feeds.cpp, bridged chat in store_bridges.cpp). They run on the
// SQLite wrapper of store_sqlite.h (writes under Store::mutex on the writer,
// reads on a Reader); opening the database is there too, the secrets and the
// admin token in store_secrets.cpp.
#include "store.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <utility>

#include "store_secrets.h"
#include "store_sqlite.h"

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

void log_action(Store& s, const std::string& action, const std::string& target, const std::string& detail,
                const std::string& by) {
    Stmt(s, "INSERT INTO mod_log(at, action, target, detail, done_by) VALUES(?1, ?2, ?3, ?4, ?5)")
        .bind(1, iso8601(now_ms()))
        .bind(2, action)
        .bind(3, target)
        .bind(4, detail)
        .bind(5, by)
        .run();
}

int64_t add_message_locked(Store& s, const std::string& platform, const std::string& sender,
                           const std::string& sender_name, const std::string& text) {
    if (platform != "corvane") {
        Stmt(s, "INSERT INTO chatters(platform, sender_id, name) VALUES(?1, ?2, ?3) "
                "ON CONFLICT(platform, sender_id) DO UPDATE SET name = excluded.name")
            .bind(1, platform)
            .bind(2, sender)
            .bind(3, sender_name)
            .run();
    }
    bool blocked = s.words.matches(text);
    Stmt(s, "INSERT INTO messages(platform, sender, text, created_at, blocked) VALUES(?1, ?2, ?3, ?4, ?5)")
        .bind(1, platform)
        .bind(2, sender)
        .bind(3, text)
        .bind(4, iso8601(now_ms()))
        .bind(5, int64_t(blocked))
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

}  // namespace store_detail

std::string store_instance(Store& s) {
    return s.instance;  // fixed once open: no lock, so readers never wait for the writer
}

std::optional<int64_t> store_add_message(Store& s, const std::string& platform, const std::string& sender,
                                         const std::string& sender_name, const std::string& text) {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (sender_banned(s, platform, sender)) return std::nullopt;
    Transaction t(s);
    int64_t seq = add_message_locked(s, platform, sender, sender_name, text);
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

std::vector<StoredMessage> store_chat_page(Store& s, int count) {
    Reader r(s);
    std::vector<StoredMessage> out;
    Stmt q(r, "SELECT seq, platform, sender, text FROM messages m WHERE removed = 0 AND blocked = 0 AND NOT EXISTS "
              "(SELECT 1 FROM bans b WHERE b.platform = m.platform AND b.sender = m.sender AND " BAN_ACTIVE ") "
              "ORDER BY seq DESC LIMIT ?1");
    q.bind(1, int64_t(count));
    while (q.row()) out.push_back({q.integer(0), q.text(1), q.text(2), q.text(3)});
    return {out.rbegin(), out.rend()};
}

namespace {
const char* const MODERATED_SELECT =
    "SELECT seq, platform, sender, text, removed, blocked, EXISTS(SELECT 1 FROM bans b WHERE b.platform = m.platform "
    "AND b.sender = m.sender AND " BAN_ACTIVE ") FROM messages m ";

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
        // A ban outlasts a time-out the platform gave the same sender.
        Stmt(s, "INSERT INTO bans(platform, sender, created_at) VALUES(?1, ?2, ?3) ON CONFLICT(platform, sender) "
                "DO UPDATE SET until = NULL WHERE until IS NOT NULL")
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
    Stmt q(r, "SELECT platform, sender FROM bans WHERE " BAN_ACTIVE " ORDER BY created_at, platform, sender");
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
    Stmt q(r, "SELECT seq, at, action, target, detail, done_by FROM mod_log ORDER BY seq DESC LIMIT ?1");
    q.bind(1, int64_t(limit));
    while (q.row()) out.push_back({q.integer(0), q.text(1), q.text(2), q.text(3), q.text(4), q.text(5)});
    return out;
}

std::optional<std::string> store_chatter_name(Store& s, const std::string& platform, const std::string& id) {
    Reader r(s);
    Stmt q(r, "SELECT name FROM chatters WHERE platform = ?1 AND sender_id = ?2");
    q.bind(1, platform).bind(2, id);
    if (q.row()) return q.text(0);
    return std::nullopt;
}
