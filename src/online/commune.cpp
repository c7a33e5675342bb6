// The commune composer: a bubble with a title, a hint and the draft line the
// user types into; Enter posts the draft to the service, whose chat feed every
// copy of the program shows. The draft is UTF-8; Backspace removes a whole
// character. The post's answer comes on the network worker and is handed to
// the main thread, which stores it as "last_chat" and closes the open bubble.
//
// Threads: main thread, except commune_update_entered (network worker).
#include <string>
#include <utility>

#include "base/base.h"
#include "draw/draw.h"
#include "element/element.h"
#include "gfx/gfx_ext.h"
#include "gfx/raylib.h"
#include "mascot/menu.h"
#include "net/endpoints.h"
#include "net/net.h"
#include "online/commune.h"
#include "online/handover.h"
#include "online/json_text.h"

// The composer's draft and the layout its bubble was built with (main thread).
struct CommuneState {
    std::string content;    // the draft (UTF-8)
    Vector2 size = {0, 0};  // bubble size as built, minus the empty draft line's height
    float left = 0;         // x offset of the draft line's left edge anchor
    // Where the lines sit below the frame's top edge as built, pixels: the
    // title's and the hint's centres and the draft's top edge. They keep these
    // places as the bubble grows with the draft, so the frame's margins stay
    // what spawn_menu gave them.
    float title_y = 0, hint_y = 0, draft_y = 0;
};
static CommuneState commune;
std::string& commune_content = commune.content;
const Vector2& commune_size = commune.size;
const float& commune_left = commune.left;

static const char* const COMMUNE_FONT = "assets/neodgm.ttf:16:";

Element* commune_spawn() {
    Element* bubble = spawn_menu({"Commune to the wider world:", "(type your message to have it show here)", ""},
                                 {0, 20, 40}, onChosen_noop);
    bubble->onUpdate = commune_update;
    // The overlay never takes the keyboard otherwise; typing needs it while
    // the composer is open (its destruction gives it back).
    bubble->onDestroy = commune_destroy;
    gfx_set_window_focusable(true);
    Vector2 draft = getDrawableSize(bubble, bubble->drawables[3]);
    commune.size = {bubble->size.x, bubble->size.y - draft.y};
    commune.content.clear();
    commune.left = bubble->drawables[3].offset.x;
    const float top = -bubble->size.y * 0.5f;
    commune.title_y = bubble->drawables[1].offset.y - top;
    commune.hint_y = bubble->drawables[2].offset.y - top;
    commune.draft_y = bubble->drawables[3].offset.y - draft.y * 0.5f - top;
    return bubble;
}

void commune_destroy(Element* bubble) {
    (void)bubble;
    gfx_set_window_focusable(false);
}

void commune_update(Element* bubble, float dt, float time) {
    menu_update(bubble, dt, time);
    int ch = GetCharPressed();
    bool enter = IsKeyPressed(KEY_ENTER);
    bool backspace = IsKeyPressed(KEY_BACKSPACE);
    commune_input(bubble, ch, enter, backspace);
}

void commune_input(Element* bubble, int ch, bool enter, bool backspace) {
    if (enter) {
        // The draft stays, and so does the bubble, until the answer arrives.
        fetch(commune_post_url(), "POST", commune_update_entered);
        return;
    }
    if (backspace && !commune.content.empty()) {
        utf8_pop_back(commune.content);
    } else if (ch != 0) {
        utf8_append(commune.content, ch);
    } else {
        return;
    }
    commune_redraw(bubble);
}

void commune_redraw(Element* bubble) {
    Drawable& draft = bubble->drawables[3];
    draft.size = {bubble->size.x, 0};  // wraps at the bubble's width
    draft.source = COMMUNE_FONT + commune.content;
    Vector2 measured = getDrawableSize(bubble, draft);
    // The bubble grows with the draft; every line keeps its distance from the
    // top edge, so the margin below the draft stays the one it was built with.
    bubble->size = {commune.size.x, commune.size.y + measured.y};
    const float top = -bubble->size.y * 0.5f;
    bubble->drawables[1].offset.y = top + commune.title_y;
    bubble->drawables[2].offset.y = top + commune.hint_y;
    draft.offset = {measured.x * 0.5f + commune.left, top + commune.draft_y + measured.y * 0.5f};
    bubble->drawables[0].size = bubble->size;
}

std::string commune_post_url() { return endpoint_commune_post(str(CONFIG["login_id"]), commune.content); }

void commune_update_entered(std::string body) {
    online_post([body = std::move(body)] {
        CONFIG["last_chat"] = json_text(body);
        menu_destroy();
    });
}
