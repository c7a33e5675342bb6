// The chat feed on the desktop: the poll that finds the messages not seen yet
// (started by the jobs' clock, run as a task on the network worker, its
// outcome handed back to the main thread),
// the sender names, the falling chat boxes and their burst into letters.
//
// Threads: main thread, except chat_poll_task (network worker). Locks:
// chat_names_lock guards ID_TO_NAME.
#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <unordered_set>
#include <utility>

#include "base/base.h"
#include "desktop/behaviours.h"
#include "draw/draw.h"
#include "element/element.h"
#include "mascot/vimo.h"
#include "net/net.h"
#include "online/chat.h"
#include "online/chat_look.h"
#include "online/emotes.h"
#include "online/handover.h"
#include "online/jobs.h"
#include "online/json_text.h"
#include "online/text_bounds.h"
#include "physics/physics.h"

// What applied polls left on the main thread. Whether a poll runs is not kept
// here: the jobs' clock holds that record (vimo_poll_running).
struct ChatPollState {
    std::vector<std::string> to_spawn;  // box texts of applied polls, newest first; taken by chat_take
    // Beside to_spawn, one per text: its look, null for none. Texts put into
    // to_spawn by other hands than a poll (tests) come without.
    std::vector<std::shared_ptr<const ChatLook>> looks;
    int outcome = -1;                   // the last applied poll's, until taken: 1 news, 0 quiet; -1 none
};
static ChatPollState chat_poll;
std::vector<std::string>& chat_to_spawn = chat_poll.to_spawn;

// The sender-name cache. The poll's task holds chat_names_lock for the whole
// of one poll (chatter_name keeps the cache across its lookups), to_chatter
// for one lookup.
std::map<std::string, std::string> ID_TO_NAME;
static std::mutex chat_names_lock;

static const char* const CHAT_FONT = "assets/neodgm.ttf:16:";

// The chat boxes and their letters on the desktop (main thread).
struct ChatBoxes {
    int limit = CHAT_BOXES_DEFAULT;  // boxes held at once; 0 shows none
    // The boxes in the order they were made, oldest first; a box leaves it
    // when it is queued for removal (a burst, by a click or by a newer box, or
    // any other removal), through the registry's report.
    std::deque<Element*> shown;
    std::unordered_set<Element*> letters;  // letters of burst boxes still on the desktop
    // The texts chat_take handed out last with their looks, in order; each
    // spawn_chat_taken takes the front one when it is its text.
    std::deque<std::pair<std::string, std::shared_ptr<const ChatLook>>> taken;
};
static ChatBoxes chat_boxes;
int& chat_boxes_limit = chat_boxes.limit;

static void chat_box_removed(Element* e) {
    auto it = std::find(chat_boxes.shown.begin(), chat_boxes.shown.end(), e);
    if (it != chat_boxes.shown.end()) chat_boxes.shown.erase(it);
    chat_boxes.letters.erase(e);
}
[[maybe_unused]] static const bool chat_boxes_listening = element_listen_removals(chat_box_removed);

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
        // Kept one per text, whatever else put texts there.
        chat_poll.looks.resize(chat_poll.to_spawn.size());
        chat_poll.to_spawn.insert(chat_poll.to_spawn.end(), poll.texts.begin(), poll.texts.end());
        if (poll.looks.size() == poll.texts.size())
            chat_poll.looks.insert(chat_poll.looks.end(), poll.looks.begin(), poll.looks.end());
        chat_poll.looks.resize(chat_poll.to_spawn.size());
    }
    chat_poll.outcome = poll.news ? 1 : 0;
}

// A message's text as a box shows it, cut to its bound here, on the worker,
// before anything keeps or measures it.
static std::string chat_text_shown(const json& message) {
    const json& text = json_member(message, "text");
    // A string is cut where it stands, without a copy of all of it.
    return text.is_string() ? text_bounded(text.get_ref<const std::string&>(), CHAT_TEXT_MAX_CHARS)
                            : text_bounded(str(text), CHAT_TEXT_MAX_CHARS);
}

// A box's text: the sender's name, ": " and the message's text, each cut to its bound.
static std::string chat_line(const std::string& name, const json& message) {
    return text_bounded(name, CHAT_NAME_MAX_CHARS) + ": " + chat_text_shown(message);
}

// Worker: one poll under chat_names_lock, every request performed here in the
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
    // One per text the poll made, in its order: to_chat runs once per text it keeps.
    std::vector<std::shared_ptr<const ChatLook>> looks;
    {
        std::lock_guard<std::mutex> lock(chat_names_lock);
        poll = chat_poll_run(last_chat, get, [&get, &looks](const json& message) {
            std::string name = text_bounded(chatter_name(message, ID_TO_NAME, get), CHAT_NAME_MAX_CHARS);
            std::string shown = chat_text_shown(message);
            looks.push_back(chat_look_present(message)
                                ? std::make_shared<const ChatLook>(chat_look_read(message, name, shown))
                                : nullptr);
            return name + ": " + shown;
        });
    }
    if (poll.advance && looks.size() == poll.texts.size()) poll.looks = std::move(looks);
    online_post([poll = std::move(poll)] { chat_poll_apply(poll); });
}

