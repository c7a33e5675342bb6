// The streamer's side of the store: the live list, the blog and the posts of
// the Bluesky stand-in (see store.h).
#include <algorithm>

#include "store/store.h"
#include "store/secrets.h"
#include "store/sqlite.h"

using namespace store_detail;

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
