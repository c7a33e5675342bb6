// What the screen shows: drawables drawn where the placement rule puts them,
// mirrored and turned, on a fully transparent background. Pixels are read
// back from the frame being drawn, before EndDrawing presents it.
#include <gtest/gtest.h>

#include <stb/stb_image_write.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/app.h"
#include "base/files.h"
#include "desktop/shape.h"
#include "draw/draw.h"
#include "app/screen_helpers.h"
#include "element/element.h"
#include "gfx/gfx_ext.h"
#include "mascot/menu.h"
#include "mascot/vimo.h"

namespace fs = std::filesystem;

namespace {

const Color RED{255, 0, 0, 255}, BLUE{0, 0, 255, 255};
// One colour per nine-slice piece, in the order tl tc tr ml mc mr bl bc br.
const Color PIECE[9] = {{255, 0, 0, 255},   {0, 255, 0, 255},   {0, 0, 255, 255},
                        {255, 255, 0, 255}, {0, 255, 255, 255}, {255, 0, 255, 255},
                        {128, 0, 0, 255},   {0, 128, 0, 255},   {0, 0, 128, 255}};

void write_png(const fs::path& path, int w, int h, const std::vector<Color>& pixels) {
    ASSERT_NE(stbi_write_png(path.c_str(), w, h, 4, pixels.data(), w * 4), 0) << path;
}

// The window and a program directory of test pictures, made once per process.
class DrawWindow : public ::testing::Environment {
public:
    static inline fs::path dir;
    void SetUp() override {
        char name[] = "/tmp/vimo_draw_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        fs::create_directories(dir / "assets");
        // 8 x 4: left half red, right half blue, to see mirroring and turning.
        std::vector<Color> halves(32);
        for (int y = 0; y < 4; y++)
            for (int x = 0; x < 8; x++) halves[y * 8 + x] = x < 4 ? RED : BLUE;
        write_png(dir / "assets/halves.png", 8, 4, halves);
        std::vector<Color> rounded(64, RED);
        for (int i : {0, 7, 56, 63}) rounded[i] = Color{0, 0, 0, 0};
        write_png(dir / "assets/rounded.png", 8, 8, rounded);
        // Nine-slice with L = 4, R = 8, T = B = 6; corners of odd sizes, which must not matter.
        const char* names[9] = {"tl", "tc", "tr", "ml", "mc", "mr", "bl", "bc", "br"};
        const int size[9][2] = {{3, 3}, {2, 6}, {5, 5}, {4, 2}, {2, 2}, {8, 2}, {7, 7}, {2, 6}, {1, 1}};
        for (int i = 0; i < 9; i++) {
            write_png(dir / ("assets/panel." + std::string(names[i]) + ".png"), size[i][0], size[i][1],
                      std::vector<Color>(size[i][0] * size[i][1], PIECE[i]));
        }
        fs::copy_file(fs::path(VIMO_BUILD_DIR) / "assets/neodgm.ttf", dir / "assets/neodgm.ttf");
        // The companion's own bubble frame, as the build generates it.
        for (const char* piece : names)
            fs::copy_file(fs::path(VIMO_BUILD_DIR) / ("assets/bubble." + std::string(piece) + ".png"),
                          dir / ("assets/bubble." + std::string(piece) + ".png"));
        cwd = dir.string() + "/";

        SetConfigFlags(FLAG_WINDOW_TRANSPARENT | FLAG_WINDOW_ALWAYS_RUN);
        InitWindow(800, 600, "vimo draw test");
        ASSERT_TRUE(IsWindowReady());
        RESOLUTION = Vector2{(float)GetScreenWidth(), (float)GetScreenHeight()};
    }
    void TearDown() override {
        while (!ELEMENTS.empty()) _removeElement(ELEMENTS.front());
        CloseWindow();
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
};
const auto* const kWindow = ::testing::AddGlobalTestEnvironment(new DrawWindow);

class DrawTest : public ::testing::Test {
protected:
    Image shot{};
    void TearDown() override {
        if (shot.data) UnloadImage(shot);
        while (!ELEMENTS.empty()) _removeElement(ELEMENTS.front());
    }
    // Draw the scene as the frame loop does and keep what the frame holds.
    void draw() {
        if (shot.data) UnloadImage(shot);
        BeginDrawing();
        ClearBackground(Color{0, 0, 0, 0});
        frame_draw_elements(0.016f);
        shot = LoadImageFromScreen();
        EndDrawing();
        ASSERT_NE(shot.data, nullptr);
    }
    static bool same(Color a, Color b) { return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a; }
    ::testing::AssertionResult at(int x, int y, Color want) {
        Color got = GetImageColor(shot, x, y);
        if (same(got, want)) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is " << ColorToHex(got)
                                             << ", expected " << ColorToHex(want);
    }
    bool empty(int x, int y) { return GetImageColor(shot, x, y).a == 0; }
    static Element* element(Vector2 position, Drawable d) {
        Element* e = newElement(0);
        e->position = position;
        e->drawables.push_back(d);
        return e;
    }
};

const Color CLEAR{0, 0, 0, 0};

TEST_F(DrawTest, NothingDrawnIsFullyTransparent) {
    draw();
    for (int y = 0; y < shot.height; y += 37)
        for (int x = 0; x < shot.width; x += 41) ASSERT_TRUE(at(x, y, CLEAR));
}

TEST_F(DrawTest, ImageIsStretchedMirroredAndTurnedAboutItsPlace) {
    Drawable d{};
    d.source = "assets/halves";
    d.offset = {10, 0};
    d.size = {80, 40};
    d.color = {255, 255, 255, 255};
    Element* e = element({200, 150}, d);
    draw();
    // Centred at (210, 150): x 170..250, y 130..170; red left, blue right.
    EXPECT_TRUE(at(180, 150, RED));
    EXPECT_TRUE(at(240, 150, BLUE));
    EXPECT_TRUE(at(175, 133, RED));
    EXPECT_TRUE(empty(165, 150));
    EXPECT_TRUE(empty(255, 150));
    EXPECT_TRUE(empty(210, 175));
    EXPECT_EQ(SPRITES.count("assets/halves.png"), 1u);
    Texture first = SPRITES["assets/halves.png"];

    e->flipped = true;  // offset mirrored to (190, 150), picture mirrored
    draw();
    EXPECT_TRUE(at(160, 150, BLUE));
    EXPECT_TRUE(at(220, 150, RED));
    EXPECT_TRUE(empty(145, 150));
    EXPECT_TRUE(empty(235, 150));
    EXPECT_EQ(SPRITES["assets/halves.png"].id, first.id);  // loaded once

    e->flipped = false;
    e->rotation = 90;  // offset turns to (200, 160); left half ends up on top
    draw();
    EXPECT_TRUE(at(200, 130, RED));
    EXPECT_TRUE(at(200, 190, BLUE));
    EXPECT_TRUE(empty(230, 160));
    EXPECT_TRUE(empty(200, 205));

    // A tint multiplies the picture.
    e->rotation = 0;
    e->drawables[0].color = {255, 255, 255, 0};
    draw();
    EXPECT_TRUE(empty(180, 150));
}

TEST_F(DrawTest, MissingImageDrawsNothingAndIsNotRetried) {
    Drawable d{};
    d.source = "assets/nothing";
    d.size = {50, 50};
    d.color = {255, 255, 255, 255};
    element({100, 100}, d);
    draw();
    EXPECT_TRUE(empty(100, 100));
    ASSERT_EQ(SPRITES.count("assets/nothing.png"), 1u);
    EXPECT_EQ(SPRITES["assets/nothing.png"].id, 0u);
}

TEST_F(DrawTest, NineSliceBordersFollowTheEdgePieces) {
    Drawable d{};
    d.type = DRAWABLE_NINE_SLICE;
    d.source = "assets/panel";
    d.size = {100, 40};
    d.color = {255, 255, 255, 255};
    Element* e = element({400, 300}, d);
    draw();
    // L = 4, R = 8, T = B = 6: Iw = 88, Ih = 28; the panel spans x 352..452, y 280..320.
    EXPECT_TRUE(at(400, 300, PIECE[4]));  // mc, centred on the element
    EXPECT_TRUE(at(357, 300, PIECE[4]));
    EXPECT_TRUE(at(354, 300, PIECE[3]));  // ml at x = -46
    EXPECT_TRUE(at(448, 300, PIECE[5]));  // mr at x = +48
    EXPECT_TRUE(at(400, 283, PIECE[1]));  // tc
    EXPECT_TRUE(at(400, 317, PIECE[7]));  // bc
    EXPECT_TRUE(at(354, 283, PIECE[0]));  // tl, drawn 4 x 6 whatever its own size
    EXPECT_TRUE(at(450, 283, PIECE[2]));  // tr
    EXPECT_TRUE(at(354, 317, PIECE[6]));  // bl
    EXPECT_TRUE(at(450, 317, PIECE[8]));  // br
    EXPECT_TRUE(empty(350, 300));
    EXPECT_TRUE(empty(454, 300));
    EXPECT_TRUE(empty(400, 278));
    EXPECT_TRUE(empty(400, 322));

    e->flipped = true;  // the arrangement mirrors about the element position
    draw();
    EXPECT_TRUE(at(446, 300, PIECE[3]));
    EXPECT_TRUE(at(352, 300, PIECE[5]));
    EXPECT_TRUE(at(350, 283, PIECE[2]));
    EXPECT_TRUE(empty(346, 300));  // the flipped panel spans x 348..448
    EXPECT_TRUE(empty(450, 300));

    e->flipped = false;
    e->rotation = 90;  // the arrangement turns: ml is now above the centre
    draw();
    EXPECT_TRUE(at(400, 300, PIECE[4]));
    EXPECT_TRUE(at(400, 254, PIECE[3]));
    EXPECT_TRUE(at(400, 348, PIECE[5]));
    EXPECT_TRUE(empty(400, 246));
}

TEST_F(DrawTest, ColourRectangleTurnsAboutItsCentre) {
    Drawable d{};
    d.type = DRAWABLE_COLOR;
    d.size = {20, 10};
    d.color = {10, 200, 30, 255};
    Element* e = element({600, 300}, d);
    draw();
    EXPECT_TRUE(at(600, 300, d.color));
    EXPECT_TRUE(at(608, 303, d.color));
    EXPECT_TRUE(empty(606, 307));

    e->drawables[0].rotation = 45;
    draw();
    EXPECT_TRUE(at(600, 300, d.color));
    EXPECT_TRUE(at(606, 306, d.color));  // along the turned long side
    EXPECT_TRUE(empty(609, 300));        // inside the unturned box, outside the turned one

    // An unknown type draws nothing.
    e->drawables[0].type = 7;
    draw();
    EXPECT_TRUE(empty(600, 300));
}

// Bounding box of the drawn pixels in a region: {minX, minY, maxX, maxY}, or all -1.
std::vector<int> ink(const Image& shot, int x0, int y0, int x1, int y1) {
    std::vector<int> box{-1, -1, -1, -1};
    for (int y = y0; y < y1; y++)
        for (int x = x0; x < x1; x++) {
            if (GetImageColor(shot, x, y).a == 0) continue;
            if (box[0] < 0 || x < box[0]) box[0] = x;
            if (box[1] < 0 || y < box[1]) box[1] = y;
            if (x > box[2]) box[2] = x;
            if (y > box[3]) box[3] = y;
        }
    return box;
}

TEST_F(DrawTest, TextIsCentredOnItsPlaceAndOnlyMovesWhenFlipped) {
    Drawable d{};
    d.type = DRAWABLE_TEXT;
    d.source = "assets/neodgm.ttf:16:FJRL";
    d.offset = {100, 0};
    d.color = {255, 255, 255, 255};
    Element* e = element({400, 300}, d);
    draw();
    Vector2 m = getDrawableSize(e, d);
    EXPECT_FLOAT_EQ(m.x, 32);  // four 8-pixel glyphs of the pixel font; none symmetric
    std::vector<int> right = ink(shot, 300, 250, 600, 350);
    ASSERT_GE(right[0], 0) << "no text drawn";
    std::vector<bool> glyphs;  // the drawn pattern, to compare after flipping
    for (int y = right[1]; y <= right[3]; y++)
        for (int x = right[0]; x <= right[2]; x++) glyphs.push_back(GetImageColor(shot, x, y).a != 0);
    EXPECT_NEAR((right[0] + right[2]) / 2.0, 500, 2);  // centred on position + offset
    EXPECT_LE(right[2] - right[0] + 1, 32);

    e->flipped = true;
    draw();
    std::vector<int> left = ink(shot, 200, 250, 500, 350);
    ASSERT_GE(left[0], 0);
    EXPECT_NEAR((left[0] + left[2]) / 2.0, 300, 2);  // mirrored place
    // Glyphs are not mirrored: the same ink, moved by 200 pixels.
    ASSERT_EQ(left[2] - left[0], right[2] - right[0]);
    ASSERT_EQ(left[1], right[1]);
    std::vector<bool> moved;
    for (int y = left[1]; y <= left[3]; y++)
        for (int x = left[0]; x <= left[2]; x++) moved.push_back(GetImageColor(shot, x, y).a != 0);
    EXPECT_EQ(moved, glyphs);
}

// The main menu as drawn: every line's ink lies inside the frame's inner edge
// (within the border pieces, clear of the outline and the bottom lip), the
// space left between the lines and the frame is the same above and below, and
// a click on a line's ink chooses that line.
TEST_F(DrawTest, MainMenuLinesLieInsideTheirFrame) {
    vimo_click(nullptr, {0, 0}, MOUSE_BUTTON_RIGHT);
    ASSERT_NE(menu, nullptr);
    Element* bubble = menu;
    bubble->position = {400, 300};  // no mascot here to stand beside
    ASSERT_EQ(bubble->drawables.size(), 5u);
    // The border widths, as drawNineSlice takes them from the edge pieces.
    const int L = fetchTexture("assets/bubble.ml.png").width, R = fetchTexture("assets/bubble.mr.png").width;
    const int T = fetchTexture("assets/bubble.tc.png").height, B = fetchTexture("assets/bubble.bc.png").height;
    ASSERT_GT(L * R * T * B, 0) << "the bubble's pieces were not generated";
    const int x0 = (int)(bubble->position.x - bubble->size.x * 0.5f), x1 = x0 + (int)bubble->size.x;
    const int y0 = (int)(bubble->position.y - bubble->size.y * 0.5f), y1 = y0 + (int)bubble->size.y;

    // The frame alone shows where it is drawn; the lines alone, their ink.
    const Color white = bubble->drawables[0].color;
    for (size_t k = 1; k < 5; k++) bubble->drawables[k].color.a = 0;
    draw();
    std::vector<int> frame = ink(shot, 0, 0, shot.width, shot.height);
    EXPECT_EQ(frame, (std::vector<int>{x0, y0, x1 - 1, y1 - 1}));
    bubble->drawables[0].color.a = 0;
    for (size_t k = 1; k < 5; k++) bubble->drawables[k].color.a = 255;
    draw();
    std::vector<int> all = ink(shot, 0, 0, shot.width, shot.height);
    ASSERT_GE(all[0], 0) << "no text drawn";
    EXPECT_GE(all[0], x0 + L);
    EXPECT_GE(all[1], y0 + T);
    EXPECT_LT(all[2], x1 - R);
    EXPECT_LT(all[3], y1 - B) << "the lowest line reaches the frame's bottom border";
    // The lines' boxes (what a click hits) leave the same margin above and below.
    const Drawable& first = bubble->drawables[1];
    const Drawable& last = bubble->drawables[4];
    const float above = first.offset.y - getDrawableSize(bubble, first).y * 0.5f + bubble->size.y * 0.5f;
    const float below = bubble->size.y * 0.5f - last.offset.y - getDrawableSize(bubble, last).y * 0.5f;
    EXPECT_EQ(above, below);
    EXPECT_GE(below, B);

    // Each line's ink, found in its own 20 px band, is where a click chooses it.
    for (int k = 0; k < 4; k++) {
        const Drawable& line = bubble->drawables[k + 1];
        const int cy = (int)(bubble->position.y + line.offset.y);
        std::vector<int> glyphs = ink(shot, x0, cy - 10, x1, cy + 10);
        ASSERT_GE(glyphs[0], 0) << "line " << k << " drew nothing";
        for (int y = glyphs[1]; y <= glyphs[3]; y++)
            for (int x = glyphs[0]; x <= glyphs[2]; x++)
                if (GetImageColor(shot, x, y).a != 0)
                    ASSERT_EQ(getDrawableAtPosition(bubble, {x + 0.5f, y + 0.5f}), k + 1)
                        << "ink of line " << k << " at (" << x << ", " << y << ")";
    }

    // Together: every pixel of the lowest line's ink shows black on the frame.
    const int cy = (int)(bubble->position.y + last.offset.y);
    int glyphs = 0, black = 0;
    for (int y = cy - 10; y < cy + 10; y++)
        for (int x = x0; x < x1; x++) glyphs += GetImageColor(shot, x, y).a != 0;
    bubble->drawables[0].color = white;
    draw();
    for (int y = cy - 10; y < cy + 10; y++)
        for (int x = x0; x < x1; x++) black += same(GetImageColor(shot, x, y), Color{0, 0, 0, 255});
    EXPECT_GT(glyphs, 20);
    EXPECT_EQ(black, glyphs);
    menu = nullptr;  // the bubble goes with the scene; no physics here to burst it into
}

// Without a compositing manager (plain Xvfb) the window is cut down to what
// its elements draw, so it cannot blacken the rest of the screen.
TEST_F(DrawTest, WithoutCompositorTheWindowIsCutToTheDrawnPixels) {
    if (gfx_compositor_running()) GTEST_SKIP() << "a compositing manager runs on this display";
    testing::internal::CaptureStdout();
    shape_start();
    std::string said = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(SHAPED_WINDOW);
    EXPECT_NE(said.find("No compositing manager"), std::string::npos);

    Drawable d{};
    d.type = DRAWABLE_COLOR;
    d.size = {40, 10};
    d.rotation = 90;  // drawn upright: x 195..205, y 130..170
    d.color = {255, 255, 255, 255};
    element({200, 150}, d);
    Drawable tilted = d;
    tilted.rotation = 45;  // a 40 x 10 bar from (386, 136) to (414, 164)
    element({400, 150}, tilted);
    Drawable corners{};
    corners.source = "assets/rounded";  // 8 x 8, the four corner pixels transparent
    corners.size = {80, 80};            // each corner a 10 x 10 hole at 600..680, 110..190
    corners.color = {255, 255, 255, 255};
    element({640, 150}, corners);
    frame_draw(0.016f);
    Rectangle rects[512];
    int n = gfx_get_window_shape(rects, 512);
    ASSERT_GT(n, 0);
    ASSERT_LE(n, 512);
    auto covered = [&](float x, float y) {
        for (int i = 0; i < n; i++) {
            if (x >= rects[i].x && x < rects[i].x + rects[i].width && y >= rects[i].y && y < rects[i].y + rects[i].height)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(covered(200, 150));
    EXPECT_TRUE(covered(200, 131));
    EXPECT_FALSE(covered(215, 150));
    EXPECT_FALSE(covered(600, 400));
    // The turned bar's box is 386..414 both ways: its pixels are in, the
    // box's empty corners are not.
    EXPECT_TRUE(covered(400, 150));
    EXPECT_TRUE(covered(390, 140));
    EXPECT_TRUE(covered(410, 160));
    EXPECT_FALSE(covered(388, 162));
    EXPECT_FALSE(covered(412, 138));
    // A picture's transparent corners are cut away, its opaque body stays.
    EXPECT_TRUE(covered(640, 150));
    EXPECT_TRUE(covered(615, 115));  // next to the top-left hole
    EXPECT_FALSE(covered(604, 114));
    EXPECT_FALSE(covered(675, 114));
    EXPECT_FALSE(covered(604, 185));
    EXPECT_FALSE(covered(675, 185));

    // An unchanged scene keeps its cut and presents nothing; a moved one
    // is cut anew in the frame that shows it.
    const unsigned long long presented = gfx_frames_presented();
    frame_draw(0.016f);
    frame_draw(0.016f);
    EXPECT_LE(gfx_frames_presented(), presented + 1);  // at most an expose of the new cut
    ELEMENTS.front()->position.x += 100;
    frame_draw(0.016f);
    n = gfx_get_window_shape(rects, 512);
    EXPECT_TRUE(covered(300, 150));
    EXPECT_FALSE(covered(200, 150));

    // Many elements are read back as one area around them all: still only
    // their pixels, not the area.
    Drawable dot = d;
    dot.size = {6, 6};
    dot.rotation = 0;
    for (int i = 0; i < 12; i++) element({100.0f + 50 * i, 400}, dot);
    frame_draw(0.016f);
    n = gfx_get_window_shape(rects, 512);
    for (int i = 0; i < 12; i++) EXPECT_TRUE(covered(100.0f + 50 * i, 400)) << "dot " << i;
    EXPECT_FALSE(covered(125, 400));
    EXPECT_FALSE(covered(300, 300));
    EXPECT_TRUE(covered(400, 150));

    shape_reset();
}

TEST_F(DrawTest, OnlyAFrameThatChangesTheScreenIsPresented) {
    Drawable d{};
    d.source = "assets/halves";
    d.size = {80, 40};
    d.color = {255, 255, 255, 255};
    Element* e = element({200.25f, 150}, d);  // x 160.25..240.25: red from pixel 160, blue from 200
    const uint64_t window = (uint64_t)(uintptr_t)GetWindowHandle();
    // Exposes of earlier tests (a shape cleared, the window mapped) may still
    // be on their way: wait for a frame that presents nothing.
    unsigned long long before = 0;
    for (int i = 0; i < 60; i++) {
        before = gfx_frames_presented();
        frame_draw(0.016f);
        if (gfx_frames_presented() == before) break;
    }
    const unsigned long long first = gfx_frames_presented();
    ASSERT_EQ(first, before) << "the scene never settled";
    EXPECT_EQ(screen_window_pixel(window, 161, 150), 0xff0000);
    EXPECT_EQ(screen_window_pixel(window, 239, 150), 0x0000ff);

    for (int i = 0; i < 5; i++) frame_draw(0.016f);
    EXPECT_EQ(gfx_frames_presented(), first) << "an unchanged scene was presented again";
    e->position.x += 0.2f;  // 160.45..240.45: every corner still in the same pixel
    frame_draw(0.016f);
    EXPECT_EQ(gfx_frames_presented(), first) << "drift below a pixel was presented";

    e->position.x += 1.0f;  // 161.45..241.45: one pixel right
    frame_draw(0.016f);
    EXPECT_EQ(gfx_frames_presented(), first + 1) << "a moved picture was not presented at once";
    EXPECT_EQ(screen_window_pixel(window, 160, 150), 0) << "the old frame still shows";
    EXPECT_EQ(screen_window_pixel(window, 240, 150), 0x0000ff);
    e->drawables[0].color = {255, 255, 255, 128};  // a new tint is a change too
    frame_draw(0.016f);
    EXPECT_EQ(gfx_frames_presented(), first + 2);
    frame_draw(0.016f);
    EXPECT_EQ(gfx_frames_presented(), first + 2);

    // The server lost the pixels: the next frames include a redraw of the same scene.
    ASSERT_TRUE(screen_expose(window));
    for (int i = 0; i < 60 && gfx_frames_presented() == first + 2; i++) frame_draw(0.016f);
    EXPECT_EQ(gfx_frames_presented(), first + 3) << "an expose was not answered with a frame";
    frame_draw(0.016f);
    EXPECT_EQ(gfx_frames_presented(), first + 3);
}

}  // namespace
namespace {

// Without a compositor every pixel inside the window's cut is one the
// presented frame drew: a turned box moving a third of a pixel a frame (some
// frames presented, some not) never leaves transparent pixels in the cut.
TEST_F(DrawTest, CutMatchesEachPresentedFrameOfAMovingTurnedBox) {
    if (gfx_compositor_running()) GTEST_SKIP() << "a compositing manager runs on this display";
    testing::internal::CaptureStdout();
    shape_start();
    testing::internal::GetCapturedStdout();
    Drawable d{};
    d.type = DRAWABLE_COLOR;
    d.size = {120, 30};
    d.rotation = 4;
    d.color = {255, 255, 255, 255};
    Element* e = element({300, 300}, d);
    const uint64_t window = (uint64_t)(uintptr_t)GetWindowHandle();
    int stray = 0, checked = 0;
    for (int f = 0; f < 24; f++) {
        e->position.y -= 0.37f;
        e->rotation += 0.05f;
        frame_draw(0.016f);
        Rectangle rects[1024];
        int n = gfx_get_window_shape(rects, 1024);
        ASSERT_LE(n, 1024);
        for (int i = 0; i < n; i++)
            for (int y = (int)rects[i].y; y < rects[i].y + rects[i].height; y += 2)
                for (int x = (int)rects[i].x; x < rects[i].x + rects[i].width; x += 9, checked++)
                    if (screen_window_pixel(window, x, y) != 0xffffff && stray++ < 5)
                        ADD_FAILURE() << "frame " << f << ": (" << x << ", " << y << ") is in the cut but not drawn";
    }
    EXPECT_EQ(stray, 0);
    EXPECT_GT(checked, 1000);
    shape_reset();
}

}  // namespace
