// The physics world: body records, creators, queries, forces, deferred
// destruction, the physics thread and the integration phases of a step.
// Contact generation lives in collision.cpp (pairs from broad_phase.cpp, box
// pairs in lanes in box_lanes.cpp), resolution in contact_solver.cpp (levels
// from contact_schedule.cpp, lanes in impulse_lanes.cpp).
#include "physics/physics.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>

#include "physics/physics_internal.h"

using namespace physics_detail;

namespace PhysicsWorld {
PhysicsBodyData* bodies[PHYSICS_MAX_BODIES];
uint32_t physicsBodiesCount = 0;
PhysicsManifoldData* contacts[PHYSICS_MAX_MANIFOLDS];
uint32_t physicsManifoldsCount = 0;
// Allocated before main runs, like the rest of the world, so a destroy before
// InitPhysics has somewhere to go; it grows past its initial room as needed.
std::vector<PhysicsBodyData*> bodiesToDelete = [] {
    std::vector<PhysicsBodyData*> list;
    list.reserve(PHYSICS_PENDING_DESTROY_CAPACITY);
    return list;
}();
Vector2 gravityForce = {0.0f, 9.81f};
double deltaTime = 1.6666666666666665;
double accumulator = 0.0;
uint32_t stepsCount = 0;
double startTime = 0.0;
double currentTime = 0.0;
uint32_t usedMemory = 0;
}  // namespace PhysicsWorld

using namespace PhysicsWorld;

