// The physics engine: a fixed-step 2D rigid-body world of circles and convex
// polygons (at most four vertices) stepped on a thread of its own, with a
// per-body collision record and collision layers.
//
// Units: lengths in pixels of the full-screen window (y grows downwards), times
// in milliseconds, velocities in pixels per millisecond, angles in radians.
//
// Threads and locking
// -------------------
// One recursive mutex, PhysicsMutex(), guards the world: the body table, every
// body's fields, the contact table, the pending-destroy list, gravity, the time
// step and the accumulator. The physics thread holds it for the whole of each
// step. The main thread must hold it (a PhysicsLock in scope) whenever it reads
// or writes body fields directly: position, velocity, force, enabled,
// restitution, friction, collisionLayer, freezeRotation, the collision record.
// Being recursive, the lock may be held while calling any function below.
//
// These take the lock themselves (safe from any thread, with or without a
// PhysicsLock held): the creators, DestroyPhysicsBody, PhysicsShatter,
// PhysicsAddForce, PhysicsAddTorque, SetPhysicsBodyRotation,
// GetPhysicsShapeVertex, PhysicsTakeCollision, SetPhysicsGravity,
// SetPhysicsTimeStep, PhysicsStep, RunPhysicsStep, RunPhysicsPassAt,
// ClosePhysics (after the thread has ended).
//
// The table queries (GetPhysicsBodiesCount, GetPhysicsBody, GetPhysicsBodyByID,
// GetPhysicsShapeType, GetPhysicsShapeVerticesCount) do not lock: only the
// thread that creates and destroys bodies (the main thread) changes the table,
// so that thread may call them without the lock; any other thread must hold a
// PhysicsLock.
//
// Lifetimes: a body pointer returned by a creator stays valid until
// DestroyPhysicsBody; its memory is released at the start of the next step (or
// by ClosePhysics), so a pointer used in the same frame after its destruction
// still points at valid memory. Ids are free again at once.
#pragma once

#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "gfx/raylib.h"  // Vector2: the graphics library's pair of floats

// ---- Limits ------------------------------------------------------------------
constexpr int PHYSICS_MAX_BODIES = 4096;     // body table size; ids 0 to 4095
constexpr int PHYSICS_MAX_MANIFOLDS = 4096;  // contact table size; 4095 records per step at most
constexpr int PHYSICS_MAX_VERTICES = 4;      // vertices (and faces) of a polygon shape
constexpr int PHYSICS_PENDING_DESTROY_CAPACITY = 128;  // initial room of the pending-destroy list; it grows

// ---- Value types -------------------------------------------------------------
// Rotation matrix of angle a: m00 = cos a, m01 = -sin a, m10 = sin a, m11 = cos a.
struct Matrix2x2 {
    float m00;
    float m01;
    float m10;
    float m11;
};

enum PhysicsShapeType : int32_t {
    SHAPE_CIRCLE = 0,
    SHAPE_POLYGON = 1,
};

struct PhysicsBodyData;

// The shape held inside each body.
struct PhysicsShape {
    PhysicsShapeType type;                    // circle or polygon
    PhysicsBodyData* body;                    // back-pointer to the owning body
    float radius;                             // circle radius; 0 for polygons
    Matrix2x2 transform;                      // rotation matrix of the body's rotation (circles keep angle 0)
    uint32_t vertexCount;                     // polygon vertices (4 for boxes); 0 for circles
    Vector2 positions[PHYSICS_MAX_VERTICES];  // model-space vertices relative to the centroid, in winding order
    Vector2 normals[PHYSICS_MAX_VERTICES];    // unit outward normal of the face from vertex i to vertex i+1
};

// The body record. Owned by the world; the application keeps its pointer or id.
struct PhysicsBodyData {
    uint32_t id;              // unique among live bodies; the smallest free value at creation
    bool enabled;             // false: never moves, receives no impulse or correction, records nothing
    Vector2 position;         // world position of the centroid
    Vector2 velocity;         // pixels per millisecond
    Vector2 force;            // accumulated for the next step; cleared at the end of every step
    float angularVelocity;    // radians per millisecond
    float torque;             // accumulated for the next step; cleared every step
    float rotation;           // radians
    float inertia;            // moment of inertia (a box's is taken about the world origin)
    float inverseInertia;     // 1/inertia, or 0 when inertia is 0
    float mass;               // density x area
    float inverseMass;        // 1/mass, or 0 when mass is 0 (or infinite): a static body
    float staticFriction;     // friction coefficient at rest (0.4)
    float dynamicFriction;    // friction coefficient in motion (0.2)
    float restitution;        // bounciness (0)
    bool useGravity;          // gravity applies (true)
    bool isGrounded;          // second body of a pair whose normal points up the screen; cleared each step
    bool freezeRotation;      // no angular integration and no angular impulse
    PhysicsShape shape;       // the body's shape
    int32_t collidedWith;     // collision record: id of the body of the last normal impulse; -1 = none
    Vector2 collisionDelta;   // collision record: summed velocity changes of normal impulses
    Vector2 collisionNormal;  // collision record: direction of the last normal impulse, away from the other body
    int32_t collisionLayer;   // collision filter, see PhysicsLayersCollide (0)
};