bool poll_chat_start() {
    // One at a time, so the next poll compares with the cursor this one leaves.
    if (vimo_poll_running) return false;
    json& last_chat = CONFIG["last_chat"];
    if (last_chat.is_null()) last_chat = "";
    return fetch_task([last_chat = json(last_chat)] { chat_poll_task(last_chat); });
}

int poll_chat_outcome() {
    return std::exchange(chat_poll.outcome, -1);
}

// The clock's record of a running poll is not set: this holds the main thread
// until the outcome, so the clock cannot start another meanwhile.
bool poll_chat() {
    if (!poll_chat_start()) return false;
    // This poll's outcome is the next one applied, not one left from before.
    chat_poll.outcome = -1;
    // The task posts its outcome before the worker lets go of it, so an idle
    // worker means the outcome is waiting in the hand-over.
    int outcome = -1;
    while ((outcome = poll_chat_outcome()) < 0) {
        if (!fetch_wait_idle(FETCH_TASK_BOUND_MS + FETCH_SHUTDOWN_WAIT_MS)) break;
        online_drain();
    }
    return outcome == 1;
}

std::string to_chat(json message) { return chat_line(to_chatter(message), message); }

std::string to_chatter(json message) {
    std::lock_guard<std::mutex> lock(chat_names_lock);
    return chatter_name(message, ID_TO_NAME, [](const std::string& url) { return fetch_blocking(url, "GET"); });
}

std::vector<std::string> chat_take() {
    std::vector<std::string> taken;
    taken.swap(chat_poll.to_spawn);
    std::vector<std::shared_ptr<const ChatLook>> looks;
    looks.swap(chat_poll.looks);
    if (looks.size() != taken.size()) looks.assign(taken.size(), nullptr);  // texts not from a poll
    // Queued newest first: the newest chat_boxes.limit are the first ones.
    size_t keep = std::min(taken.size(), size_t(std::max(chat_boxes.limit, 0)));
    taken.resize(keep);
    looks.resize(keep);
    std::reverse(taken.begin(), taken.end());
    std::reverse(looks.begin(), looks.end());
    chat_boxes.taken.clear();
    for (size_t i = 0; i < keep; i++) chat_boxes.taken.emplace_back(taken[i], looks[i]);
    return taken;
}

int chat_boxes_choose(const json& configured, std::string* problem) {
    if (configured.is_null()) return CHAT_BOXES_DEFAULT;
    if (configured.is_number_integer()) {
        long long value = configured.get<long long>();
        if (value >= 0 && value <= CHAT_BOXES_MOST) return int(value);
    }
    if (problem != nullptr) {
        std::string shown = configured.dump(-1, ' ', false, json::error_handler_t::replace);
        if (shown.size() > 40) shown = shown.substr(0, 37) + "...";
        *problem = "config: \"chat_boxes\" must be an integer from 0 to " + std::to_string(CHAT_BOXES_MOST) +
                   " (not " + shown + "); using " + std::to_string(CHAT_BOXES_DEFAULT);
    }
    return CHAT_BOXES_DEFAULT;
}

size_t chat_box_count() { return chat_boxes.shown.size(); }

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

static void chat_box_drop(Element* box, const std::string& text);

// A new box element, made room for; null when no box is shown (limit 0).
static Element* chat_box_new() {
    if (chat_boxes.limit <= 0) return nullptr;
    // Room for the new box: the oldest go the way a click sends them. Each
    // leaves the list as it is queued for removal (chat_box_removed).
    while (!chat_boxes.shown.empty() && chat_boxes.shown.size() >= size_t(chat_boxes.limit)) {
        Element* oldest = chat_boxes.shown.front();
        chat_click(oldest, oldest->position, oldest->position, MOUSE_BUTTON_LEFT);
        // removeElement reports it, which takes it off; this only keeps the loop finite.
        if (!chat_boxes.shown.empty() && chat_boxes.shown.front() == oldest) chat_boxes.shown.pop_front();
    }
    Element* box = newElement(-1);
    chat_boxes.shown.push_back(box);
    return box;
}

Element* spawn_chat(std::string text) {
    Element* box = chat_box_new();
    if (box == nullptr) return nullptr;
    // Whatever the caller, a box never shows more than its bound.
    text = text_bounded(text, CHAT_BOX_MAX_CHARS);
    chat_dress(box, text, CHAT_WRAP_WIDTH);
    chat_box_drop(box, text);
    return box;
}

