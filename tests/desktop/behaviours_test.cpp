// Generic behaviours: the drag force, the life countdown and the burst into
// pieces. The physics world is used without its thread; text is measured by
// a stand-in so no font or window is needed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/base.h"
#include "desktop/walls.h"
#include "desktop/input.h"
#include "draw/draw.h"
#include "desktop/behaviours.h"
#include "element/element.h"
#include "physics/physics.h"

namespace {

// 10 pixels per byte, as tall as the font size.
Vector2 fakeMeasure(Font, const char* text, float fontSize, float) {
    return {10.0f * (float)std::strlen(text), fontSize};
}

class BehavioursTest : public ::testing::Test {
protected:
    void SetUp() override {
        RESOLUTION = {1920, 1080};
        savedMeasure = TEXT_MEASURE;
        TEXT_MEASURE = fakeMeasure;
        input_reset();
    }
    void TearDown() override {
        TEXT_MEASURE = savedMeasure;
        input_reset();
        for (Element* e : std::vector<Element*>(ELEMENTS)) _removeElement(e);
        ELEMENTS_TO_BE_REMOVED.clear();
        PhysicsStep();  // release the destroyed bodies
    }
    TextMeasureFn savedMeasure = nullptr;

    static bool queued(Element* e) {
        return std::count(ELEMENTS_TO_BE_REMOVED.begin(), ELEMENTS_TO_BE_REMOVED.end(), e) == 1;
    }
    static PhysicsBodyData* bodyOf(Element* e) { return GetPhysicsBodyByID(e->physicsId); }
    static size_t indexOf(Element* e) {
        return (size_t)(std::find(ELEMENTS.begin(), ELEMENTS.end(), e) - ELEMENTS.begin());
    }
};

Drawable drawable(int type, Vector2 offset, Vector2 size, float rotation, const char* source = "") {
    Drawable d;
    d.type = type;
    d.source = source;
    d.offset = offset;
    d.size = size;
    d.rotation = rotation;
    d.color = {1, 2, 3, 255};
    return d;
}

}  // namespace

TEST_F(BehavioursTest, DragPullsTowardsThePointerScaledBySquareRootOfMass) {
    Element* e = newElement(0);
    e->position = {100, 100};
    e->size = {2, 2};  // density 1: mass 4, k = 2
    PhysicsBodyData* body = enablePhysics(e);
    ASSERT_NE(body, nullptr);
    ASSERT_FLOAT_EQ(body->mass, 4);

    body->force = {99, 99};
    genericDragElement(e, {0, 0}, {100, 100}, MOUSE_BUTTON_LEFT);
    EXPECT_FLOAT_EQ(body->force.x, 0);  // overwritten, not added to
    EXPECT_FLOAT_EQ(body->force.y, 0);

    genericDragElement(e, {0, 0}, {200, 100}, MOUSE_BUTTON_RIGHT);
    EXPECT_FLOAT_EQ(body->force.x, 31.25f);  // 100 x 0.3125 x 0.5 x 2
    EXPECT_FLOAT_EQ(body->force.y, 0);

    // Half the body's own speed is added before scaling; the previous pointer
    // position plays no part.
    body->velocity = {1, -2};
    genericDragElement(e, {500, 500}, {100, 60}, MOUSE_BUTTON_LEFT);
    EXPECT_FLOAT_EQ(body->force.x, 1);
    EXPECT_FLOAT_EQ(body->force.y, (-40 * 0.3125f * 0.5f - 1) * 2);

    Element* bodiless = newElement(0);
    genericDragElement(bodiless, {0, 0}, {10, 10}, MOUSE_BUTTON_LEFT);  // nothing to pull, no crash
    EXPECT_EQ(bodiless->physicsId, -1);
}