namespace {

// id -> live body, so lookups by id do not scan the table (same answer as a scan:
// ids are unique among live bodies).
PhysicsBodyData* bodiesById[PHYSICS_MAX_BODIES];

// The high-resolution clock: steady_clock ticks (nanoseconds on Linux).
int64_t frequency = 1;
double baseTime = 0.0;

// The physics thread. physicsThreadEnabled is what IsPhysicsEnabled reports;
// stopRequested is the loop's own exit condition, so a ClosePhysics that comes
// before the thread has started still ends it.
std::thread physicsThreadId;
std::atomic<bool> physicsThreadEnabled{false};
std::atomic<bool> stopRequested{false};

int64_t ClockCounter() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

// The clock's frequency and origin, at start-up and again at InitPhysics.
void StartClock() {
    frequency = std::chrono::steady_clock::period::den / std::chrono::steady_clock::period::num;
    baseTime = static_cast<double>(ClockCounter());
}
struct ClockInit { ClockInit() { StartClock(); } } clockInit;

int FindFreeId() {
    for (int id = 0; id < PHYSICS_MAX_BODIES; id++) {
        if (bodiesById[id] == nullptr) return id;
    }
    return -1;
}

// Common part of the three creators: id, defaults, table entry. Null when full.
PhysicsBodyData* NewBody(Vector2 position) {
    int id = FindFreeId();
    if (id < 0 || physicsBodiesCount >= PHYSICS_MAX_BODIES) return nullptr;
    auto* body = new PhysicsBodyData{};  // every other field 0 (velocity, forces, record, layer...)
    usedMemory += sizeof(PhysicsBodyData);
    body->id = static_cast<uint32_t>(id);
    body->enabled = true;
    body->position = position;
    body->staticFriction = 0.4f;
    body->dynamicFriction = 0.2f;
    body->useGravity = true;
    body->shape.body = body;
    body->shape.transform = {1.0f, -0.0f, 0.0f, 1.0f};
    body->collidedWith = -1;
    bodies[physicsBodiesCount++] = body;
    bodiesById[id] = body;
    return body;
}

float InverseOf(float value) { return value != 0.0f ? 1.0f / value : 0.0f; }

// Face normals, area, centroid, mass and inertia of a polygon whose vertices
// are given in verts (world or model coordinates); stores the vertices relative
// to the centroid. The inertia sum is taken about the coordinates' origin, which
// for a box placed in world coordinates is the world origin, not its centre.
void SetPolygonShape(PhysicsBodyData* body, const Vector2* verts, uint32_t count, float density) {
    PhysicsShape& shape = body->shape;
    shape.type = SHAPE_POLYGON;
    shape.radius = 0.0f;
    shape.vertexCount = count;
    for (uint32_t i = 0; i < count; i++) {
        Vector2 face = Sub(verts[(i + 1) % count], verts[i]);
        shape.normals[i] = Normalize(Vector2{face.y, -face.x});
    }
    float area = 0.0f;
    Vector2 centroid = {0.0f, 0.0f};
    float inertiaSum = 0.0f;
    for (uint32_t i = 0; i < count; i++) {
        Vector2 p1 = verts[i];
        Vector2 p2 = verts[(i + 1) % count];
        float D = p1.x * p2.y - p1.y * p2.x;
        float triangleArea = D * 0.5f;
        area += triangleArea;
        centroid = Add(centroid, Scale(Add(p1, p2), triangleArea / 3.0f));
        inertiaSum += (D * 0.083333336f) *
                      (p1.x * p1.x + p1.x * p2.x + p2.x * p2.x + p1.y * p1.y + p1.y * p2.y + p2.y * p2.y);
    }
    centroid = Scale(centroid, 1.0f / area);
    for (uint32_t i = 0; i < count; i++) shape.positions[i] = Sub(verts[i], centroid);
    body->mass = density * area;
    body->inverseMass = InverseOf(body->mass);
    body->inertia = density * inertiaSum;
    body->inverseInertia = InverseOf(body->inertia);
}

// Half a step of force (and gravity) integration; forces scale by dt, gravity by dt/1000.
void IntegratePhysicsForces(PhysicsBodyData* body) {
    if (body->inverseMass == 0.0f || !body->enabled) return;
    const double half = deltaTime / 2.0;
    body->velocity.x = static_cast<float>(body->velocity.x + static_cast<double>(body->force.x * body->inverseMass) * half);
    body->velocity.y = static_cast<float>(body->velocity.y + static_cast<double>(body->force.y * body->inverseMass) * half);
    if (body->useGravity) {
        const double g = deltaTime / 1000.0 / 2.0;
        body->velocity.x = static_cast<float>(body->velocity.x + gravityForce.x * g);
        body->velocity.y = static_cast<float>(body->velocity.y + gravityForce.y * g);
    }
    if (!body->freezeRotation) {
        body->angularVelocity =
            static_cast<float>(body->angularVelocity + static_cast<double>(body->torque * body->inverseInertia) * half);
    }
}

void IntegratePhysicsVelocity(PhysicsBodyData* body) {
    if (!body->enabled) return;
    body->position.x = static_cast<float>(body->position.x + body->velocity.x * deltaTime);
    body->position.y = static_cast<float>(body->position.y + body->velocity.y * deltaTime);
    if (!body->freezeRotation) body->rotation = static_cast<float>(body->rotation + body->angularVelocity * deltaTime);
    body->shape.transform = MatFromAngle(body->rotation);
    IntegratePhysicsForces(body);
}

void ReleasePendingBodies() {
    for (PhysicsBodyData* body : bodiesToDelete) delete body;
    bodiesToDelete.clear();
}

// One step with the lock held: the ten phases in their order.
void PhysicsStepLocked() {
    stepsCount++;
    // Bodies destroyed since the last step are released before the previous
    // step's records, which may still point at them, are dropped unread.
    ReleasePendingBodies();
    ClearContacts();
    if (physicsBodiesCount == 0) return;
    // The first half of the force integration touches velocities only and the
    // pair tests positions and shapes only: integrating first lets each record
    // be prepared (its resting test reads the new velocities) as it is built.
    for (uint32_t i = 0; i < physicsBodiesCount; i++) IntegratePhysicsForces(bodies[i]);
    BuildContacts();
    if (physicsManifoldsCount > 0) SolveContacts();
    for (uint32_t i = 0; i < physicsBodiesCount; i++) IntegratePhysicsVelocity(bodies[i]);
    if (physicsManifoldsCount > 0) CorrectPositions();
    for (uint32_t i = 0; i < physicsBodiesCount; i++) {
        bodies[i]->force = {0.0f, 0.0f};
        bodies[i]->torque = 0.0f;
    }
}

// One accumulator pass (the body of RunPhysicsPassAt) that also reports, in
// the same locked stretch, the clock reading in ms at which the next step is
// due, and (when atRest is given) whether every moving body is at rest.
int PhysicsPass(double nowMs, double* dueMs, bool* atRest = nullptr) {
    int steps = 0;
    std::unique_lock<std::recursive_mutex> lock(PhysicsMutex());
    currentTime = nowMs;
    accumulator += currentTime - startTime;
    while (accumulator >= deltaTime) {
        PhysicsStepLocked();
        accumulator -= deltaTime;
        steps++;
        if (accumulator >= deltaTime) {
            // Catching up: let a waiting main thread in between the steps, so a
            // long catch-up cannot hold the frame loop off the world.
            lock.unlock();
            std::this_thread::yield();
            lock.lock();
        }
    }
    startTime = currentTime;
    *dueMs = currentTime + (deltaTime - accumulator);
    if (atRest) {
        *atRest = WorldAtRest();
        if (*atRest) *dueMs += (REST_STEPS_PER_WAKE - 1) * deltaTime;
    }
    return steps;
}

// While every body rests the thread wakes once per REST_STEPS_PER_WAKE steps
// and runs them together (as a late pass catches up), instead of once per
// step: on a virtual machine each wake-up costs more than a small step, and a
// companion at rest on the desktop would otherwise spend over 1% of a core on
// waking alone. Steps, their length and their phases are unchanged; the frame
// loop (60 Hz, ten steps a frame) sees a resting world at most 10 ms behind
// instead of 1.7 ms. The first pass that finds anything moving (a throw, a
// jump, a new body, a drag force) returns to a wake-up per step.

// The longest single sleep: a ClosePhysics waits at most this long for the
// thread to notice, however long the time step is set.
constexpr double MAX_SLEEP_MS = 12.0;

void PhysicsLoop() {
    physicsThreadEnabled = true;
    while (!stopRequested.load(std::memory_order_relaxed)) {
        physicsWakeUps.fetch_add(1, std::memory_order_relaxed);
        double dueMs;
        bool atRest = false;
        PhysicsPass(GetPhysicsTime(), &dueMs, &atRest);
        // Sleep until the next step is due (the accumulator holds less than one
        // step now; at rest, until REST_STEPS_PER_WAKE are), instead of
        // polling: one system call per wake-up (an absolute deadline on the
        // monotonic clock that steady_clock reads, so no drift from computing
        // a relative delay).
        const double nowMs = GetPhysicsTime();
        if (dueMs > nowMs + MAX_SLEEP_MS) dueMs = nowMs + MAX_SLEEP_MS;
        const double dueNs = std::ceil(baseTime + dueMs * 1e6);
        timespec due;
        due.tv_sec = static_cast<time_t>(dueNs / 1e9);
        due.tv_nsec = static_cast<long>(dueNs - static_cast<double>(due.tv_sec) * 1e9);
        if (due.tv_nsec < 0) due.tv_nsec = 0;
        if (due.tv_nsec > 999999999) due.tv_nsec = 999999999;
#ifdef _WIN32
        // MinGW's steady_clock does not count on the clock clock_nanosleep
        // knows: the same deadline through the standard library instead.
        (void)due;
        std::this_thread::sleep_until(std::chrono::steady_clock::time_point(
            std::chrono::steady_clock::duration(static_cast<std::chrono::steady_clock::rep>(dueNs))));
#else
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
        }
#endif
    }
}

}  // namespace

