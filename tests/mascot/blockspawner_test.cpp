// The block spawner: placing boxes, ending placing, removing boxes, and a
// full physics world.
#include <set>
#include <tuple>
#include <vector>

#include "desktop/behaviours.h"
#include "mascot_fixture.h"

namespace {

class BlockSpawnerTest : public MascotScene {};

std::vector<Element*> boxes() {
    std::vector<Element*> out;
    for (Element* e : ELEMENTS)
        if (e->onClick == block_click) out.push_back(e);
    return out;
}

TEST_F(BlockSpawnerTest, SpawnerCoversTheWindowAndSpeaks) {
    Element* spawner = blockspawner_spawn();
    EXPECT_EQ(blockspawner, spawner);
    EXPECT_EQ(spawner->layer, 100);
    EXPECT_EQ(ELEMENTS.back(), spawner);  // on top of everything
    EXPECT_EQ(spawner->size.x, 1920);
    EXPECT_EQ(spawner->size.y, 1080);
    EXPECT_EQ(spawner->physicsId, -1);
    ASSERT_EQ(spawner->drawables.size(), 1u);
    const Drawable& panel = spawner->drawables[0];
    EXPECT_EQ(panel.type, DRAWABLE_NINE_SLICE);
    EXPECT_EQ(panel.source, "assets/blockspawner");
    EXPECT_EQ(panel.size.x, 1920);
    EXPECT_EQ(std::make_tuple(panel.color.r, panel.color.g, panel.color.b, panel.color.a),
              std::make_tuple(255, 128, 0, 255));
    EXPECT_EQ(spawner->onClick, blockspawner_click);

    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(menu->drawables.size(), 3u);
    EXPECT_EQ(menu->drawables[2].source, "assets/neodgm.ttf:16:Right click to\nfinish placing.");
    // Two-line entries at 0 and 40: 32 px each, -16 .. 56.
    EXPECT_EQ(menu->size.y, 72 + 16);
}

TEST_F(BlockSpawnerTest, LeftClicksMakeBoxesRightClickEndsPlacing) {
    Element* spawner = blockspawner_spawn();
    Element* bubble = menu;
    std::vector<Vector2> at = {{100, 200}, {900, 300}, {1800, 50}};
    for (Vector2 p : at) blockspawner_click(spawner, p, MOUSE_BUTTON_LEFT);
    blockspawner_click(spawner, {5, 5}, MOUSE_BUTTON_MIDDLE);  // nothing

    std::vector<Element*> made = boxes();
    ASSERT_EQ(made.size(), 3u);
    std::set<std::tuple<int, int, int>> colours;
    for (size_t i = 0; i < made.size(); i++) {
        Element* box = made[i];
        EXPECT_EQ(box->layer, 0);
        EXPECT_EQ(box->position.x, at[i].x);
        EXPECT_EQ(box->position.y, at[i].y);
        EXPECT_EQ(box->size.x, 128);
        EXPECT_EQ(box->size.y, 128);
        EXPECT_FALSE(box->canRotate);
        EXPECT_EQ(box->onDrag, genericDragElement);
        ASSERT_EQ(box->drawables.size(), 1u);
        EXPECT_EQ(box->drawables[0].type, DRAWABLE_COLOR);
        EXPECT_EQ(box->drawables[0].size.x, 128);
        EXPECT_EQ(box->drawables[0].color.a, 255);
        PhysicsBodyData* b = GetPhysicsBodyByID(box->physicsId);
        ASSERT_NE(b, nullptr);
        EXPECT_TRUE(b->freezeRotation);
        EXPECT_EQ(b->position.x, at[i].x);
        EXPECT_EQ(b->collisionLayer, 0);
        const Color& c = box->drawables[0].color;
        // Value 1: the strongest channel is always full.
        EXPECT_EQ(std::max({c.r, c.g, c.b}), 255);
        colours.insert({c.r, c.g, c.b});
    }
    EXPECT_GT(colours.size(), 1u);
    EXPECT_EQ(blockspawner, spawner);
    EXPECT_EQ(menu, bubble);

    blockspawner_click(spawner, {5, 5}, MOUSE_BUTTON_RIGHT);
    EXPECT_EQ(blockspawner, nullptr);
    EXPECT_TRUE(queued(spawner));
    EXPECT_EQ(menu, nullptr);
    EXPECT_TRUE(queued(bubble));
    EXPECT_EQ(boxes().size(), 3u);  // the boxes stay
}

TEST_F(BlockSpawnerTest, RightClickRemovesABox) {
    Element* box = blockspawner_box({400, 400});
    ASSERT_NE(box, nullptr);
    block_click(box, box->position, MOUSE_BUTTON_LEFT);
    EXPECT_FALSE(queued(box));
    block_click(box, box->position, MOUSE_BUTTON_RIGHT);
    EXPECT_TRUE(queued(box));
}

TEST_F(BlockSpawnerTest, FullWorldMakesNoBox) {
    std::vector<PhysicsBodyData*> filler;
    while (GetPhysicsBodiesCount() < PHYSICS_MAX_BODIES) {
        PhysicsBodyData* b = CreatePhysicsBodyRectangle({-5000, -5000}, 1, 1, 1);
        ASSERT_NE(b, nullptr);
        filler.push_back(b);
    }
    Element* spawner = blockspawner_spawn();
    size_t before = ELEMENTS.size();
    testing::internal::CaptureStdout();
    blockspawner_click(spawner, {300, 300}, MOUSE_BUTTON_LEFT);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(ELEMENTS.size(), before);
    EXPECT_TRUE(boxes().empty());
    EXPECT_NE(out.find("full"), std::string::npos) << out;

    // Room again: the next click makes a box.
    DestroyPhysicsBody(filler.back());
    blockspawner_click(spawner, {300, 300}, MOUSE_BUTTON_LEFT);
    EXPECT_EQ(boxes().size(), 1u);
}

}  // namespace
