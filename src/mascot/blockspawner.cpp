// The block spawner toy.
#include "mascot/blockspawner.h"

#include <cstdlib>
#include <iostream>

#include "base/base.h"
#include "draw/draw.h"
#include "desktop/behaviours.h"
#include "element/element.h"
#include "mascot/menu.h"
#include "physics/physics.h"

Element* blockspawner = nullptr;

static const float BOX_SIZE = 128;

Element* blockspawner_spawn() {
    // Layer 100 and the whole window: it is the hovered element wherever the
    // user clicks, so the overlay catches every click while placing.
    Element* spawner = newElement(100);
    spawner->size = RESOLUTION;
    spawner->canRotate = false;
    Drawable panel{};
    panel.type = DRAWABLE_NINE_SLICE;
    panel.source = "assets/blockspawner";
    panel.size = spawner->size;
    panel.color = ColorFromHex("#ff8000");
    spawner->drawables.push_back(panel);
    spawner->onClick = blockspawner_click;
    blockspawner = spawner;

    spawn_menu({"Left click to\nspawn boxes.", "Right click to\nfinish placing."}, {0, 40}, onChosen_noop);
    return spawner;
}

Element* blockspawner_box(Vector2 mouse) {
    // A box without a body would hang in the air forever and could not be
    // dragged: when the world has no free id, no box is made at all.
    if (GetPhysicsBodiesCount() >= PHYSICS_MAX_BODIES) {
        std::cout << "blockspawner: the physics world is full, no box made" << std::endl;
        return nullptr;
    }
    // Saturation first, then hue, each from the runtime generator.
    float s = randf();
    float h = (float)(rand() % 360);

    Element* box = newElement(0);
    box->size = {BOX_SIZE, BOX_SIZE};
    box->canRotate = false;
    Drawable fill{};
    fill.type = DRAWABLE_COLOR;
    fill.size = {BOX_SIZE, BOX_SIZE};
    fill.color = ColorFromHSV(h, s, 1.0f);
    box->drawables.push_back(fill);
    box->position = mouse;
    box->onClick = block_click;
    box->onDrag = genericDragElement;
    if (enablePhysics(box) == nullptr) {
        std::cout << "blockspawner: the physics world is full, no box made" << std::endl;
        _removeElement(box);  // made in this callback: nothing refers to it yet
        return nullptr;
    }
    return box;
}

void blockspawner_click(Element* spawner, Vector2 mouse, MouseButton button) {
    if (button == MOUSE_BUTTON_LEFT) {
        blockspawner_box(mouse);
    } else if (button == MOUSE_BUTTON_RIGHT) {
        blockspawner = nullptr;
        removeElement(spawner);
        menu_destroy();
    }
}

void block_click(Element* box, Vector2 mouse, MouseButton button) {
    (void)mouse;
    if (button == MOUSE_BUTTON_RIGHT) removeElement(box);
}
