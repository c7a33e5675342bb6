// The chat feed (chat.cpp; chat_poll_run and chatter_name in answers.cpp): the
// poll that finds the messages not seen yet, the sender names, the falling
// chat boxes and their burst into letters. A message that comes with its look
// (online/chat_look.h) gets a box laid out as its platform shows it, with
// pictures from online/emotes.h; any other keeps the plain box.
//
// A poll runs as a task on the network worker (fetch_task): its requests are
// performed there one after another, within an overall deadline, and its
// outcome comes back to the main thread through the hand-over (online_post),
// which applies it to CONFIG["last_chat"] and chat_to_spawn. No frame waits.
// Whether a poll runs is the jobs' clock's record (vimo_poll_running,
// online/jobs.h); this module keeps only what an applied poll left.
//
// Threads: main thread, except chat_poll_run and chatter_name, which the
// poll's task runs on the network worker.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gfx/raylib.h"
#include "online/json_text.h"

struct Element;
struct ChatLook;

// ---- The poll ------------------------------------------------------------------
// The getter the poll asks with: the body, or "" when no answer came; it may
// throw to give up (the deadline), which interrupts the poll.
using ChatGet = std::function<std::string(const std::string& url)>;
// Result of one poll, without side effects on CONFIG or the boxes.
struct ChatPoll {
    bool news = false;               // poll_chat's result
    bool advance = false;            // "last_chat" becomes newest
    json newest;                     // the newest "message" (when advance)
    std::vector<std::string> texts;  // box texts, newest first (when advance)
    // Beside texts, one per text when advance: the message's look, null for a
    // message without one (set by the poll's task, not by chat_poll_run).
    std::vector<std::shared_ptr<const ChatLook>> looks;
};
// The poll's algorithm over a getter; to_chat formats one message (may throw,
// which interrupts the poll like a bad page). Prints the poll's lines (answers.cpp).
ChatPoll chat_poll_run(const json& last_chat, const ChatGet& get,
                       const std::function<std::string(const json&)>& to_chat);
// Sender name of message: its "name" when that is a text that is not empty,
// else looked up by id through get and cached in cache (answers.cpp).
std::string chatter_name(const json& message, std::map<std::string, std::string>& cache, const ChatGet& get);

extern std::vector<std::string>& chat_to_spawn;  // box texts of applied polls (main thread)
// "platform:sender id" -> display name (names cut to CHAT_NAME_MAX_CHARS; ids over 256 bytes are
// not kept, and past 4096 names it starts afresh); read and written by the poll's
// task and by to_chatter, each under a lock private to chat.cpp
extern std::map<std::string, std::string> ID_TO_NAME;

// Start one poll (main thread); false when one is still running
// (vimo_poll_running) or the worker refuses it (requests off, shut down):
// nothing started.
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

// ---- The boxes -----------------------------------------------------------------
// A white chat box above the mascot, falling, showing text cut to
// CHAT_BOX_MAX_CHARS (text_bounded). While the desktop holds chat_boxes_limit
// boxes the oldest of them bursts first, as a click bursts it; with the limit
// 0 no box is made and the result is null.
Element* spawn_chat(std::string text);
// A chat box for text laid out with look (online/chat_look.h): badges, the
// name in its colour and pictures inline, which come as they arrive
// (online/emotes.h); without a look, spawn_chat's box. Content and burst as
// spawn_chat's, each picture bursting into one tumbling piece of its own.
Element* spawn_chat_look(std::string text, std::shared_ptr<const ChatLook> look);
// The jobs' spawn: the box for a text chat_take handed out, with the look that
// came with it (the next text handed out must be text; otherwise a plain box).
Element* spawn_chat_taken(std::string text);
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

// ---- How many chat boxes the desktop holds -------------------------------------
// config.json's "chat_boxes": an integer from 0 (no boxes shown) to
// CHAT_BOXES_MOST; absent or null means CHAT_BOXES_DEFAULT.
inline constexpr int CHAT_BOXES_DEFAULT = 40;
inline constexpr int CHAT_BOXES_MOST = 1000;
extern int& chat_boxes_limit;  // main thread; CHAT_BOXES_DEFAULT until online_init reads CONFIG
// The limit for a "chat_boxes" value (null when absent). Any other value than
// those above gives CHAT_BOXES_DEFAULT and, in problem, the line that says so.
int chat_boxes_choose(const json& configured, std::string* problem);
size_t chat_box_count();  // chat boxes on the desktop now (made and not yet burst or removed)
