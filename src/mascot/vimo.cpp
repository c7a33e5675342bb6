// The mascot's behaviour and the clock of the periodic online jobs.
#include "mascot/vimo.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "app/app.h"
#include "app/config.h"
#include "desktop/input.h"
#include "desktop/window.h"
#include "element/behaviours.h"
#include "element/element.h"
#include "mascot/menu.h"
#include "mascot/vimo_hooks.h"
#include "physics/physics.h"

VimoHooks vimo_hooks = {};

float vimo_move_timer = 0;
float vimo_walk_timer = 0;
float vimo_target_x = 0;
float vimo_state_timer = 0;
bool vimo_was_thrown = false;
bool vimo_was_grounded = false;
std::string vimo_pose_name;

float poll_duration = 5;
float next_poll = 3;
bool vimo_poll_running = false;

static const float FEED_INTERVAL = 300;   // seconds between feed checks
static const float FEED_OFFSET = 5;       // the first check, seconds after start
static const float POLL_FASTEST = 5;      // chat poll interval while messages come, seconds
static const float POLL_SLOWEST = 3600;   // chat poll interval ceiling, seconds
static const float LANDED_TIME = 0.5f;    // "landed" pose after touching down, seconds
static const float BUMPED_TIME = 0.1f;    // "bumped" pose after bouncing off the ground, seconds

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
    poll_duration = POLL_FASTEST;
    next_poll = 3;
    vimo_poll_running = false;
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

// The next poll after one that ended at time: 5 s after its slot when it had
// news, otherwise after a doubled interval (at most an hour).
static void vimo_schedule_poll(bool fresh, float time) {
    if (fresh) {
        poll_duration = POLL_FASTEST;
        next_poll = next_poll + POLL_FASTEST;
    } else {
        poll_duration = std::min(2 * poll_duration, POLL_SLOWEST);
        next_poll = next_poll + poll_duration;
    }
    // Scheduled from the previous slot; only when that is still behind us (a
    // late or slow poll) does the next one count from now, so missed slots do
    // not make a burst of polls.
    if (next_poll <= time) next_poll = time + poll_duration;
}

void vimo_jobs(float dt, float time) {
    // 0. Results the network worker handed over (login, commune post), on this thread.
    if (vimo_hooks.drain) vimo_hooks.drain();

    // 1. Feed checks: at 5 s, then every 300 s.
    if (everyInterval(time, dt, FEED_INTERVAL, FEED_OFFSET)) {
        if (vimo_hooks.fetchFern) vimo_hooks.fetchFern();
        if (vimo_hooks.fetchBsky) vimo_hooks.fetchBsky();
        if (vimo_hooks.fetchBlog) vimo_hooks.fetchBlog();
    }

    // 2. Live notices queued by the network worker. A notice brings the chat
    // poll back to its fastest rate.
    if (vimo_hooks.take_lives) {
        std::vector<std::string> lives = vimo_hooks.take_lives();
        if (!lives.empty()) {
            for (const std::string& handle : lives)
                if (vimo_hooks.live_spawn) vimo_hooks.live_spawn(handle);
            poll_duration = POLL_FASTEST;
            if (next_poll > time + POLL_FASTEST) next_poll = time + POLL_FASTEST;
        }
    }

    // 3. Chat poll, off this thread: started when due and none is running,
    // its outcome picked up in the frame it is handed over (at the earliest
    // the frame it started in). Due when next_poll lies in (time - dt, time];
    // a poll whose moment fell between two frame windows (the frame clock lags
    // a frame, so after a long frame the windows leave a gap) is run late
    // rather than never, which would end polling for good.
    if (!vimo_poll_running && time >= next_poll) {
        vimo_poll_running = vimo_hooks.poll_chat_start && vimo_hooks.poll_chat_start();
        if (!vimo_poll_running) vimo_schedule_poll(false, time);
    }
    if (vimo_poll_running) {
        int outcome = vimo_hooks.poll_chat_outcome ? vimo_hooks.poll_chat_outcome() : 0;
        if (outcome >= 0) {
            vimo_poll_running = false;
            vimo_schedule_poll(outcome == 1, time);
        }
    }

    // 4. Chat boxes: dropped, not kept, while the stream is live and not snoozed.
    if (vimo_hooks.take_chats) {
        std::vector<std::string> chats = vimo_hooks.take_chats();
        if (!vimo_live_blocking())
            for (const std::string& text : chats)
                if (vimo_hooks.spawn_chat) vimo_hooks.spawn_chat(text);
    }
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
    // by the frame loop after this update) is standing on something too.
    return body->collidedWith != -1 && body->collisionNormal.y < -0.7f;
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
    vimo_jobs(dt, time);
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