// A dressed box's place, content, handlers and body.
static void chat_box_drop(Element* box, const std::string& text) {
    // Dropped from the top edge of the mascot's monitor, above the mascot.
    const float x = vimo != nullptr ? vimo->position.x : RESOLUTION.x * 0.5f;
    box->position = {x, monitor_at({x, vimo != nullptr ? vimo->position.y : 0}).y};
    setProperty<std::string>(box, "content", text);
    box->onDrag = genericDragElement;
    box->onRelease = chat_click;
    // Without room in the physics world the box stays where it was made, still
    // clickable; it needs no body to be burst.
    enablePhysics(box);
}

// ---- Boxes with a look ---------------------------------------------------------------

// Where piece's centre lies from the centre of the box or piece that shows layout.
static Vector2 chat_piece_offset(const ChatLayout& layout, const ChatPiece& piece) {
    return Vector2{piece.box.x + piece.box.width * 0.5f - layout.size.x * 0.5f,
                   piece.box.y + piece.box.height * 0.5f - layout.size.y * 0.5f};
}

// onDraw of a box or piece with a look: its pictures, after the drawables
// (the white back and the text runs). A picture not here yet leaves its place
// empty; one that will not come shows the text it stands for.
static void chat_pictures_draw(Element* e, float dt) {
    (void)dt;
    const ChatLayout* layout = getProperty<ChatLayout>(e, "layout");
    if (layout == nullptr) return;
    // One clock for every animation: a picture shown twice plays in step.
    const double ms = GetTime() * 1000.0;
    for (const ChatPiece& piece : layout->pieces) {
        if (piece.kind != CHAT_PIECE_IMAGE) continue;
        EmoteShow show = emote_show(piece.image, ms);
        Vector2 offset = chat_piece_offset(*layout, piece);
        Drawable d{};
        if (show.status == EMOTE_READY) {
            d.color = {255, 255, 255, 255};
            drawSpritePart(e, d, show.texture, show.source, offset, Vector2{piece.box.width, piece.box.height});
        } else if (show.status == EMOTE_FAILED && !piece.text.empty()) {
            d.type = DRAWABLE_TEXT;
            d.source = CHAT_FONT + piece.text;
            d.color = {0, 0, 0, 255};
            d.offset = offset;
            drawElement(e, d);
        }
    }
}

// A white box around the laid-out line: the text runs as text drawables in
// their colours, the pictures drawn by chat_pictures_draw.
static void chat_dress_layout(Element* e, ChatLayout layout) {
    Drawable back{};
    back.type = DRAWABLE_COLOR;
    back.color = {255, 255, 255, 255};
    e->drawables.push_back(back);
    for (const ChatPiece& piece : layout.pieces) {
        if (piece.kind != CHAT_PIECE_TEXT) continue;
        Drawable words{};
        words.type = DRAWABLE_TEXT;
        words.source = CHAT_FONT + piece.text;
        words.color = piece.color;
        words.offset = chat_piece_offset(layout, piece);
        e->drawables.push_back(words);
    }
    e->size = {layout.size.x + 8, layout.size.y + 8};
    e->drawables[0].size = e->size;
    setProperty<ChatLayout>(e, "layout", std::move(layout));
    e->onDraw = chat_pictures_draw;
}

// What a box with a look keeps to lay itself out again.
struct ChatBoxLook {
    std::shared_ptr<const ChatLook> look;  // never null
    unsigned failures = 0;                 // emotes_failures() when it was laid out
};

// Give the box a body of its new size where the old one was, moving as it moved.
static void chat_box_reshape(Element* box) {
    PhysicsLock world;
    PhysicsBodyData* old = box->physicsId != -1 ? GetPhysicsBodyByID(box->physicsId) : nullptr;
    if (old == nullptr) return;
    const Vector2 velocity = old->velocity;
    const float spin = old->angularVelocity, turn = old->rotation;
    box->position = old->position;
    PhysicsBodyData* body = enablePhysics(box);  // replaces the old one: the world has room
    if (body == nullptr) return;
    body->velocity = velocity;
    body->angularVelocity = spin;
    SetPhysicsBodyRotation(body, turn);
}

// onUpdate of a box with a look: once a picture it shows turns out not to
// come, the box is laid out again with that emote as its text (a badge left
// out), its body resized. One comparison a frame while nothing failed.
static void chat_box_update(Element* box, float dt, float time) {
    (void)dt, (void)time;
    ChatBoxLook* held = getProperty<ChatBoxLook>(box, "look");
    const ChatLayout* layout = getProperty<ChatLayout>(box, "layout");
    if (held == nullptr || layout == nullptr || held->failures == emotes_failures()) return;
    held->failures = emotes_failures();
    bool stale = false;
    for (const ChatPiece& piece : layout->pieces)
        stale = stale || (piece.kind == CHAT_PIECE_IMAGE && emote_failed(piece.image));
    if (!stale) return;
    const Vector2 before = box->size;
    box->drawables.clear();
    chat_dress_layout(box, chat_look_layout(*held->look, emote_failed));
    if (box->size.x != before.x || box->size.y != before.y) chat_box_reshape(box);
}