TEST_F(BehavioursTest, LifeCountsDownAndQueuesOnceAtZero) {
    Element* e = newElement(0);
    float* life = setProperty<float>(e, "life", 1.0f);
    e->onUpdate = genericTemporaryElement;
    genericTemporaryElement(e, 0.25f, 123);
    EXPECT_FLOAT_EQ(*life, 0.75f);
    EXPECT_FALSE(queued(e));

    Element* shortLived = newElement(0);
    setProperty<float>(shortLived, "life", 0.01f);
    held = shortLived;  // being dragged when it runs out
    genericTemporaryElement(shortLived, 0.016f, 0);
    EXPECT_TRUE(queued(shortLived));
    EXPECT_EQ(held, nullptr);
    genericTemporaryElement(shortLived, 0.016f, 0);  // still updated until destroyed: queued only once
    EXPECT_TRUE(queued(shortLived));

    Element* exact = newElement(0);
    setProperty<float>(exact, "life", 0.016f);
    genericTemporaryElement(exact, 0.016f, 0);
    EXPECT_FLOAT_EQ(*getProperty<float>(exact, "life"), 0);
    EXPECT_TRUE(queued(exact));

    Element* noLife = newElement(0);
    genericTemporaryElement(noLife, 1, 0);
    EXPECT_FALSE(queued(noLife));
}

TEST_F(BehavioursTest, BurstMakesOnePiecePerDrawableInReversedOrder) {
    Element* before = newElement(3);
    Element* src = newElement(3);
    Element* above = newElement(5);
    src->id = "menu";
    src->position = {500, 300};
    src->rotation = 90;
    src->restitution = 0.25f;
    src->clickThrough = true;
    src->flipped = true;
    src->autoFlip = true;
    setProperty<int>(src, "content", 7);
    src->drawables.push_back(drawable(DRAWABLE_COLOR, {10, 0}, {20, 10}, 15));
    src->drawables.push_back(drawable(DRAWABLE_IMAGE, {0, -5}, {4, 6}, 0, "assets/x"));
    src->drawables.push_back(drawable(DRAWABLE_TEXT, {0, 0}, {0, 1}, 0, "assets/neodgm.ttf:16:hello"));
    int bodiesBefore = GetPhysicsBodiesCount();

    explodeIntoDrawables(src, 64, 5);

    EXPECT_TRUE(queued(src));
    EXPECT_EQ(GetPhysicsBodiesCount(), bodiesBefore + 3);
    // Layer 3 after every element already there, last drawable first: the
    // piece of the first drawable is drawn on top.
    ASSERT_EQ(ELEMENTS.size(), 6u);
    EXPECT_EQ(ELEMENTS[0], before);
    EXPECT_EQ(ELEMENTS[1], src);
    EXPECT_EQ(ELEMENTS[5], above);
    Element* textPiece = ELEMENTS[2];
    Element* imagePiece = ELEMENTS[3];
    Element* colourPiece = ELEMENTS[4];
    EXPECT_EQ(textPiece->drawables.at(0).type, DRAWABLE_TEXT);
    EXPECT_EQ(imagePiece->drawables.at(0).type, DRAWABLE_IMAGE);
    ASSERT_EQ(colourPiece->drawables.size(), 1u);

    // Offset (10, 0) turned by 90 degrees: 10 pixels below the centre, pushed
    // straight down with 10 x force.
    EXPECT_NEAR(colourPiece->position.x, 500, 1e-3);
    EXPECT_NEAR(colourPiece->position.y, 310, 1e-3);
    EXPECT_FLOAT_EQ(colourPiece->rotation, 105);
    EXPECT_FLOAT_EQ(colourPiece->size.x, 20);
    EXPECT_FLOAT_EQ(colourPiece->size.y, 10);
    const Drawable& d = colourPiece->drawables[0];
    EXPECT_FLOAT_EQ(d.offset.x, 0);
    EXPECT_FLOAT_EQ(d.offset.y, 0);
    EXPECT_FLOAT_EQ(d.rotation, 0);
    EXPECT_EQ(d.color.b, 3);
    PhysicsBodyData* body = bodyOf(colourPiece);
    ASSERT_NE(body, nullptr);
    EXPECT_NEAR(body->force.x, 0, 1e-2);
    EXPECT_NEAR(body->force.y, 640, 1e-3);
    EXPECT_EQ(body->collisionLayer, 3);
    EXPECT_FLOAT_EQ(body->restitution, 0.25f);
    EXPECT_FLOAT_EQ(body->position.y, colourPiece->position.y);

    // Offset (0, -5) turned by 90 degrees points to the right.
    EXPECT_NEAR(imagePiece->position.x, 505, 1e-3);
    EXPECT_NEAR(imagePiece->position.y, 300, 1e-3);
    EXPECT_NEAR(bodyOf(imagePiece)->force.x, 320, 1e-3);
    // The text piece's box is its measured text; at the centre it gets no push.
    EXPECT_FLOAT_EQ(textPiece->size.x, 50);
    EXPECT_FLOAT_EQ(textPiece->size.y, 16);
    EXPECT_FLOAT_EQ(bodyOf(textPiece)->force.x, 0);
    EXPECT_FLOAT_EQ(bodyOf(textPiece)->force.y, 0);

    for (Element* piece : {textPiece, imagePiece, colourPiece}) {
        EXPECT_EQ(piece->onDrag, genericDragElement);
        EXPECT_EQ(piece->onUpdate, genericTemporaryElement);
        EXPECT_TRUE(piece->clickThrough);
        EXPECT_FLOAT_EQ(piece->restitution, 0.25f);
        EXPECT_EQ(piece->id, "");  // nothing else is inherited
        EXPECT_FALSE(piece->flipped);
        EXPECT_FALSE(piece->autoFlip);
        EXPECT_FALSE(hasProperty(piece, "content"));
        float* life = getProperty<float>(piece, "life");
        ASSERT_NE(life, nullptr);
        EXPECT_GE(*life, 5);
        EXPECT_LE(*life, 10);
    }
}

