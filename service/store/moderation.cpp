// The store's moderation: messages taken down, bans, blocked words and the log
// of every change (see store.h).
#include "store/store.h"

#include "store/sqlite.h"

using namespace store_detail;

namespace store_detail {

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

void ban_for_good(Store& s, const std::string& platform, const std::string& sender) {
    Stmt(s, "INSERT INTO bans(platform, sender, created_at) VALUES(?1, ?2, ?3) ON CONFLICT(platform, sender) "
            "DO UPDATE SET until = NULL WHERE until IS NOT NULL")
        .bind(1, platform)
        .bind(2, sender)
        .bind(3, iso8601(now_ms()))
        .run();
}

}  // namespace store_detail

namespace {
const char* const MODERATED_SELECT =
    "SELECT seq, platform, sender, text, removed, blocked, EXISTS(SELECT 1 FROM bans b WHERE b.platform = m.platform "
    "AND b.sender = m.sender AND " BAN_ACTIVE "), look FROM messages m ";

StoredMessage moderated_row(Stmt& q) {
    StoredMessage m{q.integer(0), q.text(1), q.text(2), q.text(3), q.text(7)};
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
        ban_for_good(s, platform, sender);
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
