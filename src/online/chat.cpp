// The chat feed on the desktop: the poll that finds the messages not seen yet
// (started by the mascot's update, run as a task on the network worker, its
// outcome handed back to the main thread),
// the sender names, the falling chat boxes and their burst into letters.
#include <cctype>
#include <chrono>
#include <stdexcept>
#include <utility>

#include "base/base.h"
#include "desktop/behaviours.h"
#include "draw/draw.h"
#include "element/element.h"
#include "mascot/vimo.h"
#include "net/net.h"
#include "online/online.h"
#include "physics/physics.h"

std::vector<std::string> chat_to_spawn;
std::map<std::string, std::string> ID_TO_NAME;
std::mutex poll_chat_busy;

static const char* const CHAT_FONT = "assets/neodgm.ttf:16:";

// Main thread only: a poll has been started and its outcome not applied yet
// (so the next poll compares with the cursor this one leaves); the outcome of
// the last applied poll for the mascot's schedule.
static bool chat_poll_running = false;
static int chat_poll_result = -1;

// A poll that has run this long counts as interrupted: no boxes, the cursor
// kept. Below FETCH_TASK_BOUND_MS, the most a task may hold the worker.
static const long CHAT_POLL_DEADLINE_MS = 25000;

namespace {
struct ChatPollDeadline : std::runtime_error {
    ChatPollDeadline() : std::runtime_error("the chat poll ran out of time") {}
};
}  // namespace

// Main thread: the worker's result of one poll.
static void chat_poll_apply(const ChatPoll& poll) {
    if (poll.advance) {
        CONFIG["last_chat"] = poll.newest;
        chat_to_spawn.insert(chat_to_spawn.end(), poll.texts.begin(), poll.texts.end());
    }
    chat_poll_result = poll.news ? 1 : 0;
    chat_poll_running = false;
}

// A box's text: the sender's name, ": " and the message's text.
static std::string chat_line(const std::string& name, const json& message) {
    return name + ": " + str(json_member(message, "text"));
}

// Worker: one poll under poll_chat_busy, every request performed here in the
// poll's order, each transfer cut to what is left of the deadline.
static void chat_poll_task(const json& last_chat) {
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + std::chrono::milliseconds(CHAT_POLL_DEADLINE_MS);
    ChatGet get = [deadline](const std::string& url) {
        long left = long(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count());
        if (left <= 0) throw ChatPollDeadline();
        std::string body = fetch_blocking(url, "GET", left);
        if (clock::now() >= deadline) throw ChatPollDeadline();  // cut short: not an answer
        return body;
    };
    ChatPoll poll;
    {
        std::lock_guard<std::mutex> lock(poll_chat_busy);
        poll = chat_poll_run(last_chat, get, [&get](const json& message) {
            return chat_line(chatter_name(message, ID_TO_NAME, get), message);
        });
    }
    online_post([poll = std::move(poll)] { chat_poll_apply(poll); });
}

bool poll_chat_start() {
    if (chat_poll_running) return false;
    json& last_chat = CONFIG["last_chat"];
    if (last_chat.is_null()) last_chat = "";
    chat_poll_running = true;
    if (!fetch_task([last_chat = json(last_chat)] { chat_poll_task(last_chat); })) {
        chat_poll_running = false;
        return false;
    }
    return true;
}

int poll_chat_outcome() {
    return std::exchange(chat_poll_result, -1);
}

bool poll_chat() {
    if (!poll_chat_start()) return false;
    // The task posts its outcome before the worker lets go of it, so an idle
    // worker means the outcome is waiting in the hand-over.
    while (chat_poll_running) {
        if (!fetch_wait_idle(FETCH_TASK_BOUND_MS + FETCH_SHUTDOWN_WAIT_MS)) break;
        online_drain();
    }
    chat_poll_running = false;
    return poll_chat_outcome() == 1;
}

std::string to_chat(json message) { return chat_line(to_chatter(message), message); }

std::string to_chatter(json message) {
    std::lock_guard<std::mutex> lock(poll_chat_busy);
    return chatter_name(message, ID_TO_NAME, [](const std::string& url) { return fetch_blocking(url, "GET"); });
}

std::vector<std::string> chat_take() {
    std::vector<std::string> taken;
    taken.swap(chat_to_spawn);
    return taken;
}

// A white box around a black text, sized to the text plus a 4-pixel margin.
static void chat_dress(Element* e, const std::string& text, float wrap) {
    Drawable back{};
    back.type = DRAWABLE_COLOR;
    back.color = {255, 255, 255, 255};
    Drawable words{};
    words.type = DRAWABLE_TEXT;
    words.source = CHAT_FONT + text;
    words.color = {0, 0, 0, 255};
    words.size = {wrap, 0};
    e->drawables.push_back(back);
    e->drawables.push_back(words);
    Vector2 measured = getDrawableSize(e, words);
    e->size = {measured.x + 8, measured.y + 8};
    e->drawables[0].size = e->size;
}

Element* spawn_chat(std::string text) {
    Element* box = newElement(-1);
    chat_dress(box, text, 256);
    // Dropped from the top edge of the mascot's monitor, above the mascot.
    const float x = vimo != nullptr ? vimo->position.x : RESOLUTION.x * 0.5f;
    box->position = {x, monitor_at({x, vimo != nullptr ? vimo->position.y : 0}).y};
    setProperty<std::string>(box, "content", text);
    box->onDrag = genericDragElement;
    box->onRelease = chat_click;
    // Without room in the physics world the box stays where it was made, still
    // clickable; it needs no body to be burst.
    enablePhysics(box);
    return box;
}

static bool ascii_space(const std::string& ch) {
    return ch.size() == 1 && (ch[0] == ' ' || ch[0] == '\t' || ch[0] == '\n' || ch[0] == '\v' || ch[0] == '\f' ||
                              ch[0] == '\r');
}

void chat_click(Element* box, Vector2 previousMouse, Vector2 mouse, MouseButton button) {
    (void)previousMouse, (void)mouse, (void)button;
    std::string* content = getProperty<std::string>(box, "content");
    if (content != nullptr) {
        // One letter per UTF-8 character, so a multi-byte letter stays whole.
        for (const std::string& ch : utf8_split(*content)) {
            if (ascii_space(ch)) continue;
            if (GetPhysicsBodiesCount() >= PHYSICS_MAX_BODIES) break;  // the world is full: no more letters
            Element* letter = newElement(-1);
            chat_dress(letter, ch, 0);
            letter->position = box->position;
            letter->rotation = randf() * 360;
            letter->onUpdate = genericTemporaryElement;
            setProperty<float>(letter, "life", randf() * 3 + 3);
            if (enablePhysics(letter) == nullptr) {
                removeElement(letter);
                break;
            }
        }
    }
    removeElement(box);
}