Element* spawn_chat_look(std::string text, std::shared_ptr<const ChatLook> look) {
    if (!look) return spawn_chat(std::move(text));
    Element* box = chat_box_new();
    if (box == nullptr) return nullptr;
    text = text_bounded(text, CHAT_BOX_MAX_CHARS);
    // Asked for first, so what is known not to come (requests off) is laid out as text.
    for (const std::string& badge : look->badges) emote_want(badge);
    for (const ChatEmote& emote : look->emotes) emote_want(emote.image);
    setProperty<ChatBoxLook>(box, "look", ChatBoxLook{look, emotes_failures()});
    chat_dress_layout(box, chat_look_layout(*look, emote_failed));
    box->onUpdate = chat_box_update;
    chat_box_drop(box, text);
    return box;
}

Element* spawn_chat_taken(std::string text) {
    if (!chat_boxes.taken.empty() && chat_boxes.taken.front().first == text) {
        std::shared_ptr<const ChatLook> look = std::move(chat_boxes.taken.front().second);
        chat_boxes.taken.pop_front();
        return spawn_chat_look(std::move(text), std::move(look));
    }
    return spawn_chat(std::move(text));
}

// ---- Bursts ---------------------------------------------------------------------------

static bool ascii_space(const std::string& ch) {
    return ch.size() == 1 && (ch[0] == ' ' || ch[0] == '\t' || ch[0] == '\n' || ch[0] == '\v' || ch[0] == '\f' ||
                              ch[0] == '\r');
}

// One tumbling piece of a burst at the box's place, dressed by dress; false
// when no more may be made (the world is full, or enough pieces tumble: the
// rest go with the box). The caller holds the world's lock.
static bool chat_burst_one(Element* box, const std::function<void(Element*)>& dress) {
    if (GetPhysicsBodiesCount() >= PHYSICS_MAX_BODIES) return false;
    if (chat_boxes.letters.size() >= CHAT_LETTERS_MAX) return false;
    Element* letter = newElement(-1);
    dress(letter);
    letter->position = box->position;
    letter->rotation = randf() * 360;
    letter->onUpdate = genericTemporaryElement;
    setProperty<float>(letter, "life", randf() * 3 + 3);
    if (enablePhysics(letter) == nullptr) {
        removeElement(letter);
        return false;
    }
    chat_boxes.letters.insert(letter);
    return true;
}

// One letter per UTF-8 character that is not blank, so a multi-byte letter
// stays whole; each in colour (a coloured name's letters keep it).
static bool chat_burst_letters(Element* box, const std::string& text, Color colour = {0, 0, 0, 255}) {
    for (const std::string& ch : utf8_split(text)) {
        if (ascii_space(ch)) continue;
        bool made = chat_burst_one(box, [&ch, colour](Element* letter) {
            chat_dress(letter, ch, 0);
            letter->drawables[1].color = colour;
        });
        if (!made) return false;
    }
    return true;
}

// A box with a look: its text runs as letters, each picture as one piece
// showing it (a picture that will not come bursts into the letters of its text).
static void chat_burst_look(Element* box, const ChatLayout& layout) {
    for (const ChatPiece& piece : layout.pieces) {
        bool more = true;
        if (piece.kind == CHAT_PIECE_TEXT || emote_failed(piece.image)) {
            Color colour = piece.kind == CHAT_PIECE_TEXT ? piece.color : Color{0, 0, 0, 255};
            more = chat_burst_letters(box, piece.text, colour);
        } else {
            more = chat_burst_one(box, [&piece](Element* e) {
                ChatLayout alone;
                alone.pieces.push_back(piece);
                alone.pieces.back().box.x = alone.pieces.back().box.y = 0;
                alone.size = {piece.box.width, piece.box.height};
                chat_dress_layout(e, std::move(alone));
            });
        }
        if (!more) return;
    }
}

void chat_click(Element* box, Vector2 previousMouse, Vector2 mouse, MouseButton button) {
    (void)previousMouse, (void)mouse, (void)button;
    std::string* content = getProperty<std::string>(box, "content");
    if (content != nullptr) {
        // The world's lock for the whole burst: each body made takes it, and
        // without it held here each could wait for a step of the physics thread
        // (hundreds of letters, hundreds of waits in one frame).
        PhysicsLock world;
        const ChatLayout* layout = getProperty<ChatLayout>(box, "layout");
        if (layout != nullptr)
            chat_burst_look(box, *layout);
        else
            chat_burst_letters(box, *content);
    }
    removeElement(box);
}
