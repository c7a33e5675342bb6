// The element registry, typed properties and the body link. No window:
// physics runs without its thread here.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "base/base.h"
#include "element/element.h"
#include "physics/physics.h"

namespace {

// At the end of the process, as cleanup does: body records destroyed since
// the last step are released, so the leak checker sees only real leaks.
class ReleaseCaches : public ::testing::Environment {
public:
    void TearDown() override { PhysicsStep(); }
};
const auto* const kRelease = ::testing::AddGlobalTestEnvironment(new ReleaseCaches);

class ElementTest : public ::testing::Test {
protected:
    void SetUp() override {
        RESOLUTION = Vector2{1920, 1080};
        clear();
    }
    void TearDown() override {
        clear();
    }
    static void clear() {
        while (!ELEMENTS.empty()) _removeElement(ELEMENTS.front());
        ELEMENTS_TO_BE_REMOVED.clear();
    }
    static std::vector<float> layers() {
        std::vector<float> out;
        for (Element* e : ELEMENTS) out.push_back(e->layer);
        return out;
    }
};

TEST_F(ElementTest, NewElementsAreSortedByLayerThenCreation) {
    Element* a = newElement(0);
    Element* b = newElement(5);
    Element* c = newElement(5);
    Element* d = newElement(10);
    Element* e = newElement(5);
    ASSERT_EQ(ELEMENTS, (std::vector<Element*>{a, b, c, e, d}));  // after both earlier layer-5 elements
    Element* first = newElement(-1);
    Element* last = newElement(20);
    EXPECT_EQ(ELEMENTS.front(), first);
    EXPECT_EQ(ELEMENTS.back(), last);
    EXPECT_EQ(layers(), (std::vector<float>{-1, 0, 5, 5, 5, 10, 20}));

    // Defaults of a new element.
    EXPECT_EQ(e->id, "");
    EXPECT_FLOAT_EQ(e->position.x, 960);
    EXPECT_FLOAT_EQ(e->position.y, 540);
    EXPECT_FLOAT_EQ(e->size.x, 1);
    EXPECT_FLOAT_EQ(e->size.y, 1);
    EXPECT_FLOAT_EQ(e->restitution, 0.5f);
    EXPECT_EQ(e->physicsId, -1);
    EXPECT_TRUE(e->canRotate);
    EXPECT_FALSE(e->clickThrough || e->autoFlip || e->flipped);
}

TEST_F(ElementTest, GetElementByIdFindsTheFirstExactMatch) {
    Element* a = newElement(0);
    Element* b = newElement(0);
    Element* c = newElement(1);
    b->id = "box";
    c->id = "box";
    EXPECT_EQ(getElementByID("box"), b);
    EXPECT_EQ(getElementByID(""), a);  // the first nobody named
    EXPECT_EQ(getElementByID("bo"), nullptr);
    EXPECT_EQ(getElementByID("box "), nullptr);
}

struct Tracked {
    static inline int alive = 0;
    std::string text;
    explicit Tracked(std::string t) : text(std::move(t)) { alive++; }
    Tracked(const Tracked& o) : text(o.text) { alive++; }
    ~Tracked() { alive--; }
};

TEST_F(ElementTest, PropertiesAreTypedAndReleasedWithTheElement) {
    Element* e = newElement(0);
    float* life = setProperty<float>(e, "life", 5);
    setProperty<Tracked>(e, "content", Tracked("hello"));
    EXPECT_EQ(Tracked::alive, 1);
    EXPECT_EQ(getProperty<float>(e, "life"), life);
    EXPECT_EQ(getProperty<double>(e, "life"), nullptr);  // wrong type: null, not garbage
    EXPECT_EQ(getProperty<float>(e, "missing"), nullptr);
    EXPECT_EQ(getProperty<Tracked>(e, "content")->text, "hello");
    setProperty<Tracked>(e, "content", Tracked("again"));  // replacing releases the old value
    EXPECT_EQ(Tracked::alive, 1);
    _removeElement(e);
    EXPECT_EQ(Tracked::alive, 0);
}

TEST_F(ElementTest, RemoveElementQueuesOnceAndDestroyKeepsOrder) {
    Element* a = newElement(0);
    Element* b = newElement(0);
    Element* c = newElement(0);
    removeElement(b);
    removeElement(b);
    EXPECT_EQ(ELEMENTS_TO_BE_REMOVED, std::vector<Element*>{b});
    EXPECT_EQ(ELEMENTS.size(), 3u);  // still listed until the removal pass
    _removeElement(b);
    EXPECT_EQ(ELEMENTS, (std::vector<Element*>{a, c}));
    EXPECT_TRUE(ELEMENTS_TO_BE_REMOVED.empty());  // never destroyed a second time
}

TEST_F(ElementTest, EnablePhysicsCopiesTheElementIntoItsBody) {
    Element* e = newElement(3);
    e->position = {100, 200};
    e->size = {40, 20};
    e->restitution = 0.75f;
    e->layer = -2.9f;  // truncated towards zero
    e->canRotate = false;
    PhysicsBodyData* body = enablePhysics(e);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(e->physicsId, static_cast<int>(body->id));
    EXPECT_EQ(GetPhysicsBodyByID(e->physicsId), body);
    EXPECT_FLOAT_EQ(body->restitution, 0.75f);
    EXPECT_TRUE(body->enabled);
    EXPECT_EQ(body->collisionLayer, -2);
    EXPECT_TRUE(body->freezeRotation);
    EXPECT_FLOAT_EQ(body->mass, 800);  // 40 x 20 at density 1
    Vector2 v = GetPhysicsShapeVertex(body, 0);
    EXPECT_FLOAT_EQ(v.x, 120);
    EXPECT_FLOAT_EQ(v.y, 190);

    int id = e->physicsId;
    int before = GetPhysicsBodiesCount();
    _removeElement(e);  // the body goes with its element
    EXPECT_EQ(GetPhysicsBodyByID(id), nullptr);
    EXPECT_EQ(GetPhysicsBodiesCount(), before - 1);
}

TEST_F(ElementTest, EnablePhysicsWithAFullWorldLeavesTheElementWithoutBody) {
    std::vector<PhysicsBodyData*> filler;
    while (GetPhysicsBodiesCount() < PHYSICS_MAX_BODIES) {
        PhysicsBodyData* b = CreatePhysicsBodyRectangle(Vector2{0, 0}, 1, 1, 1);
        ASSERT_NE(b, nullptr);
        filler.push_back(b);
    }
    Element* e = newElement(0);
    EXPECT_EQ(enablePhysics(e), nullptr);
    EXPECT_EQ(e->physicsId, -1);
    updateElement(e, 0.016f);  // no body: nothing to read, nothing breaks
    EXPECT_FLOAT_EQ(e->position.x, 960);
    for (PhysicsBodyData* b : filler) DestroyPhysicsBody(b);
    PhysicsStep();  // releases the destroyed records
    _removeElement(e);
}

TEST_F(ElementTest, UpdateElementFollowsTheBody) {
    Element* e = newElement(0);
    e->position = {300, 300};
    e->size = {50, 50};
    e->autoFlip = true;
    PhysicsBodyData* body = enablePhysics(e);
    ASSERT_NE(body, nullptr);
    {
        PhysicsLock lock;
        body->position = {310, 280};
    }
    updateElement(e, 0.016f);
    EXPECT_FLOAT_EQ(e->position.x, 310);
    EXPECT_FLOAT_EQ(e->position.y, 280);
    EXPECT_NEAR(e->rotation, 0, 1e-3);  // float vertices: a few ten-thousandths of a degree

    SetPhysicsBodyRotation(body, 3.14159265f / 2);  // a quarter turn, clockwise on screen
    updateElement(e, 0.016f);
    EXPECT_NEAR(e->rotation, 90, 1e-3);

    // autoFlip: only speeds above 0.1 px/ms change the facing.
    auto flip_after = [&](float vx) {
        {
            PhysicsLock lock;
            body->velocity = {vx, 0};
        }
        updateElement(e, 0.016f);
        return e->flipped;
    };
    EXPECT_TRUE(flip_after(-0.2f));
    EXPECT_TRUE(flip_after(0.1f));
    EXPECT_TRUE(flip_after(0.05f));
    EXPECT_FALSE(flip_after(0.2f));
    EXPECT_FALSE(flip_after(-0.1f));

    e->canRotate = false;
    e->rotation = 12;
    SetPhysicsBodyRotation(body, 1.0f);
    updateElement(e, 0.016f);
    EXPECT_FLOAT_EQ(e->rotation, 12);
}

}  // namespace
