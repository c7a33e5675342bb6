// Opens the overlay window as the program does (flags 0x5110, monitor size)
// before any desktop test of the graphics layer and closes it after the last.
#include <gtest/gtest.h>

#include "gfx/overlay_env.h"
#include "gfx/raylib.h"

const char* const kOverlayTitle = "vimo gfx test window";

namespace {

class OverlayWindow : public ::testing::Environment {
   public:
    void SetUp() override {
        SetConfigFlags(0x5110);
        InitWindow(0, 0, kOverlayTitle);
        ASSERT_TRUE(IsWindowReady());
    }
    void TearDown() override { CloseWindow(); }
};

const auto* kEnvironment = ::testing::AddGlobalTestEnvironment(new OverlayWindow);

}  // namespace
