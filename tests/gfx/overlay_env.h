// The overlay window every desktop test of the graphics layer draws into,
// opened once per test process (overlay_env_desktop_test.cpp).
#pragma once

extern const char* const kOverlayTitle;  // title given to InitWindow