// One contact record: a touching (or tested) pair within one step.
struct PhysicsManifoldData {
    uint32_t id;                // the table's count after adding this record (1 for the first of a step)
    PhysicsBodyData* bodyA;     // first body of the pair (lower table index)
    PhysicsBodyData* bodyB;     // second body
    float penetration;          // depth of overlap along normal
    Vector2 normal;             // unit normal from bodyA towards bodyB; (0, 0) when untouched
    Vector2 contactPoints[2];   // world contact points
    uint32_t contactsCount;     // points in use: 0, 1 or 2
    float restitution;          // mixed restitution of the pair
    float dynamicFriction;      // mixed dynamic friction
    float staticFriction;       // mixed static friction
};

// A delivered collision record (see PhysicsTakeCollision).
struct PhysicsCollision {
    int32_t collidedWith;     // id of the body of the last normal impulse
    Vector2 collisionNormal;  // unit direction of that impulse, away from the other body
    Vector2 collisionDelta;   // sum of the velocity changes since the last delivery
};

// ---- Locking -------------------------------------------------------------------
std::recursive_mutex& PhysicsMutex();  // The world's lock (see the top of this file)

// Holds the world's lock for its scope: `{ PhysicsLock lock; body->velocity = v; }`.
struct PhysicsLock {
    std::unique_lock<std::recursive_mutex> lock{PhysicsMutex()};
};

// ---- The world (module state, guarded by PhysicsMutex) -----------------------
// Exposed for tests and diagnostics; the application uses the functions below.
namespace PhysicsWorld {
extern PhysicsBodyData* bodies[PHYSICS_MAX_BODIES];            // live bodies in creation order, packed from 0
extern uint32_t physicsBodiesCount;                            // live bodies
extern PhysicsManifoldData* contacts[PHYSICS_MAX_MANIFOLDS];   // this step's contact records (pooled, reused)
extern uint32_t physicsManifoldsCount;                         // records in use
extern std::vector<PhysicsBodyData*> bodiesToDelete;           // destroyed bodies released at the next step
extern Vector2 gravityForce;                                   // (0, 9.81)
extern double deltaTime;                                       // fixed step, ms (1.6666666666666665)
extern double accumulator;                                     // ms of real time not yet simulated
extern uint32_t stepsCount;                                    // steps run so far
extern double startTime;                                       // ms, previous accumulator update
extern double currentTime;                                     // ms, latest accumulator update
extern uint32_t usedMemory;                                    // bytes in body and contact records
}  // namespace PhysicsWorld

// ---- Lifecycle -----------------------------------------------------------------
void InitPhysics();             // Seed rand, start the clock and the physics thread (main thread, once)
void ClosePhysics();            // Stop and join the thread, destroy every record and body (main thread)
bool IsPhysicsEnabled();        // True while the physics thread is looping
void SetPhysicsGravity(float x, float y);         // Set gravityForce
void SetPhysicsTimeStep(double milliseconds);     // Set deltaTime
void RunPhysicsStep();          // One accumulator pass on the caller's thread, against the real clock
int RunPhysicsPassAt(double nowMs);  // One accumulator pass as if the clock read nowMs; returns steps run
void PhysicsStep();             // Exactly one step of the world (all ten phases)
double GetPhysicsTime();        // Milliseconds since InitPhysics on the engine's monotonic clock

// ---- Bodies --------------------------------------------------------------------
// Axis-aligned box centred on position; null when all 4096 ids are in use.
PhysicsBodyData* CreatePhysicsBodyRectangle(Vector2 position, float width, float height, float density);
// Circle; null when all ids are in use.
PhysicsBodyData* CreatePhysicsBodyCircle(Vector2 position, float radius, float density);
// Regular polygon of 3 or 4 sides on a circle of radius; null for other side counts or when full.
PhysicsBodyData* CreatePhysicsBodyPolygon(Vector2 position, float radius, int sides, float density);
// Remove body from the world (memory released at the next step); null or unknown bodies are ignored.
void DestroyPhysicsBody(PhysicsBodyData* body);
// Replace a polygon body by one triangle per face, pushed away from position
// with speed force x inverseMass; other shapes (and null) are left alone.
void PhysicsShatter(PhysicsBodyData* body, Vector2 position, float force);

void PhysicsAddForce(PhysicsBodyData* body, Vector2 force);     // Add to the body's force; null ignored
void PhysicsAddTorque(PhysicsBodyData* body, float amount);     // Add to the body's torque; null ignored
void SetPhysicsBodyRotation(PhysicsBodyData* body, float radians);  // Set rotation (and a polygon's transform)

// Deliver the collision record: when body is enabled and names a collision,
// copy it to out, reset it to -1, (0, 0), (0, 0) and return true; otherwise false.
bool PhysicsTakeCollision(PhysicsBodyData* body, PhysicsCollision* out);

// ---- Queries -------------------------------------------------------------------
int GetPhysicsBodiesCount();                         // Live bodies
PhysicsBodyData* GetPhysicsBody(int index);          // bodies[index]; index must be below the count
PhysicsBodyData* GetPhysicsBodyByID(int id);         // Body with this id, or null
int GetPhysicsShapeType(int index);                  // Shape type at a table index; -1 when out of range
int GetPhysicsShapeVerticesCount(int index);         // 24 for a circle, vertexCount for a polygon, 0 otherwise
Vector2 GetPhysicsShapeVertex(PhysicsBodyData* body, int vertex);  // World position of a vertex; (0, 0) for null
bool PhysicsLayersCollide(int32_t a, int32_t b);     // The collision-layer filter

// ---- Random numbers --------------------------------------------------------------
// A value in [0, 1] from rand() (15 bits over 32767), seeded by InitPhysics. Any thread.
float randf();
