// The frame loop's passes without a window: deferred removal, update order,
// hover choice, collision delivery; and the periodic trigger and the walls.
#include <gtest/gtest.h>

#include <cfloat>
#include <chrono>
#include <thread>
#include <climits>
#include <set>
#include <string>
#include <vector>

#include "app/app.h"
#include "desktop/walls.h"
#include "element/element.h"
#include "physics/physics.h"

namespace {

std::vector<std::string> events;
std::string name_of(Element* e) { return e->id; }

void log_destroy(Element* e) { events.push_back("destroy " + name_of(e)); }
void log_update(Element* e, float, float) { events.push_back("update " + name_of(e)); }

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        RESOLUTION = Vector2{1920, 1080};
        clear();
        events.clear();
    }
    void TearDown() override { clear(); }
    static void clear() {
        while (!ELEMENTS.empty()) _removeElement(ELEMENTS.front());
        ELEMENTS_TO_BE_REMOVED.clear();
    }
    static Element* make(const std::string& id, int layer = 0) {
        Element* e = newElement(layer);
        e->id = id;
        e->onDestroy = log_destroy;
        e->onUpdate = log_update;
        return e;
    }
    // One frame as the loop runs it, minus the window: removal pass, update pass.
    static Element* frame(float time = 0, Vector2 mouse = {-1000, -1000}) {
        frame_remove_queued();
        return frame_update(0.016f, time, mouse);
    }
};

void remove_self_in_update(Element* e, float, float) {
    events.push_back("update " + e->id);
    removeElement(e);
}

TEST_F(FrameTest, QueuedElementsAreDestroyedAtTheStartOfTheNextFrame) {
    Element* a = make("a");
    a->onUpdate = remove_self_in_update;
    make("b");
    frame();
    // Queued in frame 1: still listed and updated in that frame.
    EXPECT_EQ(events, (std::vector<std::string>{"update a", "update b"}));
    EXPECT_EQ(ELEMENTS.size(), 2u);
    events.clear();
    frame();
    EXPECT_EQ(events, (std::vector<std::string>{"destroy a", "update b"}));  // before any update
    EXPECT_EQ(ELEMENTS.size(), 1u);
}

TEST_F(FrameTest, AnElementQueuedTwiceIsDestroyedOnce) {
    Element* a = make("a");
    removeElement(a);
    removeElement(a);
    frame();
    EXPECT_EQ(events, (std::vector<std::string>{"destroy a"}));
    EXPECT_TRUE(ELEMENTS.empty());
    EXPECT_TRUE(ELEMENTS_TO_BE_REMOVED.empty());
}

Element* queued_by_destroy = nullptr;
void destroy_and_queue(Element* e) {
    events.push_back("destroy " + e->id);
    removeElement(e);  // itself again: must not be destroyed twice
    if (queued_by_destroy) removeElement(queued_by_destroy);
}

TEST_F(FrameTest, QueueingDuringTheRemovalPassWaitsOrIsDropped) {
    Element* a = make("a");
    Element* b = make("b");
    Element* c = make("c");
    a->onDestroy = destroy_and_queue;
    queued_by_destroy = c;
    removeElement(a);
    removeElement(b);
    frame();
    // c waits for the next frame; a, queued again by itself, is not destroyed twice.
    EXPECT_EQ(events, (std::vector<std::string>{"destroy a", "destroy b", "update c"}));
    EXPECT_EQ(ELEMENTS_TO_BE_REMOVED, std::vector<Element*>{c});
    events.clear();
    frame();
    EXPECT_EQ(events, (std::vector<std::string>{"destroy c"}));
    EXPECT_TRUE(ELEMENTS.empty());

    // An element queued by an earlier one's onDestroy while itself waiting in
    // the same pass is destroyed once.
    Element* d = make("d");
    Element* e = make("e");
    d->onDestroy = destroy_and_queue;
    queued_by_destroy = e;
    removeElement(d);
    removeElement(e);
    events.clear();
    frame();
    frame();
    EXPECT_EQ(events, (std::vector<std::string>{"destroy d", "destroy e"}));
    queued_by_destroy = nullptr;
}

std::vector<float> seen_times;
void spawn_in_update(Element* e, float, float time) {
    seen_times.push_back(time);
    events.push_back("update " + e->id);
    if (ELEMENTS.size() < 3) {
        Element* child = newElement(-5);  // lands before the running element
        child->id = "child";
        child->onUpdate = log_update;
    }
}