std::recursive_mutex& PhysicsMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

// ---- Lifecycle --------------------------------------------------------------------

double GetPhysicsTime() {
    return (static_cast<double>(ClockCounter()) - baseTime) / static_cast<double>(frequency) * 1000.0;
}

void InitPhysics() {
    if (physicsThreadId.joinable()) return;
    srand(static_cast<unsigned>(time(nullptr)));
    {
        PhysicsLock lock;
        StartClock();
        startTime = GetPhysicsTime();
        accumulator = 0.0;
        ReleasePendingBodies();
    }
    stopRequested = false;
    physicsThreadId = std::thread(PhysicsLoop);
}

void ClosePhysics() {
    stopRequested = true;  // the thread sees it within one step (at most MAX_SLEEP_MS)
    if (physicsThreadId.joinable()) physicsThreadId.join();
    physicsThreadEnabled = false;

    PhysicsLock lock;
    ClearContacts();
    for (int i = static_cast<int>(physicsBodiesCount) - 1; i >= 0; i--) DestroyPhysicsBody(bodies[i]);
    ReleasePendingBodies();
    bodiesToDelete.shrink_to_fit();
}

bool IsPhysicsEnabled() { return physicsThreadEnabled.load() && !stopRequested.load(); }

void SetPhysicsGravity(float x, float y) {
    PhysicsLock lock;
    gravityForce = {x, y};
}

void SetPhysicsTimeStep(double milliseconds) {
    PhysicsLock lock;
    deltaTime = milliseconds;
}

int RunPhysicsPassAt(double nowMs) {
    double dueMs;
    return PhysicsPass(nowMs, &dueMs);
}


