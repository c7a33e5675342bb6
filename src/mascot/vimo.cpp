// The mascot's behaviour and its main menu.
#include "mascot/vimo.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <iostream>

#include "base/base.h"
#include "desktop/input.h"
#include "desktop/window.h"
#include "desktop/behaviours.h"
#include "element/element.h"
#include "mascot/blockspawner.h"
#include "mascot/menu.h"
#include "mascot/vimo_hooks.h"
#include "physics/physics.h"

VimoHooks vimo_hooks = {};
Element* vimo = nullptr;

float vimo_move_timer = 0;
float vimo_walk_timer = 0;
float vimo_target_x = 0;
float vimo_state_timer = 0;
bool vimo_was_thrown = false;
bool vimo_was_grounded = false;
std::string vimo_pose_name;

static const float LANDED_TIME = 0.5f;    // "landed" pose after touching down, seconds
static const float BUMPED_TIME = 0.1f;    // "bumped" pose after bouncing off the ground, seconds

void vimo_create() {
    vimo = newElement(0);
    vimo->id = "vimo";
    vimo->size = {128, 128};
    vimo->canRotate = false;
    vimo->autoFlip = true;
    Drawable image{};
    image.type = DRAWABLE_IMAGE;
    image.source = "assets/guy";
    image.offset = {0, 0};
    image.size = {128, 128};
    image.rotation = 0;
    image.color = {255, 255, 255, 255};
    vimo->drawables.push_back(image);
    enablePhysics(vimo);
    vimo->onUpdate = vimo_update;
    vimo->onClick = vimo_click;
    vimo->onDrag = vimo_drag;
    vimo->onRelease = vimo_release;
}

void vimo_reset() {
    // Drawn at creation rather than at program load: the generator is seeded
    // by then, so the first walk does not come at the same moment every run.
    vimo_move_timer = randf() * 5;
    vimo_walk_timer = 0;
    vimo_target_x = 0;
    vimo_state_timer = 0;
    vimo_was_thrown = false;
    vimo_was_grounded = false;
    vimo_pose_name.clear();
}

bool vimo_live_blocking() {
    bool live = vimo_hooks.is_live && vimo_hooks.is_live();
    bool snoozed = vimo_hooks.is_snoozed && vimo_hooks.is_snoozed();
    return live && !snoozed;
}

static bool vimo_live() {
    return vimo_hooks.is_live && vimo_hooks.is_live();
}

static bool vimo_is_held() {
    return held != nullptr && vimo != nullptr && held->id == vimo->id;
}

void vimo_wander(PhysicsBodyData* body, float dt) {
    if (vimo_was_thrown || vimo_is_held() || menu != nullptr) return;

    if (vimo_walk_timer > 0) {
        vimo_walk_timer -= dt;
        // Re-applied every frame so friction does not slow a walk; it ends
        // with a stop.
        body->velocity.x = vimo_walk_timer > 0 ? vimo_target_x : 0;
        return;
    }

    vimo_move_timer -= dt;
    if (vimo_move_timer > 0) return;

    // Walk speed: the distance over the walk's seconds divided by 1200
    // (60 x 20), the program's scale for body velocities in pixels per ms.
    if (wallIDs != nullptr && wallRect.y > vimo->size.y && randf() < 0.5f) {
        // Window walk: to the window's middle, jumping towards its top edge.
        float target = wallRect.x + wallRect.width * 0.5f;
        vimo_walk_timer = randf() + 0.5f;
        vimo_target_x = (target - vimo->position.x) / vimo_walk_timer / 60 / 20;
        body->velocity.y = (wallRect.y - vimo->position.y) / 60 * 0.5f;
    } else {
        float target = randf() * RESOLUTION.x;
        vimo_walk_timer = randf() + 0.5f;
        vimo_target_x = (target - vimo->position.x) / vimo_walk_timer / 60 / 20;
        if (randf() < 0.5f) body->velocity.y = -RESOLUTION.y * randf() / 60 * 0.5f;
    }
    vimo_move_timer = randf() * 10 + vimo_walk_timer;
}

// The throw machine; "" when the throw ended in this frame.
static std::string vimo_throw_pose(bool grounded, float dt) {
    if (!grounded) {
        if (vimo_was_grounded) {
            vimo_state_timer = BUMPED_TIME - dt;
            return vimo_state_timer > 0 ? "bumped" : "thrown";
        }
        if (vimo_state_timer > 0) {
            vimo_state_timer -= dt;
            return vimo_state_timer > 0 ? "bumped" : "thrown";
        }
        return "thrown";
    }
    if (!vimo_was_grounded) {
        vimo_state_timer = LANDED_TIME - dt;
        if (vimo_state_timer > 0) return "landed";
    } else if (vimo_state_timer > 0) {
        vimo_state_timer -= dt;
        if (vimo_state_timer > 0) return "landed";
    }
    vimo_was_thrown = false;
    return "";
}