TEST_F(FrameTest, ElementsCreatedDuringThePassWaitForTheNextFrame) {
    seen_times.clear();
    make("a", 0)->onUpdate = spawn_in_update;
    make("b", 1);
    frame(0);
    EXPECT_EQ(events, (std::vector<std::string>{"update a", "update b"}));
    events.clear();
    frame(0.5f);
    EXPECT_EQ(events, (std::vector<std::string>{"update child", "update a", "update b"}));
    EXPECT_EQ(seen_times, (std::vector<float>{0, 0.5f}));
}

TEST_F(FrameTest, HoveredIsTheLastHitThatIsNotClickThrough) {
    Vector2 mouse{500, 500};
    Element* low = make("low", 0);
    Element* high = make("high", 1);
    Element* same = make("same", 0);  // created later on layer 0: between low and high
    for (Element* e : {low, high, same}) {
        e->position = mouse;
        e->size = {50, 50};
    }
    EXPECT_EQ(frame(0, mouse), high);
    high->clickThrough = true;  // never hovered, even on top
    EXPECT_EQ(frame(0, mouse), same);
    same->position = {900, 900};
    EXPECT_EQ(frame(0, mouse), low);
    EXPECT_EQ(frame(0, {0, 0}), nullptr);
    // Queued for removal: no longer hovered, though still updated this frame.
    removeElement(low);
    EXPECT_EQ(frame_update(0.016f, 0, mouse), nullptr);
}

struct Delivery {
    Element* e;
    int own, other;
    Vector2 normal, delta;
};
std::vector<Delivery> deliveries;
void record_collision(Element* e, int own, int other, Vector2 normal, Vector2 delta) {
    deliveries.push_back({e, own, other, normal, delta});
}

void set_record(PhysicsBodyData* body, int other) {
    PhysicsLock lock;
    body->collidedWith = other;
    body->collisionNormal = {0, -1};
    body->collisionDelta = {0.5f, -2};
}

TEST_F(FrameTest, CollisionRecordIsDeliveredOnceAndReset) {
    deliveries.clear();
    Element* e = make("e");
    e->size = {10, 10};
    e->onCollide = record_collision;
    PhysicsBodyData* body = enablePhysics(e);
    ASSERT_NE(body, nullptr);
    set_record(body, 42);
    frame();
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].e, e);
    EXPECT_EQ(deliveries[0].own, e->physicsId);
    EXPECT_EQ(deliveries[0].other, 42);
    EXPECT_FLOAT_EQ(deliveries[0].normal.y, -1);
    EXPECT_FLOAT_EQ(deliveries[0].delta.x, 0.5f);
    EXPECT_FLOAT_EQ(deliveries[0].delta.y, -2);
    EXPECT_EQ(body->collidedWith, -1);
    EXPECT_FLOAT_EQ(body->collisionDelta.y, 0);
    EXPECT_FLOAT_EQ(body->collisionNormal.y, 0);
    frame();
    EXPECT_EQ(deliveries.size(), 1u);  // nothing new recorded: nothing delivered

    // Without onCollide the record is still reset.
    e->onCollide = nullptr;
    set_record(body, 7);
    frame();
    EXPECT_EQ(body->collidedWith, -1);
    EXPECT_FLOAT_EQ(body->collisionDelta.x, 0);

    // A disabled body keeps its record: neither delivered nor reset.
    e->onCollide = record_collision;
    set_record(body, 9);
    {
        PhysicsLock lock;
        body->enabled = false;
    }
    frame();
    EXPECT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(body->collidedWith, 9);
    EXPECT_FLOAT_EQ(body->collisionDelta.x, 0.5f);
}

std::set<Element*> landed;
void count_landing(Element* e, int, int, Vector2, Vector2) { landed.insert(e); }