void RunPhysicsStep() { RunPhysicsPassAt(GetPhysicsTime()); }

void PhysicsStep() {
    PhysicsLock lock;
    PhysicsStepLocked();
}

// ---- Bodies ----------------------------------------------------------------------

PhysicsBodyData* CreatePhysicsBodyRectangle(Vector2 position, float width, float height, float density) {
    PhysicsLock lock;
    PhysicsBodyData* body = NewBody(position);
    if (!body) return nullptr;
    const float x = position.x, y = position.y, hw = width / 2.0f, hh = height / 2.0f;
    const Vector2 verts[4] = {{x + hw, y - hh}, {x + hw, y + hh}, {x - hw, y + hh}, {x - hw, y - hh}};
    SetPolygonShape(body, verts, 4, density);
    return body;
}

PhysicsBodyData* CreatePhysicsBodyCircle(Vector2 position, float radius, float density) {
    PhysicsLock lock;
    PhysicsBodyData* body = NewBody(position);
    if (!body) return nullptr;
    body->shape.type = SHAPE_CIRCLE;
    body->shape.radius = radius;
    body->shape.vertexCount = 0;
    body->mass = static_cast<float>(M_PI * radius * radius * density);
    body->inverseMass = InverseOf(body->mass);
    body->inertia = body->mass * radius * radius;
    body->inverseInertia = InverseOf(body->inertia);
    return body;
}

PhysicsBodyData* CreatePhysicsBodyPolygon(Vector2 position, float radius, int sides, float density) {
    // More than four vertices do not fit a shape; fewer than three are no polygon.
    if (sides < 3 || sides > PHYSICS_MAX_VERTICES) return nullptr;
    PhysicsLock lock;
    PhysicsBodyData* body = NewBody(position);
    if (!body) return nullptr;
    Vector2 verts[PHYSICS_MAX_VERTICES];
    for (int i = 0; i < sides; i++) {
        double a = (360.0 / sides * i) * (M_PI / 180.0);
        verts[i] = {static_cast<float>(radius * std::cos(a)), static_cast<float>(radius * std::sin(a))};
    }
    SetPolygonShape(body, verts, static_cast<uint32_t>(sides), density);
    return body;
}

void DestroyPhysicsBody(PhysicsBodyData* body) {
    if (!body) return;
    PhysicsLock lock;
    // Matched by pointer, not by the record's id: a stale pointer to a body
    // destroyed earlier must not take down a newer body that reuses its id,
    // and must not be read at all once its memory has been released.
    uint32_t index = 0;
    while (index < physicsBodiesCount && bodies[index] != body) index++;
    if (index == physicsBodiesCount) return;
    usedMemory -= sizeof(PhysicsBodyData);
    bodiesToDelete.push_back(body);
    for (uint32_t i = index; i + 1 < physicsBodiesCount; i++) bodies[i] = bodies[i + 1];
    physicsBodiesCount--;
    bodies[physicsBodiesCount] = nullptr;
    if (body->id < PHYSICS_MAX_BODIES && bodiesById[body->id] == body) bodiesById[body->id] = nullptr;
}

void PhysicsShatter(PhysicsBodyData* body, Vector2 position, float force) {
    if (!body) return;
    PhysicsLock lock;
    if (body->shape.type != SHAPE_POLYGON || GetPhysicsBodyByID(static_cast<int>(body->id)) != body) return;
    const PhysicsBodyData original = *body;
    const PhysicsShape& shape = original.shape;
    if (shape.vertexCount < 3) return;
    // Area of the polygon from its model-space vertices, for the pieces' density.
    float polyArea = 0.0f;
    for (uint32_t i = 0; i < shape.vertexCount; i++) {
        polyArea += Cross(shape.positions[i], shape.positions[(i + 1) % shape.vertexCount]) * 0.5f;
    }
    const float density = polyArea > 0.0f ? original.mass / polyArea : 0.0f;
    DestroyPhysicsBody(body);

    // One triangle per face: the body's centre and the face's two corners.
    for (uint32_t i = 0; i < shape.vertexCount; i++) {
        Vector2 corners[3] = {
            original.position,
            Add(original.position, MatMul(shape.transform, shape.positions[i])),
            Add(original.position, MatMul(shape.transform, shape.positions[(i + 1) % shape.vertexCount])),
        };
        Vector2 centre = Scale(Add(Add(corners[0], corners[1]), corners[2]), 1.0f / 3.0f);
        PhysicsBodyData* piece = CreatePhysicsBodyPolygon(centre, 1.0f, 3, density);
        if (!piece) return;  // the world is full: the remaining pieces are lost
        Vector2 local[3];
        for (int k = 0; k < 3; k++) local[k] = Sub(corners[k], centre);
        SetPolygonShape(piece, local, 3, density);
        piece->enabled = original.enabled;
        piece->restitution = original.restitution;
        piece->staticFriction = original.staticFriction;
        piece->dynamicFriction = original.dynamicFriction;
        piece->useGravity = original.useGravity;
        piece->freezeRotation = original.freezeRotation;
        piece->collisionLayer = original.collisionLayer;
        Vector2 away = Normalize(Sub(centre, position));
        piece->velocity = Add(original.velocity, Scale(away, force * piece->inverseMass));
    }
}

