// Online features: login through the browser, the chat feed, the commune
// composer, live notices, and the Bluesky and blog checks.
//
// Threads. Network callbacks (the *_inner functions, commune_update_entered)
// run on the network worker and never touch elements, `menu`, `USER` or
// `CONFIG`: what the main thread must do with an answer is queued with
// online_post and run by online_drain, which online_tick calls once per frame,
// first thing. Everything else here runs on the main thread unless its line
// says otherwise.
//
// The functions under "Answers" read a service answer and nothing but their
// own state, so that they can be tested and fuzzed without a window; they live
// in answers.cpp and depend only on the JSON library.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "gfx/raylib.h"

struct Element;

using json = nlohmann::json;

// ---- Start-up --------------------------------------------------------------
// Fill every slot of online_jobs and of the mascot's vimo_hooks, reset the
// chat-poll schedule and read "chat_boxes" from CONFIG into chat_boxes_limit,
// printing a line when it is not usable (main thread, before the first frame).
void online_init();

// ---- The jobs' clock (jobs.cpp) ------------------------------------------------
// What online_tick runs, as a table so that the schedule can be tested with
// fakes. online_init fills it with the functions below; a slot left null is
// skipped, and a chat poll that could not start counts as a quiet one.
struct OnlineJobs {
    void (*drain)();   // online_drain: results handed over by the network worker
    // Feed checks, started every 300 s; each queues its request and returns at once.
    void (*fetchFern)();
    void (*fetchBsky)();
    void (*fetchBlog)();
    // live_take_latest: takes the live-notice hand-over list over, under the
    // lock its writer on the network worker uses (at most one handle a frame).
    std::vector<std::string> (*take_lives)();
    Element* (*live_spawn)(std::string handle);  // shows one live notice; returns its bubble
    // The chat poll, which runs off the main thread: start one (false when
    // none could start), then ask each frame for its outcome: 1 news, 0 quiet,
    // -1 not ended yet. The outcome is known once the poll's boxes are queued.
    bool (*poll_chat_start)();
    int (*poll_chat_outcome)();
    std::vector<std::string> (*take_chats)();  // chat_take: the queued box texts, list left empty
    void (*spawn_chat)(std::string text);       // creates one chat box element
    bool (*is_live)();      // VIMO_LIVE
    bool (*is_snoozed)();   // VIMO_SNOOZED
    // wake_take: the "message" value the wake-up channel announced last since
    // the previous call, or "" when it said nothing new.
    std::string (*take_wake)();
    // wake_seen: whether CONFIG["last_chat"] is that value (the poll has shown it).
    bool (*wake_seen)(const std::string& message);
};
extern OnlineJobs online_jobs;  // all null until online_init; tests put fakes here

// Chat-poll schedule, on the frame loop's elapsed-time clock.
extern float poll_duration;     // current poll interval: 5, doubling to 3600 while the chat is quiet
extern float next_poll;         // when the next poll runs; 3 at start
extern bool vimo_poll_running;  // a chat poll was started and its outcome has not come back yet
void online_jobs_reset();       // The schedule back to its start values (5, 3, none running, no wake-up)

// A wake-up brings the chat poll forward to within WAKE_SPREAD seconds (a
// random delay, so that a crowd woken together does not poll in the same
// millisecond). A poll after a wake-up that found nothing new while the
// announced message is still unseen (a proxy's cached page from before it) is
// asked again WAKE_RECHECK_AFTER to WAKE_RECHECK_AFTER + WAKE_SPREAD / 2 s
// later, at most WAKE_RECHECKS times.
inline constexpr float WAKE_SPREAD = 2;         // seconds
inline constexpr float WAKE_RECHECK_AFTER = 1;  // seconds: a one-second cache has moved on by then
inline constexpr int WAKE_RECHECKS = 2;

// The online jobs of one frame, called by the frame loop before the elements'
// update: 0 drain the hand-over; 1 feed checks at 5 s, then every 300 s;
// 2 live notices (a notice brings the next poll within 5 s); 3 the chat poll,
// started when due, its outcome picked up in the frame it is handed over
// (news: 5 s after its slot, quiet: the interval doubles up to an hour);
// 4 chat boxes, dropped while the stream is live and not snoozed. Between 2
// and 3, a wake-up (take_wake) brings the next poll within WAKE_SPREAD s and
// the interval back to 5 s, as a successful poll does; one that comes while a
// poll runs waits for that poll's outcome. time is the
// frame loop's running time before this frame, dt this frame's time.
void online_tick(float dt, float time);

