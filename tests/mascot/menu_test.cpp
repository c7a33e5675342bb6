// Speech bubbles: layout, following the mascot, clicks and closing, the main
// menu and its choices. Text is measured by the fixture's fake font: 8 pixels
// per byte, 16 per line.
#include <vector>

#include "mascot_fixture.h"

namespace {

std::vector<int> chosen;
void recordChoice(Element*, int index) { chosen.push_back(index); }

class MenuTest : public MascotScene {
protected:
    void SetUp() override {
        MascotScene::SetUp();
        chosen.clear();
    }
    // A point on the centre of line k (drawable k + 1), where it is drawn.
    Vector2 linePoint(Element* bubble, int k) {
        const Drawable& d = bubble->drawables[k + 1];
        return {bubble->position.x + d.offset.x, bubble->position.y + d.offset.y};
    }
    std::string lineText(Element* bubble, int k) {
        return bubble->drawables[k + 1].source.substr(std::string("assets/neodgm.ttf:16:").size());
    }
};

TEST_F(MenuTest, MainMenuLayout) {
    vimo_click(vimo, vimo->position, MOUSE_BUTTON_RIGHT);
    ASSERT_NE(menu, nullptr);
    Element* bubble = menu;
    EXPECT_EQ(bubble->layer, 1);
    EXPECT_FALSE(bubble->canRotate);
    EXPECT_EQ(bubble->physicsId, -1);
    ASSERT_EQ(bubble->drawables.size(), 5u);

    const Drawable& frame = bubble->drawables[0];
    EXPECT_EQ(frame.type, DRAWABLE_NINE_SLICE);
    EXPECT_EQ(frame.source, "assets/bubble");
    EXPECT_EQ(frame.color.r, 255);
    EXPECT_EQ(frame.color.a, 255);

    EXPECT_EQ(lineText(bubble, 0), "hi hii ~");
    EXPECT_EQ(lineText(bubble, 1), " - Log In");
    EXPECT_EQ(lineText(bubble, 2), " - Spawn Blocks");
    EXPECT_EQ(lineText(bubble, 3), " - Dismiss");
    for (int k = 0; k < 4; k++) {
        const Drawable& line = bubble->drawables[k + 1];
        EXPECT_EQ(line.type, DRAWABLE_TEXT);
        EXPECT_EQ(line.color.r, 0);
        EXPECT_EQ(line.color.a, 255);
        EXPECT_EQ(line.size.x, 960);  // wraps at half the screen
        EXPECT_EQ(line.size.y, 0);
    }

    // Widest line 15 bytes = 120 px; lines at 0..60, 16 px high: -8 .. 68.
    EXPECT_EQ(bubble->size.x, 136);
    EXPECT_EQ(bubble->size.y, 92);
    EXPECT_EQ(frame.size.x, 136);
    EXPECT_EQ(frame.size.y, 92);
    // Left-aligned on the widest line; the span -8 .. 68 centred in the frame
    // (y = position - 30): 8 px of frame above the first line and below the
    // last, as on the left and right.
    float widths[4] = {64, 72, 120, 80};
    float ys[4] = {-30, -10, 10, 30};
    for (int k = 0; k < 4; k++) {
        EXPECT_EQ(bubble->drawables[k + 1].offset.x, (widths[k] - 120) * 0.5f) << k;
        EXPECT_EQ(bubble->drawables[k + 1].offset.y, ys[k]) << k;
    }
    // Each line is hit over its own text, from its top row to its bottom row,
    // and the margins are the frame's.
    const Vector2 at = bubble->position;
    for (int k = 0; k < 4; k++) {
        const float left = at.x - 60;
        EXPECT_EQ(getDrawableAtPosition(bubble, {left + 1, at.y + ys[k] - 7.5f}), k + 1) << k;
        EXPECT_EQ(getDrawableAtPosition(bubble, {left + 1, at.y + ys[k] + 7.5f}), k + 1) << k;
    }
    EXPECT_EQ(getDrawableAtPosition(bubble, {at.x, at.y + 46 - 4}), 0);  // below " - Dismiss"
    EXPECT_EQ(getDrawableAtPosition(bubble, {at.x, at.y - 46 + 4}), 0);  // above the title
    EXPECT_EQ(bubble->onUpdate, menu_update);
    EXPECT_EQ(bubble->onClick, menu_click);
}

TEST_F(MenuTest, WrappedLineCountsOnlyAtTheTopOrBottom) {
    std::string wide(130, 'w');  // 1040 px: wraps after 121 bytes into two lines, 968 px wide
    Element* middle = spawn_menu({"a", wide, "b"}, {0, 20, 40}, onChosen_noop);
    EXPECT_EQ(middle->size.x, 968 + 16);
    EXPECT_EQ(middle->size.y, 56 + 16);  // -8 .. 40 + 8: its 32 px do not count
    EXPECT_EQ(middle->drawables[1].offset.y, 0 - 20);  // the span -8 .. 48 centred
    EXPECT_EQ(middle->drawables[2].offset.y, 20 - 20);  // not moved away from its neighbours
    EXPECT_EQ(middle->drawables[3].offset.y, 40 - 20);
    menu_destroy();

    Element* bottom = spawn_menu({"a", wide}, {0, 40}, onChosen_noop);
    EXPECT_EQ(bottom->size.y, (40 + 16) - (-8) + 16);
    menu_destroy();

    // Positions need not be in order: the smallest is the top.
    Element* unordered = spawn_menu({"low", "high"}, {40, 0}, onChosen_noop);
    EXPECT_EQ(unordered->size.y, 56 + 16);
    EXPECT_LT(unordered->drawables[2].offset.y, unordered->drawables[1].offset.y);
}

TEST_F(MenuTest, BubbleFollowsTheMascot) {
    Element* bubble = spawn_menu({"hello"}, {0}, onChosen_noop);
    float halfWidth = bubble->size.x * 0.5f;
    // Placed at once, not first at the screen centre.
    EXPECT_EQ(bubble->position.x, vimo->position.x + 32 + halfWidth);
    EXPECT_EQ(bubble->position.y, vimo->position.y - 80);

    vimo->position = {300, 700};
    menu_update(bubble, 0.016f, 1);
    EXPECT_EQ(bubble->position.x, 300 + 32 + halfWidth);
    EXPECT_EQ(bubble->position.y, 620);
    // Near the top the bubble's top edge stays on the screen.
    vimo->position = {1500.5f, 60};
    menu_update(bubble, 0.016f, 1);
    EXPECT_EQ(bubble->position.x, 1500.5f + 32 + halfWidth);
    EXPECT_EQ(bubble->position.y, bubble->size.y * 0.5f);
}

TEST_F(MenuTest, BubbleStaysOnItsMascotsMonitor) {
    // A full-height monitor and a smaller one to its right.
    RESOLUTION = {3200, 1080};
    monitors_apply({{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}});
    Element* bubble = spawn_menu({"a line of some length"}, {0}, onChosen_noop);
    const float halfWidth = bubble->size.x * 0.5f, halfHeight = bubble->size.y * 0.5f;
    // Near the first monitor's right edge: mirrored, not spilling onto the second.
    vimo->position = {1900, 700};
    menu_update(bubble, 0.016f, 1);
    EXPECT_EQ(bubble->position.x, 1900 - 32 - halfWidth);
    // Low on the smaller monitor: lifted to end at its bottom edge.
    vimo->position = {2000, 1100};
    menu_update(bubble, 0.016f, 1);
    EXPECT_EQ(bubble->position.x, 2000 + 32 + halfWidth);
    EXPECT_EQ(bubble->position.y, 1024 - halfHeight);
}

TEST_F(MenuTest, BubbleNearTheRightEdgeStaysOnTheScreen) {
    Element* bubble = spawn_menu({"a line of some length"}, {0}, onChosen_noop);
    float halfWidth = bubble->size.x * 0.5f;
    // Room on the right: beside the mascot as always, even touching the edge.
    vimo->position = {RESOLUTION.x - 32 - 2 * halfWidth, 700};
    menu_update(bubble, 0.016f, 1);
    EXPECT_EQ(bubble->position.x, RESOLUTION.x - halfWidth);
    // One pixel less room: mirrored to the mascot's left, same height.
    vimo->position.x += 1;
    menu_update(bubble, 0.016f, 1);
    EXPECT_EQ(bubble->position.x, vimo->position.x - 32 - halfWidth);
    EXPECT_EQ(bubble->position.y, 620);
    EXPECT_LE(bubble->position.x + halfWidth, RESOLUTION.x);
    // A bubble wider than the room on either side keeps its left edge on screen.
    Element* wide = spawn_menu({std::string(static_cast<size_t>(RESOLUTION.x / 8 * 0.45f), 'w')}, {0}, onChosen_noop);
    vimo->position = {RESOLUTION.x * 0.5f, 700};
    menu_update(wide, 0.016f, 1);
    EXPECT_GE(wide->position.x - wide->size.x * 0.5f, 0);
}

TEST_F(MenuTest, OpeningStopsTheMascot) {
    body()->velocity = {0.4f, -0.2f};
    spawn_menu({"hi"}, {0}, onChosen_noop);
    EXPECT_EQ(body()->velocity.x, 0);
    EXPECT_EQ(body()->velocity.y, 0);
}

TEST_F(MenuTest, OnlyLinesAfterTheFirstClose) {
    Element* bubble = spawn_menu({"title", "one", "two"}, {0, 20, 40}, recordChoice);

    menu_click(bubble, linePoint(bubble, 0), MOUSE_BUTTON_LEFT);  // the title
    EXPECT_EQ(menu, bubble);
    menu_click(bubble, {bubble->position.x - bubble->size.x * 0.5f + 2, bubble->position.y + bubble->size.y * 0.5f - 2},
               MOUSE_BUTTON_RIGHT);  // the frame's corner
    EXPECT_EQ(menu, bubble);
    menu_click(bubble, {0, 0}, MOUSE_BUTTON_LEFT);  // nothing at all
    EXPECT_EQ(menu, bubble);
    EXPECT_FALSE(queued(bubble));

    size_t before = ELEMENTS.size();
    menu_click(bubble, linePoint(bubble, 2), MOUSE_BUTTON_RIGHT);  // any button
    EXPECT_EQ(menu, nullptr);
    EXPECT_TRUE(queued(bubble));
    EXPECT_EQ(ELEMENTS.size(), before + 4);  // the frame and the three lines burst into pieces
    EXPECT_EQ(chosen, (std::vector<int>{1, 0, -1, 3}));
}

TEST_F(MenuTest, DestroyWithoutABubbleDoesNothing) {
    size_t before = ELEMENTS.size();
    menu_destroy();
    EXPECT_EQ(ELEMENTS.size(), before);
    EXPECT_TRUE(ELEMENTS_TO_BE_REMOVED.empty());
}

TEST_F(MenuTest, MainMenuOpensOnlyOnARightClickWhenFree) {
    bool live = false, snoozed = false;
    static bool* liveFlag;
    static bool* snoozedFlag;
    liveFlag = &live;
    snoozedFlag = &snoozed;
    vimo_hooks.is_live = [] { return *liveFlag; };
    vimo_hooks.is_snoozed = [] { return *snoozedFlag; };

    vimo_click(vimo, vimo->position, MOUSE_BUTTON_LEFT);
    EXPECT_EQ(menu, nullptr);
    vimo_click(vimo, vimo->position, MOUSE_BUTTON_MIDDLE);
    EXPECT_EQ(menu, nullptr);

    live = true;
    vimo_click(vimo, vimo->position, MOUSE_BUTTON_RIGHT);
    EXPECT_EQ(menu, nullptr);
    snoozed = true;
    vimo_click(vimo, vimo->position, MOUSE_BUTTON_RIGHT);
    ASSERT_NE(menu, nullptr);

    Element* open = menu;
    size_t before = ELEMENTS.size();
    vimo_click(vimo, vimo->position, MOUSE_BUTTON_RIGHT);
    EXPECT_EQ(menu, open);
    EXPECT_EQ(ELEMENTS.size(), before);

    menu_destroy();
    USER = {{"twitch", {{"name", "someone"}}}};
    vimo_click(vimo, vimo->position, MOUSE_BUTTON_RIGHT);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(lineText(menu, 1), " - Commune");
}

TEST_F(MenuTest, MainMenuChoices) {
    static int logins, communes;
    logins = communes = 0;

    // Log In without the online features: a line, no crash, the menu closed.
    vimo_click(vimo, vimo->position, MOUSE_BUTTON_RIGHT);
    Element* bubble = menu;
    testing::internal::CaptureStdout();
    menu_click(bubble, linePoint(bubble, 1), MOUSE_BUTTON_LEFT);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("not reachable yet"), std::string::npos) << out;
    EXPECT_EQ(menu, nullptr);