// The passes read positions and take collision records while the physics
// thread steps: run under ThreadSanitizer, this is where a missing lock shows.
TEST_F(FrameTest, PassesMeetTheRunningPhysicsThread) {
    InitPhysics();
    int* floor = createWalls(Rectangle{0, 0, 400, 300}, 16, INT_MAX);
    landed.clear();
    std::vector<Element*> boxes;
    for (int i = 0; i < 6; i++) {
        Element* e = make("box");
        e->position = {40.0f + 60 * i, 250};
        e->size = {20, 20};
        e->onCollide = count_landing;
        ASSERT_NE(enablePhysics(e), nullptr);
        boxes.push_back(e);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    float time = 0;
    while (landed.size() < 6 && std::chrono::steady_clock::now() < deadline) {
        frame_remove_queued();
        frame_update(0.016f, time, {0, 0});
        time += 0.016f;
        std::this_thread::yield();
    }
    EXPECT_EQ(landed.size(), 6u);
    for (Element* e : boxes) {
        EXPECT_GT(e->position.y, 250) << "fell";
        EXPECT_LT(e->position.y, 300) << "stopped by the floor";
    }
    removeElement(boxes[0]);
    frame_remove_queued();  // a body destroyed while steps run
    ClosePhysics();
    delete[] floor;
}

TEST(EveryInterval, TrueInTheFrameThatCrossesThePhase) {
    EXPECT_TRUE(everyInterval(0.9f, 0.2f, 1, 0));
    EXPECT_FALSE(everyInterval(0.2f, 0.2f, 1, 0));
    EXPECT_TRUE(everyInterval(0.97f, 0.05f, 0.1f, 0));
    EXPECT_FALSE(everyInterval(0.91f, 0.05f, 0.1f, 0));

    // Running the loop's own clock for 15 s at 60 fps: offset 2.5, period 5.
    float time = 0;
    const float dt = 1.0f / 60;
    std::vector<float> fired;
    for (int frame = 0; frame < 900; frame++) {
        if (everyInterval(time, dt, 5, 2.5f)) fired.push_back(time);
        time += dt;
    }
    ASSERT_EQ(fired.size(), 3u);
    const float crossings[3] = {2.5f, 7.5f, 12.5f};
    for (int i = 0; i < 3; i++) {
        EXPECT_LE(fired[i], crossings[i] + 1e-3f);
        EXPECT_GT(fired[i] + dt, crossings[i] - 1e-3f);
    }
}

TEST(CreateWalls, FourStaticBodiesJustOutsideTheArea) {
    int* ids = createWalls(Rectangle{0, 0, 1920, 1080}, 256, INT_MAX);
    ASSERT_NE(ids, nullptr);
    struct Want {
        float x, y, w, h;
    };
    const Want want[4] = {{960, -128, 2432, 256},   // top
                          {960, 1208, 2432, 256},   // bottom
                          {-128, 540, 256, 1592},   // left
                          {2048, 540, 256, 1592}};  // right
    for (int i = 0; i < 4; i++) {
        PhysicsBodyData* body = GetPhysicsBodyByID(ids[i]);
        ASSERT_NE(body, nullptr) << i;
        EXPECT_FLOAT_EQ(body->position.x, want[i].x) << i;
        EXPECT_FLOAT_EQ(body->position.y, want[i].y) << i;
        Vector2 corner = GetPhysicsShapeVertex(body, 0);  // (+w/2, -h/2) of an unturned box
        EXPECT_NEAR((corner.x - body->position.x) * 2, want[i].w, 1e-2) << i;
        EXPECT_NEAR((body->position.y - corner.y) * 2, want[i].h, 1e-2) << i;
        EXPECT_FALSE(body->enabled);
        EXPECT_FLOAT_EQ(body->inverseMass, 0);
        EXPECT_FLOAT_EQ(body->restitution, 1);
        EXPECT_FLOAT_EQ(body->staticFriction, 0);
        EXPECT_FLOAT_EQ(body->dynamicFriction, 1);
        EXPECT_EQ(body->collisionLayer, INT_MAX);
    }
    for (int i = 0; i < 4; i++) DestroyPhysicsBody(GetPhysicsBodyByID(ids[i]));
    delete[] ids;

    ids = createWalls(Rectangle{100, 200, 800, 600}, 16, INT_MIN);
    PhysicsBodyData* left = GetPhysicsBodyByID(ids[2]);
    ASSERT_NE(left, nullptr);
    EXPECT_FLOAT_EQ(left->position.x, 92);
    EXPECT_FLOAT_EQ(left->position.y, 500);
    EXPECT_EQ(left->collisionLayer, INT_MIN);
    for (int i = 0; i < 4; i++) DestroyPhysicsBody(GetPhysicsBodyByID(ids[i]));
    delete[] ids;
    PhysicsStep();  // destroyed records are released by the next step
}

}  // namespace
