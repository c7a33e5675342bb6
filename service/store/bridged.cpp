// The store's side of the service's own chat bridges (see store.h): messages
// known by their platform's id, and the platforms' moderation reaching them.
#include "store/store.h"

#include "store/sqlite.h"

using namespace store_detail;

bool store_bridged_known(Store& s, const std::string& platform, const std::string& external_id) {
    Reader r(s);
    Stmt q(r, "SELECT 1 FROM bridged WHERE platform = ?1 AND external_id = ?2");
    q.bind(1, platform).bind(2, external_id);
    return q.row();
}

BridgedResult store_add_bridged(Store& s, const std::string& platform, const std::string& channel,
                                const std::string& external_id, const std::string& sender,
                                const std::string& sender_name, const std::string& text, const std::string& look) {
    std::lock_guard<std::mutex> lock(s.mutex);
    {
        Stmt q(s, "SELECT seq FROM bridged WHERE platform = ?1 AND external_id = ?2");
        q.bind(1, platform).bind(2, external_id);
        if (q.row()) return {BridgedAdd::Duplicate, q.integer(0)};
    }
    if (sender_banned(s, platform, sender)) return {BridgedAdd::Banned};
    Transaction t(s);
    int64_t seq = add_message_locked(s, platform, sender, sender_name, text, look);
    Stmt(s, "INSERT INTO bridged(platform, external_id, channel, seq) VALUES(?1, ?2, ?3, ?4)")
        .bind(1, platform)
        .bind(2, external_id)
        .bind(3, channel)
        .bind(4, seq)
        .run();
    int64_t deleted = prune_messages(s, seq - s.keep);
    t.commit();
    announce_served(s);
    give_back_pages(s, deleted);
    return {BridgedAdd::Stored, seq};
}

bool store_remove_bridged(Store& s, const std::string& platform, const std::string& external_id,
                          const std::string& by) {
    std::lock_guard<std::mutex> lock(s.mutex);
    Transaction t(s);
    int64_t seq = 0;
    std::string target, text;
    {
        Stmt q(s, "SELECT m.seq, m.platform, m.sender, m.text FROM bridged b JOIN messages m ON m.seq = b.seq "
                  "WHERE b.platform = ?1 AND b.external_id = ?2 AND m.removed = 0");
        q.bind(1, platform).bind(2, external_id);
        if (!q.row()) return false;
        seq = q.integer(0);
        target = q.text(1) + ":" + q.text(2);
        text = q.text(3);
    }
    Stmt(s, "UPDATE messages SET removed = 1 WHERE seq = ?1").bind(1, seq).run();
    log_action(s, "delete", std::to_string(seq), target + ": " + text, by);
    t.commit();
    return true;
}

void store_platform_ban(Store& s, const std::string& platform, const std::string& sender, int64_t seconds,
                        const std::string& by) {
    std::lock_guard<std::mutex> lock(s.mutex);
    Transaction t(s);
    // Time-outs that are over go, so the table holds what is in force.
    Stmt(s, "DELETE FROM bans WHERE until IS NOT NULL AND until <= unixepoch()").run();
    if (seconds > 0) {
        // A longer time-out replaces a shorter one; a ban stays a ban.
        Stmt(s, "INSERT INTO bans(platform, sender, created_at, until) VALUES(?1, ?2, ?3, unixepoch() + ?4) "
                "ON CONFLICT(platform, sender) DO UPDATE SET until = excluded.until "
                "WHERE until IS NOT NULL AND until < excluded.until")
            .bind(1, platform)
            .bind(2, sender)
            .bind(3, iso8601(now_ms()))
            .bind(4, seconds)
            .run();
    } else {
        ban_for_good(s, platform, sender);
    }
    log_action(s, seconds > 0 ? "time-out" : "ban", platform + ":" + sender,
               seconds > 0 ? std::to_string(seconds) + " s" : "", by);
    t.commit();
}

int64_t store_clear_channel(Store& s, const std::string& platform, const std::string& channel, const std::string& by) {
    std::lock_guard<std::mutex> lock(s.mutex);
    Transaction t(s);
    Stmt(s, "UPDATE messages SET removed = 1 WHERE removed = 0 AND seq IN "
            "(SELECT seq FROM bridged WHERE platform = ?1 AND channel = ?2)")
        .bind(1, platform)
        .bind(2, channel)
        .run();
    int64_t cleared = sqlite3_changes(s.db);
    log_action(s, "clear", platform + ":" + channel, std::to_string(cleared) + " messages", by);
    t.commit();
    return cleared;
}

std::optional<std::string> store_bridge_state(Store& s, const std::string& key) {
    Reader r(s);
    return meta_get(r, "bridge:" + key);
}

void store_set_bridge_state(Store& s, const std::string& key, const std::string& value) {
    std::lock_guard<std::mutex> lock(s.mutex);
    Stmt(s, "INSERT INTO meta(key, value) VALUES(?1, ?2) ON CONFLICT(key) DO UPDATE SET value = excluded.value")
        .bind(1, "bridge:" + key)
        .bind(2, value)
        .run();
}