// ---- The wake-up channel (wake.cpp) -------------------------------------------------
// One GET to the service's endpoint_wake(), held open until a chat message
// newer than the one it last announced exists, on a thread and connection of
// its own (never the request worker). Its answer's body is that message's
// "message" value, and its ETag is sent back as If-None-Match on the next ask,
// so a message stored between two asks is not missed. 304 or 408 (the hold
// ran out): ask again. 404 (a service without the channel): stop asking for
// this run; the chat poll keeps its plain schedule. Anything else, or no
// answer: ask again after WAKE_BACKOFF_FIRST s, doubling to WAKE_BACKOFF_MOST.
// The boxes still come through the chat poll: the channel only says when.
inline constexpr long WAKE_HOLD_MS = 45000;        // one ask's total bound; the service holds it for less
inline constexpr long WAKE_CONNECT_MS = 5000;
inline constexpr long WAKE_BACKOFF_FIRST = 10;     // seconds
inline constexpr long WAKE_BACKOFF_MOST = 300;     // seconds
inline constexpr size_t WAKE_MESSAGE_MAX = 256;    // bytes of an announced "message" value kept

// Start the channel's thread (main thread, start-up after online_init). Does
// nothing when ONLINE is false or the thread runs already.
void wake_start();
// End it within a few milliseconds whatever the service does (main thread,
// shutdown, before the network layer is torn down). Safe when never started.
void wake_stop();
// Main thread: the "message" value announced last since the previous call, or "".
std::string wake_take();
// Main thread: whether CONFIG["last_chat"] equals message (a JSON string).
bool wake_seen(const std::string& message);
// Whether the channel's thread is running now (tests).
bool wake_running();
// The back-off the channel is waiting out now, in seconds; 0 while it asks or is held.
long wake_backoff_seconds();

// ---- Hand-over to the main thread --------------------------------------------
// Queue an action for the main thread; any thread. Actions run in posting order.
void online_post(std::function<void()> action);
// Run the queued actions (main thread, once per frame at the start of the
// online tick). Actions posted while draining run in the next drain.
void online_drain();
// Number of actions waiting (tests wait on it with a deadline).
size_t online_pending();

// Test seam: when set, the online features hand browser addresses here instead
// of to net's open(). Main thread (the addresses are opened from drained actions
// and choosers). Null in the program.
extern void (*online_open_hook)(const std::string& url);
void online_open(const std::string& url);  // open(url), or the hook when set

// ---- Text helpers (answers.cpp) ------------------------------------------------
// Diagnostics go through net_log (net/net.h): whole flushed lines from any thread.
// A JSON string's contents; any other value as compact JSON (numbers as digits,
// null as "null"). Invalid UTF-8 never throws: it is replaced by U+FFFD.
std::string str(const json& value);
// Answers nested deeper than this are refused as unreadable: every later step
// (comparing, printing, copying a value) is recursive, so depth is stack.
inline constexpr int JSON_MAX_DEPTH = 64;
// Whether no array or object in text opens more than limit levels deep (a scan
// that skips strings; says nothing about whether text is valid JSON).
bool json_nesting_within(const std::string& text, int limit);
// Parse a service answer; throws (json::parse_error, or std::runtime_error for
// nesting deeper than JSON_MAX_DEPTH) when it is not readable.
json json_parse_answer(const std::string& body);
// The same without exceptions: a discarded value when it is not readable.
json json_read_answer(const std::string& body);
// Member key of an object; null when value is not an object or lacks key.
const json& json_member(const json& value, const std::string& key);
// text as a JSON string that can always be serialised: invalid UTF-8 bytes
// become U+FFFD (a body stored in CONFIG must not stop the configuration's save).
json json_text(const std::string& text);
// Append code point cp to s in UTF-8; out-of-range and surrogate values are dropped.
void utf8_append(std::string& s, int cp);
// Remove the last UTF-8 character of s (a whole multi-byte sequence); nothing when empty.
void utf8_pop_back(std::string& s);
// Split s into its characters (each a UTF-8 sequence; a stray byte is one character).
std::vector<std::string> utf8_split(const std::string& s);

// ---- Bounds on a chat box's text (text_bounds.cpp) --------------------------------
// A box shows at most this many characters (code points) of a message's text,
// and of its sender's name; its whole text ("name: text") at most their sum
// and ": ". Measuring, wrapping and drawing a box, and bursting it into
// letters, cost at most what this many characters cost, whatever a message holds.
inline constexpr size_t CHAT_TEXT_MAX_CHARS = 500;
inline constexpr size_t CHAT_NAME_MAX_CHARS = 64;
inline constexpr size_t CHAT_BOX_MAX_CHARS = CHAT_NAME_MAX_CHARS + 2 + CHAT_TEXT_MAX_CHARS;
// Combining marks kept on one character; those after them are dropped (a
// character with thousands of marks measures and draws them all).
inline constexpr int CHAT_MARKS_MAX = 4;
// Whether code point cp is a combining mark (general category M, Unicode 14).
bool combining_mark(int cp);
// text with at most CHAT_MARKS_MAX combining marks after each character
// (marks at the very start count as on one character) and then at most
// max_chars characters: when more are left, the first max_chars - 1 and
// "…" (U+2026). Counts code points; never cuts inside a UTF-8 sequence (a stray
// byte counts as one character). Reads only as far as the bound; applied to
// its own result it changes nothing.
std::string text_bounded(const std::string& text, size_t max_chars);

