// The community service's storage: one SQLite file in WAL mode, prepared
// statements only. Every function may be called from any HTTP worker thread:
// writes share one connection under the store's mutex (waiting at most a second
// for the file's lock), reads take a connection of their own from a pool and so
// never wait behind a write. Failures of SQLite itself throw std::runtime_error
// (the HTTP layer answers 500).
//
// One file per table family beside this header (messages, moderation,
// accounts, feeds, bridged); sqlite.h the wrapper under them, open.cpp the
// schema and migrations, secrets.h the random values, link tokens and the
// admin token's hash.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct Store;  // opaque: writer and read connections, statement caches, mutex
struct StoreDeleter {
    void operator()(Store* s) const;  // closes the database
};
using StorePtr = std::unique_ptr<Store, StoreDeleter>;

struct StoredMessage {
    int64_t seq;           // order of arrival, never reused
    std::string platform;  // "twitch", "discord", "web", "matrix" or "corvane"
    std::string sender;    // the sender's id on the platform; for "corvane" the display name
    std::string text;      // UTF-8
    std::string look;      // how it looks on its platform: chat/look.h's stored JSON; "" = plain
    std::string name;      // the sender's shown name, as /api/user answers (store_chat_page only; "" = unknown)
    // Why it is not served (only store_recent_messages fills these).
    bool removed = false;  // taken down by the streamer
    bool blocked = false;  // holds a blocked word
    bool banned = false;   // its sender is banned
};

struct ModAction {
    int64_t seq;
    std::string at;      // ISO 8601 UTC
    std::string action;  // "delete", "ban", "unban", "words"
    std::string target;  // "<platform>:<sender>" or the message's seq; "" for words
    std::string detail;  // the deleted text, the word list, ...
    std::string by = "streamer";  // or the platform whose moderator did it ("twitch", ...)
};

// A link token's life, and how much of it must be left for an ask to be handed
// the same token again: a person opening the page gets at least 15 minutes, and
// an installation holds at most two live tokens however often it asks.
inline constexpr int64_t LINK_TOKEN_TTL_MS = 30 * 60 * 1000;
inline constexpr int64_t LINK_TOKEN_REUSE_MS = 15 * 60 * 1000;

struct LoginState {
    bool linked = false;
    std::string token;     // when not linked: a live link-page token (random, kept in link_tokens)
    std::string code;      // when not linked: the code that token's page shows ("K7Q-4MX")
    int64_t account = 0;   // when linked
    std::string name;      // the account's display name, when linked
    std::string platform;  // "twitch" or "discord" when signed in with a platform; "" for a typed name
    std::string user_id;   // the platform's id of that person; "" for a typed name
};

// Who an account speaks as: the platform identity it signed in with, so that its
// posts and that person's bridged chat are one sender (one name, one ban), or
// "web" and its number for a typed name.
struct AccountRef {
    int64_t id = 0;
    std::string name;      // display name
    std::string platform;  // "twitch", "discord" or "web"
    std::string sender;    // the platform's user id, or the account's number on "web"
    bool verified() const { return platform != "web"; }
};

// A sign-in under way at a platform, kept until its callback (at most a day).
struct Signin {
    std::string platform;    // "twitch" or "discord"
    std::string link_token;  // the installation's link token it was started for
    std::string verifier;    // PKCE code verifier; "" where the platform takes none
    std::string browser;     // the random value of the cookie set in the browser that started it
    int64_t created_ms = 0;  // wall clock, milliseconds since 1970
};

struct LinkInfo {
    bool linked = false;
    std::string name;  // when linked
    std::string code;  // the code the installation was told with this token
};

enum class LinkResult { Linked, UnknownToken, AlreadyLinked, NameTaken };

struct BlogEntry {
    std::string guid, title, link, description, published_at;  // published_at: RFC 822 date for RSS
};

struct FeedPost {
    int64_t seq;
    std::string actor, text, created_at;  // created_at: ISO 8601 UTC with milliseconds, strictly increasing
};

// Open (creating when missing) the database at path; nullptr and *error on failure.
StorePtr store_open(const std::string& path, std::string* error);
// hook(seq) is called for every new chat message that is served (not held back
// by a blocked word), after its transaction committed, on the writing thread
// with the writer's lock held: it must return at once (hand the seq on). Under a
// hold (store_set_hold) the message is only stored then: it is served hold later.
void store_on_served(Store& s, std::function<void(int64_t seq)> hook);
void store_close(StorePtr& store);  // finalize statements and close (also what the deleter does)
// Admin token: generated at the first start and returned that once (*created true); only its
// SHA-256 is stored, so later starts return "".
std::string store_admin_token(Store& s, bool* created);
// Whether given is the admin token (compared as hashes, in constant time).
bool store_admin_token_matches(Store& s, const std::string& given);
// Random name of this database, part of every message's "message" value so that a
// new database never repeats an old database's values.
std::string store_instance(Store& s);