TEST_F(BehavioursTest, BurstLivesSpreadOverLifeToTwiceLife) {
    Element* src = newElement(0);
    for (int i = 0; i < 200; i++) src->drawables.push_back(drawable(DRAWABLE_COLOR, {0, 0}, {2, 2}, 0));
    explodeIntoDrawables(src, 1, 2);
    float lo = 100, hi = -100;
    for (Element* e : ELEMENTS) {
        if (e == src) continue;
        float life = *getProperty<float>(e, "life");
        lo = std::min(lo, life);
        hi = std::max(hi, life);
    }
    EXPECT_GE(lo, 2);
    EXPECT_LE(hi, 4);
    EXPECT_GT(hi - lo, 1);  // spread out, not one value for all
}

TEST_F(BehavioursTest, BurstWithoutDrawablesOrLife) {
    Element* empty = newElement(0);
    explodeIntoDrawables(empty, 64, 5);
    EXPECT_EQ(ELEMENTS.size(), 1u);
    EXPECT_TRUE(queued(empty));

    Element* src = newElement(0);
    src->drawables.push_back(drawable(DRAWABLE_COLOR, {1, 0}, {2, 2}, 0));
    explodeIntoDrawables(src, 64, 0);  // pieces stay until removed otherwise
    Element* piece = ELEMENTS.back();
    ASSERT_NE(piece, src);
    EXPECT_EQ(piece->onUpdate, nullptr);
    EXPECT_FALSE(hasProperty(piece, "life"));
}

TEST_F(BehavioursTest, PieceOfAFullWorldIsShownAndExpiresWithoutABody) {
    std::vector<PhysicsBodyData*> filler;
    for (;;) {
        PhysicsBodyData* b = CreatePhysicsBodyRectangle({0, 0}, 1, 1, 1);
        if (b == nullptr) break;
        filler.push_back(b);
    }
    ASSERT_EQ(GetPhysicsBodiesCount(), PHYSICS_MAX_BODIES);

    Element* src = newElement(0);
    src->drawables.push_back(drawable(DRAWABLE_COLOR, {10, 0}, {2, 2}, 0));
    explodeIntoDrawables(src, 64, 1);
    Element* piece = ELEMENTS.back();
    ASSERT_NE(piece, src);
    EXPECT_EQ(piece->physicsId, -1);
    EXPECT_EQ(piece->drawables.size(), 1u);
    genericDragElement(piece, {0, 0}, {50, 50}, MOUSE_BUTTON_LEFT);  // dragging it does nothing
    genericTemporaryElement(piece, 2.5f, 0);
    EXPECT_TRUE(queued(piece));

    for (PhysicsBodyData* b : filler) DestroyPhysicsBody(b);
}