// ---- Login (login.cpp) ------------------------------------------------------
// What a login answer says.
struct LoginAnswer {
    // NOTHING: empty body (no answer); UNREADABLE: not JSON, or "status" not a
    // boolean, or "url" not a string when it is needed.
    enum Kind { NOTHING, UNREADABLE, LINKED, UNLINKED } kind = NOTHING;
    json user;        // LINKED: the account ("user"; null when absent)
    std::string url;  // UNLINKED: the page where the user authorises the link
};
LoginAnswer login_read(const std::string& body);  // Read a login answer; prints nothing (answers.cpp)

void login_spawn();                      // Start a login: ask the service (GET, login_spawn_inner)
void login_spawn_inner(std::string body);  // Worker: first answer; hands greeting or browser+bubble over
Element* login_spawn_1();                // Open the authorise-request bubble
void login_click_1(Element* bubble, Vector2 mouse, MouseButton button);  // Close it, ask again
void login_click_1_inner(std::string body);  // Worker: second answer; greeting or failure bubble
Element* login_spawn_2();                // Open the greeting bubble for USER
void login_click_2(Element* bubble, Vector2 mouse, MouseButton button);  // menu_destroy()

// ---- Chat feed (chat.cpp, chat_poll_run in answers.cpp) -------------------------
// A poll runs as a task on the network worker (fetch_task): its requests are
// performed there one after another, within an overall deadline, and its
// outcome comes back to the main thread through the hand-over (online_post),
// which applies it to CONFIG["last_chat"] and chat_to_spawn. No frame waits.
// The getter the poll asks with: the body, or "" when no answer came; it may
// throw to give up (the deadline), which interrupts the poll.
using ChatGet = std::function<std::string(const std::string& url)>;
// Result of one poll, without side effects on CONFIG or the boxes.
struct ChatPoll {
    bool news = false;               // poll_chat's result
    bool advance = false;            // "last_chat" becomes newest
    json newest;                     // the newest "message" (when advance)
    std::vector<std::string> texts;  // box texts, newest first (when advance)
};
// The poll's algorithm over a getter; to_chat formats one message (may throw,
// which interrupts the poll like a bad page). Prints the poll's lines.
ChatPoll chat_poll_run(const json& last_chat, const ChatGet& get,
                       const std::function<std::string(const json&)>& to_chat);
// Sender name of message, looking ids up through get and caching them in cache.
std::string chatter_name(const json& message, std::map<std::string, std::string>& cache, const ChatGet& get);

extern std::vector<std::string> chat_to_spawn;        // box texts of applied polls (main thread)
// sender id -> display name (names cut to CHAT_NAME_MAX_CHARS; ids over 256 bytes are
// not kept, and past 4096 names it starts afresh); read and written by the poll's task under poll_chat_busy
extern std::map<std::string, std::string> ID_TO_NAME;
extern std::mutex poll_chat_busy;                      // held by the poll's task for the whole of one poll

// Start one poll (main thread); false when one is still running or the
// worker refuses it (requests off, shut down): nothing started.
bool poll_chat_start();
// The outcome of the poll applied last, once (main thread): 1 when the newest
// message was new, 0 when not, -1 when no poll has ended since the last call.
int poll_chat_outcome();
// Start one poll and wait for its outcome (tests and tools; never the frame
// loop): true when the newest message was new.
bool poll_chat();
// sender name + ": " + str(text), the name cut to CHAT_NAME_MAX_CHARS and the
// text to CHAT_TEXT_MAX_CHARS (text_bounded)
std::string to_chat(json message);
// The sender's display name, cut to CHAT_NAME_MAX_CHARS (looked up once per id; blocks)
std::string to_chatter(json message);
// A white chat box above the mascot, falling, showing text cut to
// CHAT_BOX_MAX_CHARS (text_bounded). While the desktop holds chat_boxes_limit
// boxes the oldest of them bursts first, as a click bursts it; with the limit
// 0 no box is made and the result is null.
Element* spawn_chat(std::string text);
// Burst into letters: one per character that is not blank, while the
// physics world has room and fewer than CHAT_LETTERS_MAX letters of bursts are
// on the desktop (the rest of the text goes with the box).
void chat_click(Element* box, Vector2 previousMouse, Vector2 mouse, MouseButton button);
// Letters of burst boxes on the desktop at once. Each is a body of its own,
// all made in one frame at one spot: thousands of them (a few long boxes)
// stalled frames for a second and took a hundred megabytes while they tumbled.
inline constexpr size_t CHAT_LETTERS_MAX = 256;
// Take chat_to_spawn over, leaving it empty. Handed out oldest message first (a
// poll queues them newest first), so the box made first is always the oldest;
// of more texts than chat_boxes_limit only the newest that many are handed out
// (the older ones would burst the moment they were made).
std::vector<std::string> chat_take();