// Login: the state of login_id. An unlinked id is handed a live link token: the
// one it was given before while LINK_TOKEN_REUSE_MS of its life is left, else a
// new one (the expired tokens are deleted then). Linked ids and reused tokens are
// answered by a read. installs gets a row when the id is linked.
LoginState store_login(Store& s, const std::string& login_id);
// The installation behind a live link token; nullopt when unknown or expired.
std::optional<LinkInfo> store_link_info(Store& s, const std::string& token);
// Link the installation holding token to a new account called name. Names are
// unique by name_keys (text.h: case, invisible characters, width, lookalike
// letters and marks do not count; names_alike): NameTaken.
LinkResult store_link(Store& s, const std::string& token, const std::string& name);
// Account linked to login_id, or nullopt when unknown or not linked.
std::optional<AccountRef> store_account(Store& s, const std::string& login_id);
// The account numbered id, or nullopt.
std::optional<AccountRef> store_account_by_id(Store& s, int64_t id);
// The newest accounts, newest first (the admin page).
std::vector<AccountRef> store_accounts(Store& s, int limit);

// ---- Sign-in with a platform (accounts.cpp) --------------------------------------------
// Keeps a sign-in under state (random, unique); forgets those older than a day.
void store_add_signin(Store& s, const std::string& state, const Signin& signin);
// Takes the sign-in kept under state, which is then gone (single use): nullopt when
// unknown or already taken. Its age is the caller's to judge.
std::optional<Signin> store_take_signin(Store& s, const std::string& state);
// Links the installation holding token to the account of (platform, user_id),
// making that account (named name) at its first sign-in and renaming it to name at
// each later one; *account is set when Linked. Never NameTaken: a platform's
// name is that person's own.
LinkResult store_link_identity(Store& s, const std::string& token, const std::string& platform,
                               const std::string& user_id, const std::string& name, int64_t* account);

// Chat: append a message (and remember the sender's name for lookups); returns its
// seq, or nullopt (storing nothing) when the sender is banned. Messages beyond the
// newest store_set_keep are deleted, with the chatters no kept message names.
std::optional<int64_t> store_add_message(Store& s, const std::string& platform, const std::string& sender,
                                         const std::string& sender_name, const std::string& text,
                                         const std::string& look = "");
// The count newest messages that are served (not removed, blocked or from a banned sender,
// and stored at least the hold ago), oldest first.
std::vector<StoredMessage> store_chat_page(Store& s, int count);
// The moderation hold: messages are served (store_chat_page) from ms after they were stored; 0 at once.
void store_set_hold(Store& s, int64_t ms);
void store_set_keep(Store& s, int64_t messages);  // retention bound, at least 1; applied at once
std::optional<std::string> store_chatter_name(Store& s, const std::string& platform, const std::string& id);

// Moderation. Each change is recorded in the moderation log with its time.
std::vector<StoredMessage> store_recent_messages(Store& s, int limit);  // newest first, hidden ones too, flags set
std::optional<StoredMessage> store_message(Store& s, int64_t seq);
bool store_remove_message(Store& s, int64_t seq);  // false when there is no such message or it was removed
bool store_set_banned(Store& s, const std::string& platform, const std::string& sender, bool banned);  // false: no change
std::vector<std::pair<std::string, std::string>> store_bans(Store& s);  // (platform, sender)
// Replaces the blocked words; every stored message is judged again.
void store_set_blocked_words(Store& s, const std::vector<std::string>& words);
std::vector<std::string> store_blocked_words(Store& s);
std::vector<ModAction> store_mod_log(Store& s, int limit);  // newest first

// Streamer's side.
void store_set_live(Store& s, const std::vector<std::string>& handles);  // replaces the list
std::vector<std::string> store_live(Store& s);
BlogEntry store_add_blog(Store& s, const std::string& title, const std::string& link, const std::string& description);
std::vector<BlogEntry> store_blog(Store& s, int limit);  // newest first
FeedPost store_add_post(Store& s, const std::string& actor, const std::string& text);
std::vector<FeedPost> store_posts(Store& s, const std::string& actor, int limit);  // newest first

// ---- Chat the service's own bridges bring (bridged.cpp) --------------------------------
// Each bridged message is known by its platform's own id (external_id) and the
// channel or room it was said in, so that a reconnect never stores it twice and
// the platform's moderators' deletions and clears reach it.

enum class BridgedAdd { Stored, Duplicate, Banned };
struct BridgedResult {
    BridgedAdd outcome;
    int64_t seq = 0;  // when stored, or the stored one a duplicate repeats
};
// Whether the platform's message id is stored already (before any limit is taken).
bool store_bridged_known(Store& s, const std::string& platform, const std::string& external_id);
// As store_add_message, with the platform's message id and channel.
BridgedResult store_add_bridged(Store& s, const std::string& platform, const std::string& channel,
                                const std::string& external_id, const std::string& sender,
                                const std::string& sender_name, const std::string& text, const std::string& look = "");
// The platform's moderators deleted one message: false when it is unknown or gone already.
bool store_remove_bridged(Store& s, const std::string& platform, const std::string& external_id,
                          const std::string& by);
// A platform's ban (seconds 0) or time-out of a sender: their messages are hidden and
// new ones refused, for good or until the time-out ends. A time-out never shortens a ban.
void store_platform_ban(Store& s, const std::string& platform, const std::string& sender, int64_t seconds,
                        const std::string& by);
// A channel's chat cleared on its platform: every stored message of it so far is taken
// down; returns how many.
int64_t store_clear_channel(Store& s, const std::string& platform, const std::string& channel, const std::string& by);
// A bridge's own state that must outlive a restart (Matrix's sync token, ...).
std::optional<std::string> store_bridge_state(Store& s, const std::string& key);
void store_set_bridge_state(Store& s, const std::string& key, const std::string& value);
