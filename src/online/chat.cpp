// The chat feed on the desktop: the poll that finds the messages not seen yet
// (run by the mascot's update on the main thread, waiting for its answers),
// the sender names, the falling chat boxes and their burst into letters.
#include <cctype>

#include "app/app.h"
#include "app/config.h"
#include "element/behaviours.h"
#include "element/element.h"
#include "net/net.h"
#include "online/online.h"
#include "physics/physics.h"

std::vector<std::string> chat_to_spawn;
std::map<std::string, std::string> ID_TO_NAME;
std::mutex poll_chat_busy;

static const char* const CHAT_FONT = "assets/neodgm.ttf:16:";

// The poll's blocking GET: net's fetch_blocking gives each request its own
// promise, fulfilled by the worker with the body or with "" when no answer
// will come (requests off, a refused status, a time-out), so a wait always ends
// and a late answer can never be taken for a later request's.
static std::string chat_get(const std::string& url) { return fetch_blocking(url, "GET"); }

bool poll_chat() {
    std::lock_guard<std::mutex> lock(poll_chat_busy);
    json& last_chat = CONFIG["last_chat"];
    if (last_chat.is_null()) last_chat = "";
    ChatPoll poll = chat_poll_run(last_chat, chat_get, to_chat);
    if (poll.advance) {
        CONFIG["last_chat"] = poll.newest;
        chat_to_spawn.insert(chat_to_spawn.end(), poll.texts.begin(), poll.texts.end());
    }
    return poll.news;
}

std::string to_chat(json message) { return to_chatter(message) + ": " + str(json_member(message, "text")); }

std::string to_chatter(json message) { return chatter_name(message, ID_TO_NAME, chat_get); }

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
    box->position = {vimo != nullptr ? vimo->position.x : RESOLUTION.x * 0.5f, 0};
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