// ---- How many chat boxes the desktop holds -----------------------------------------
// config.json's "chat_boxes": an integer from 0 (no boxes shown) to
// CHAT_BOXES_MOST; absent or null means CHAT_BOXES_DEFAULT.
inline constexpr int CHAT_BOXES_DEFAULT = 40;
inline constexpr int CHAT_BOXES_MOST = 1000;
extern int chat_boxes_limit;  // main thread; CHAT_BOXES_DEFAULT until online_init reads CONFIG
// The limit for a "chat_boxes" value (null when absent). Any other value than
// those above gives CHAT_BOXES_DEFAULT and, in problem, the line that says so.
int chat_boxes_choose(const json& configured, std::string* problem);
size_t chat_box_count();  // chat boxes on the desktop now (made and not yet burst or removed)

// ---- Commune composer (commune.cpp) --------------------------------------------
extern std::string commune_content;  // the draft (UTF-8); main thread
extern Vector2 commune_size;         // bubble size as built, minus the empty draft line's height
extern float commune_left;           // x offset of the draft line's left edge anchor
// Where the lines sit below the frame's top edge as built, pixels: the title's
// and the hint's centres and the draft's top edge. They keep these places as
// the bubble grows with the draft, so the frame's margins stay what
// spawn_menu gave them.
extern float commune_title_y, commune_hint_y, commune_draft_y;

Element* commune_spawn();                                  // Open the composer bubble (the window takes the keyboard)
void commune_destroy(Element* bubble);                     // onDestroy: the window gives the keyboard back
void commune_update(Element* bubble, float dt, float time);  // onUpdate: keys, draft, post
// One frame of the composer with the keys already read (commune_update's body;
// tests drive it). ch: typed code point or 0.
void commune_input(Element* bubble, int ch, bool enter, bool backspace);
void commune_redraw(Element* bubble);                      // Re-lay the draft line and the bubble's size
std::string commune_post_url();                            // The post's URL for the current draft
void commune_update_entered(std::string body);             // Worker: the post's answer, handed over

// ---- Live notices (live.cpp; fetchFern_inner in answers.cpp) ---------------------
extern std::vector<std::string> previousFernOnline;  // handles of the last good answer (worker)
extern std::vector<std::string> livesToSpawn;        // handles to announce; guarded by livesToSpawn_lock
extern std::mutex livesToSpawn_lock;
extern std::string live_person;                      // handle of the notice shown last (main thread)
extern std::atomic<bool> VIMO_LIVE;                  // the streamer's notice shown and still listed
extern std::atomic<bool> VIMO_SNOOZED;               // the user dismissed the streamer's notice

void fetchFern();                          // Queue the live-list request
void fetchFern_inner(std::string body);    // Worker: announce new handles, clear VIMO_LIVE when gone
// The most handles one live list is read for (announced and remembered); the
// rest of a longer list is ignored, except that the streamer still counts as listed.
inline constexpr size_t LIVE_MAX_HANDLES = 256;
std::vector<std::string> live_take();      // Take livesToSpawn over under its lock
// The mascot's take: at most one handle, the last queued, since each notice
// replaces the one before; a streamer's notice skipped on the way still counts
// as shown (VIMO_LIVE set, the snooze cleared), as live_spawn would have done.
std::vector<std::string> live_take_latest();
Element* live_spawn(std::string handle);   // Show the notice for handle (replacing any bubble)
void live_click(Element* menu, int index);  // The notice's chooser
void clear_menu();                         // Remove an active block spawner, close the open bubble

// ---- Post and blog feeds (feeds.cpp; inner handlers in answers.cpp) -----------------
extern std::string previousBskyDate;  // createdAt of the newest post seen last (worker)
extern std::vector<std::string> blogs;  // guids of the feed seen last (worker)

void fetchBsky();                          // Queue the Bluesky request
void fetchBlog();                          // Queue the blog feed request
void fetchBsky_inner(std::string body);    // Worker: "new post!" when createdAt changed
void fetchBlog_inner(std::string body);    // Worker: "new blog: " lines when the guid count changed