    vimo_hooks.login_spawn = [] { logins++; };
    vimo_hooks.commune_spawn = []() -> Element* {
        communes++;
        return nullptr;
    };
    vimo_click(vimo, vimo->position, MOUSE_BUTTON_RIGHT);
    menu_click(menu, linePoint(menu, 1), MOUSE_BUTTON_LEFT);
    EXPECT_EQ(logins, 1);
    USER = {{"id", 1}};
    vimo_click(vimo, vimo->position, MOUSE_BUTTON_RIGHT);
    menu_click(menu, linePoint(menu, 1), MOUSE_BUTTON_LEFT);
    EXPECT_EQ(communes, 1);
    EXPECT_EQ(logins, 1);

    // Dismiss: closed, nothing else opened.
    vimo_click(vimo, vimo->position, MOUSE_BUTTON_RIGHT);
    menu_click(menu, linePoint(menu, 3), MOUSE_BUTTON_LEFT);
    EXPECT_EQ(menu, nullptr);
    EXPECT_EQ(blockspawner, nullptr);

    // Title: stays open, nothing happens.
    vimo_click(vimo, vimo->position, MOUSE_BUTTON_RIGHT);
    bubble = menu;
    menu_click(bubble, linePoint(bubble, 0), MOUSE_BUTTON_LEFT);
    EXPECT_EQ(menu, bubble);

    // Spawn Blocks: the spawner and its instruction bubble replace the menu.
    menu_click(bubble, linePoint(bubble, 2), MOUSE_BUTTON_LEFT);
    ASSERT_NE(blockspawner, nullptr);
    ASSERT_NE(menu, nullptr);
    EXPECT_NE(menu, bubble);
    EXPECT_EQ(lineText(menu, 0), "Left click to\nspawn boxes.");
    EXPECT_EQ(logins + communes, 2);
}

}  // namespace