void PhysicsAddForce(PhysicsBodyData* body, Vector2 force) {
    if (!body) return;
    PhysicsLock lock;
    body->force = Add(body->force, force);
}

void PhysicsAddTorque(PhysicsBodyData* body, float amount) {
    if (!body) return;
    PhysicsLock lock;
    body->torque += amount;
}

void SetPhysicsBodyRotation(PhysicsBodyData* body, float radians) {
    if (!body) return;
    PhysicsLock lock;
    body->rotation = radians;
    if (body->shape.type == SHAPE_POLYGON) body->shape.transform = MatFromAngle(radians);
}

bool PhysicsTakeCollision(PhysicsBodyData* body, PhysicsCollision* out) {
    if (!body) return false;
    PhysicsLock lock;
    if (!body->enabled || body->collidedWith == -1) return false;
    if (out) *out = {body->collidedWith, body->collisionNormal, body->collisionDelta};
    body->collidedWith = -1;
    body->collisionDelta = {0.0f, 0.0f};
    body->collisionNormal = {0.0f, 0.0f};
    return true;
}

// ---- Queries ---------------------------------------------------------------------

int GetPhysicsBodiesCount() { return static_cast<int>(physicsBodiesCount); }

PhysicsBodyData* GetPhysicsBody(int index) { return bodies[index]; }

PhysicsBodyData* GetPhysicsBodyByID(int id) {
    if (id < 0 || id >= PHYSICS_MAX_BODIES) return nullptr;
    return bodiesById[id];
}

int GetPhysicsShapeType(int index) {
    if (index < 0 || index >= static_cast<int>(physicsBodiesCount) || !bodies[index]) return -1;
    return bodies[index]->shape.type;
}

int GetPhysicsShapeVerticesCount(int index) {
    if (index < 0 || index >= static_cast<int>(physicsBodiesCount) || !bodies[index]) return 0;
    switch (bodies[index]->shape.type) {
        case SHAPE_CIRCLE: return 24;
        case SHAPE_POLYGON: return static_cast<int>(bodies[index]->shape.vertexCount);
    }
    return 0;
}

Vector2 GetPhysicsShapeVertex(PhysicsBodyData* body, int vertex) {
    if (!body) return {0.0f, 0.0f};
    PhysicsLock lock;
    if (body->shape.type == SHAPE_POLYGON) {
        return Add(body->position, MatMul(body->shape.transform, body->shape.positions[vertex]));
    }
    if (body->shape.type == SHAPE_CIRCLE) {
        double a = 15.0 * vertex * (M_PI / 180.0);
        return {body->position.x + static_cast<float>(body->shape.radius * std::cos(a)),
                body->position.y + static_cast<float>(body->shape.radius * std::sin(a))};
    }
    return {0.0f, 0.0f};
}

bool PhysicsLayersCollide(int32_t a, int32_t b) { return physics_detail::LayersCollide(a, b); }

float randf() { return static_cast<float>(rand() & 0x7fff) / 32767.0f; }

namespace physics_detail {

std::atomic<uint32_t> physicsWakeUps{0};

bool WorldAtRest() {
    for (uint32_t i = 0; i < physicsBodiesCount; i++) {
        const PhysicsBodyData* body = bodies[i];
        if (!body->enabled || body->inverseMass == 0.0f) continue;
        if (!(std::fabs(body->velocity.x) <= REST_SPEED && std::fabs(body->velocity.y) <= REST_SPEED &&
              std::fabs(body->angularVelocity) <= REST_TURN)) {
            return false;
        }
    }
    return true;
}

}  // namespace physics_detail