bool vimo_grounded(PhysicsBodyData* body) {
    if (body->isGrounded) return true;
    // The engine marks only the later-created body of a pair as grounded. The
    // walls around the focused window are rebuilt after every click, so they
    // are always newer than the mascot, and so is every block and chat box:
    // standing on them the mascot would never count as grounded, and a throw
    // onto a window would never end (no walks until it is picked up again).
    // A push from below since the last frame (the collision record, cleared
    // by the frame loop after this update) is standing on something too: the
    // last push, or all of them together holding it up against at least one
    // step of gravity (in a corner, or against a wall it walks into, the last
    // push may come from the side).
    if (body->collidedWith == -1) return false;
    // Pixels per millisecond that gravity adds in one step (0.01635 by default).
    const float oneStepOfGravity = static_cast<float>(PhysicsWorld::gravityForce.y * PhysicsWorld::deltaTime / 1000.0);
    return body->collisionNormal.y < -0.7f || body->collisionDelta.y < -oneStepOfGravity;
}

std::string vimo_pose(PhysicsBodyData* body, float dt, float time) {
    if (vimo_live()) {
        // Live: the mascot hangs still, snoozed or not.
        body->velocity = {0, 0};
        body->force = {0, 0};
        return "wired";
    }
    if (vimo_is_held()) {
        int frame = (int)std::floor(std::fmod(time / 0.3f, 3.0f));
        return "held_" + std::to_string(frame);
    }

    bool grounded = vimo_grounded(body);
    std::string pose;
    if (vimo_was_thrown) pose = vimo_throw_pose(grounded, dt);
    if (pose.empty()) {
        if (menu != nullptr)
            pose = std::fmod(time, 1.0f) > 0.5f ? "talk" : "idle";
        else if (grounded)
            pose = vimo_walk_timer > 0 ? "walk" : "idle";
        else
            pose = body->velocity.y < 0 ? "jump" : "fall";
    }
    vimo_was_grounded = grounded;
    return pose;
}

void vimo_update(Element* e, float dt, float time) {
    (void)e;
    if (vimo == nullptr || vimo->physicsId == -1) return;

    PhysicsLock lock;
    PhysicsBodyData* body = GetPhysicsBodyByID(vimo->physicsId);
    if (body == nullptr) return;

    vimo_wander(body, dt);
    vimo_pose_name = vimo_pose(body, dt, time);
    // Jumping passes through every wall and body (layer INT_MIN meets only
    // the screen's second wall set), so the mascot reaches a window's top edge
    // from below and lands on it once it falls.
    body->collisionLayer = vimo_pose_name == "jump" ? INT_MIN : 0;
    if (!vimo->drawables.empty()) vimo->drawables[0].source = "assets/vimo/" + vimo_pose_name;
}

void vimo_drag(Element* e, Vector2 previousMouse, Vector2 mouse, MouseButton button) {
    if (vimo_live_blocking()) return;
    genericDragElement(e, previousMouse, mouse, button);
}

void vimo_release(Element* e, Vector2 previousMouse, Vector2 mouse, MouseButton button) {
    (void)e;
    (void)previousMouse;
    (void)mouse;
    (void)button;
    vimo_was_thrown = true;
    vimo_was_grounded = false;
}

// ---- The main menu ------------------------------------------------------------------

void vimo_click(Element* mascot, Vector2 mouse, MouseButton button) {
    (void)mascot;
    (void)mouse;
    if (button != MOUSE_BUTTON_RIGHT || menu != nullptr || vimo_live_blocking()) return;
    spawn_menu({"hi hii ~", USER.is_null() ? " - Log In" : " - Commune", " - Spawn Blocks", " - Dismiss"},
               {0, 20, 40, 60}, mainMenu_chosen);
}

void mainMenu_chosen(Element* bubble, int index) {
    (void)bubble;
    switch (index) {
    case 2:
        if (USER.is_null()) {
            if (vimo_hooks.login_spawn)
                vimo_hooks.login_spawn();
            else
                std::cout << "login: the community service is not reachable yet" << std::endl;
        } else {
            if (vimo_hooks.commune_spawn)
                vimo_hooks.commune_spawn();
            else
                std::cout << "commune: the community service is not reachable yet" << std::endl;
        }
        break;
    case 3:
        blockspawner_spawn();
        break;
    default:  // 4 Dismiss: the bubble has burst already; 0, 1, -1: it stays open
        break;
    }
}
