// A scene with the mascot and nothing else, without a window: a 1920 x 1080
// screen, a physics world that is not stepped (the tests set body fields
// themselves), text measured by a fake font in which every byte is 8 pixels
// wide and every line 16 pixels high, and no online features.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "base/base.h"
#include "desktop/input.h"
#include "desktop/monitors.h"
#include "desktop/window.h"
#include "draw/draw.h"
#include "element/element.h"
#include "mascot/blockspawner.h"
#include "mascot/menu.h"
#include "mascot/vimo.h"
#include "mascot/vimo_hooks.h"
#include "physics/physics.h"

inline Vector2 fakeMeasure(Font, const char* text, float, float) {
    std::string s = text;
    size_t widest = 0, lines = 1, start = 0;
    for (size_t i = 0; i <= s.size(); i++) {
        if (i == s.size() || s[i] == '\n') {
            widest = std::max(widest, i - start);
            if (i < s.size()) lines++;
            start = i + 1;
        }
    }
    return {8.0f * widest, 16.0f * lines};
}

class MascotScene : public ::testing::Test {
protected:
    TextMeasureFn savedMeasure = nullptr;

    void SetUp() override {
        RESOLUTION = {1920, 1080};
        vimo_hooks = {};
        USER = nullptr;
        menu = nullptr;
        blockspawner = nullptr;
        held = nullptr;
        wallIDs = nullptr;
        monitors_reset();
        wallRect = {0, 0, 0, 0};
        savedMeasure = TEXT_MEASURE;
        TEXT_MEASURE = fakeMeasure;
        FONTS["assets/neodgm.ttf"] = Font{};  // never loaded: there is no window
        TEXT_CACHE.clear();
        srand(1);
        vimo_create();
        vimo->onDestroy = nullptr;  // game_close would write config.json
        vimo_reset();
    }

    void TearDown() override {
        held = nullptr;
        wallIDs = nullptr;
        while (!ELEMENTS.empty()) _removeElement(ELEMENTS.front());
        ELEMENTS_TO_BE_REMOVED.clear();
        vimo = nullptr;
        menu = nullptr;
        blockspawner = nullptr;
        vimo_hooks = {};
        USER = nullptr;
        ClosePhysics();
        TEXT_MEASURE = savedMeasure;
        TEXT_CACHE.clear();
    }

    PhysicsBodyData* body() { return GetPhysicsBodyByID(vimo->physicsId); }

    bool queued(Element* e) {
        return std::find(ELEMENTS_TO_BE_REMOVED.begin(), ELEMENTS_TO_BE_REMOVED.end(), e) !=
               ELEMENTS_TO_BE_REMOVED.end();
    }
    bool alive(Element* e) { return std::find(ELEMENTS.begin(), ELEMENTS.end(), e) != ELEMENTS.end(); }
};
