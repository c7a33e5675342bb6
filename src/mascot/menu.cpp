// Speech bubbles and menus.
#include "mascot/menu.h"

#include <algorithm>
#include <iostream>

#include "base/base.h"
#include "desktop/behaviours.h"
#include "draw/draw.h"
#include "element/element.h"
#include "mascot/vimo.h"
#include "physics/physics.h"

Element* menu = nullptr;

static const char* BUBBLE_SOURCE = "assets/bubble";
static const char* LINE_SPEC = "assets/neodgm.ttf:16:";
// Clear space between the frame's edge and the lines, pixels, the same on all
// four sides: the frame's border pieces are 8 px, so the text sits inside
// their inner edge, clear of the outline and the bottom lip.
static const float BUBBLE_MARGIN = 8;
static const float BURST_FORCE = 64;
static const float BURST_LIFE = 5;         // pieces live 5 to 10 s

Drawable menu_addText(Element* bubble, std::string text) {
    Drawable line{};
    line.type = DRAWABLE_TEXT;
    line.source = LINE_SPEC + text;
    line.color = {0, 0, 0, 255};
    // Wrap at half the screen, no extra letter spacing.
    line.size = {RESOLUTION.x * 0.5f, 0};
    line.offset = {0, 0};
    line.rotation = 0;
    bubble->drawables.push_back(line);
    return line;
}

Element* spawn_menu(std::vector<std::string> lines, std::vector<float> positions, MenuChosenFn onChosen) {
    Element* bubble = newElement(1);
    bubble->canRotate = false;
    menu = bubble;

    Drawable frame{};
    frame.type = DRAWABLE_NINE_SLICE;
    frame.source = BUBBLE_SOURCE;
    frame.color = {255, 255, 255, 255};
    bubble->drawables.push_back(frame);

    // The topmost and bottommost lines decide the height (first index on ties).
    size_t count = std::min(lines.size(), positions.size());
    size_t iTop = 0, iBottom = 0;
    for (size_t i = 1; i < count; i++) {
        if (positions[i] < positions[iTop]) iTop = i;
        if (positions[i] > positions[iBottom]) iBottom = i;
    }

    float maxWidth = 0, top = 0, bottom = 0;
    for (size_t i = 0; i < count; i++) {
        Drawable line = menu_addText(bubble, lines[i]);
        Vector2 size = getDrawableSize(bubble, line);
        maxWidth = std::max(maxWidth, size.x);
        if (i == iTop) top = positions[iTop] - size.y * 0.5f;
        if (i == iBottom) bottom = positions[iBottom] + size.y * 0.5f;
    }

    bubble->size = {maxWidth + 2 * BUBBLE_MARGIN, bottom - top + 2 * BUBBLE_MARGIN};
    bubble->drawables[0].size = bubble->size;

    // Lines left-aligned on the widest one, keeping the spacing of positions,
    // and the span from the top line's top to the bottom line's bottom centred
    // in the frame, so the margin below the last line equals the one above the
    // first. The click areas are the drawables' own boxes, so they move with
    // the text.
    const float middle = (top + bottom) * 0.5f;
    for (size_t k = 0; k < count; k++) {
        Drawable& line = bubble->drawables[k + 1];
        Vector2 size = getDrawableSize(bubble, line);
        line.offset = {(size.x - maxWidth) * 0.5f, positions[k] - middle};
    }

    bubble->onUpdate = menu_update;
    bubble->onClick = menu_click;
    bubble->handlers["onChosen"] = reinterpret_cast<void*>(onChosen);

    // The mascot stops where it stands; its wandering waits while a menu is open.
    Element* mascot = vimo != nullptr ? vimo : getElementByID("vimo");
    if (mascot != nullptr && mascot->physicsId != -1) {
        PhysicsLock lock;
        PhysicsBodyData* body = GetPhysicsBodyByID(mascot->physicsId);
        if (body != nullptr) body->velocity = {0, 0};
    }
    menu_update(bubble, 0, 0);
    return bubble;
}

void menu_update(Element* bubble, float dt, float time) {
    (void)dt;
    (void)time;
    Element* mascot = getElementByID("vimo");
    if (mascot == nullptr) return;
    Vector2 p = {mascot->position.x + 32 + bubble->size.x * 0.5f, mascot->position.y - 80};
    // Beside a mascot near the right edge of its monitor the bubble would run
    // off it (onto another monitor, or where none shows it), where its text
    // cannot be read nor its lines chosen: mirror it to the mascot's left then,
    // keeping its left edge on the monitor, and its top and bottom likewise.
    const Rectangle m = monitor_at(mascot->position);
    if (p.x + bubble->size.x * 0.5f > m.x + m.width) p.x = mascot->position.x - 32 - bubble->size.x * 0.5f;
    p.x = std::max(p.x, m.x + bubble->size.x * 0.5f);
    p.y = std::min(p.y, m.y + m.height - bubble->size.y * 0.5f);
    p.y = std::max(p.y, m.y + bubble->size.y * 0.5f);
    bubble->position = p;
}

void menu_click(Element* bubble, Vector2 mouse, MouseButton button) {
    (void)button;
    int index = getDrawableAtPosition(bubble, mouse);
    // The first line is a title: it and the frame leave the bubble open.
    if (index > 1) menu_destroy();
    auto it = bubble->handlers.find("onChosen");
    if (it != bubble->handlers.end() && it->second != nullptr)
        reinterpret_cast<MenuChosenFn>(it->second)(bubble, index);
}

void menu_destroy() {
    if (menu == nullptr) return;
    Element* bubble = menu;
    menu = nullptr;
    explodeIntoDrawables(bubble, BURST_FORCE, BURST_LIFE);
}

void onChosen_noop(Element* bubble, int index) {
    (void)bubble;
    (void)index;
}
