// Checks the generated pictures as the program will load them: every path it
// asks for exists beside the executable, decodes as RGBA, has the sizes the
// nine-slice drawing relies on, and the poses are transparent around the figure
// and all different from each other.
#include <gtest/gtest.h>
#include <stb/stb_image.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Picture {
    int w = 0, h = 0;
    std::vector<uint8_t> rgba;  // w * h * 4
    int alpha(int x, int y) const { return rgba[(size_t(y) * w + x) * 4 + 3]; }
};

const std::string ASSETS = std::string(VIMO_BUILD_DIR) + "/assets/";

// Decodes a file as 8-bit RGBA; an empty picture when it is missing or unreadable.
Picture load(const std::string& rel) {
    Picture p;
    int channels = 0;
    std::unique_ptr<uint8_t, void (*)(void*)> data(stbi_load((ASSETS + rel).c_str(), &p.w, &p.h, &channels, 4),
                                                   stbi_image_free);
    if (!data) return {};
    EXPECT_EQ(channels, 4) << rel << " is not stored with an alpha channel";
    p.rgba.assign(data.get(), data.get() + size_t(p.w) * p.h * 4);
    return p;
}

const std::vector<std::string> POSES = {"idle",   "walk", "jump",  "fall",   "landed", "bumped", "thrown",
                                        "talk",   "wired", "held_0", "held_1", "held_2"};
const char* const PIECES[] = {"tl", "tc", "tr", "ml", "mc", "mr", "bl", "bc", "br"};

// The mascot's pictures: every pose plus the start-up picture.
std::vector<std::pair<std::string, Picture>> mascot_pictures() {
    std::vector<std::pair<std::string, Picture>> all;
    for (const std::string& pose : POSES) all.emplace_back("vimo/" + pose + ".png", load("vimo/" + pose + ".png"));
    all.emplace_back("guy.png", load("guy.png"));
    return all;
}

TEST(MascotPictures, EveryPoseIsASquareTransparentFigure) {
    for (const auto& [name, p] : mascot_pictures()) {
        SCOPED_TRACE(name);
        ASSERT_FALSE(p.rgba.empty()) << "missing or undecodable";
        // Square and a whole fraction of the 128 x 128 it is drawn at, so nearest
        // filtering scales every pixel to the same block.
        EXPECT_EQ(p.w, p.h);
        EXPECT_EQ(128 % p.w, 0);
        EXPECT_EQ(p.alpha(0, 0), 0);
        EXPECT_EQ(p.alpha(p.w - 1, 0), 0);
        EXPECT_EQ(p.alpha(0, p.h - 1), 0);
        EXPECT_EQ(p.alpha(p.w - 1, p.h - 1), 0);
        // A figure, not an empty or a filled square: between a fifth and four fifths opaque.
        size_t opaque = 0;
        for (int y = 0; y < p.h; y++)
            for (int x = 0; x < p.w; x++) opaque += p.alpha(x, y) == 255;
        EXPECT_GT(opaque, size_t(p.w * p.h / 5));
        EXPECT_LT(opaque, size_t(p.w * p.h * 4 / 5));
    }
}

TEST(MascotPictures, StandingPosesTouchTheGround) {
    // The mascot's box rests on the floor; a figure floating above the bottom of
    // its picture would hover. The poses that show it standing reach the last row.
    for (const char* pose : {"idle", "walk", "talk", "landed", "bumped"}) {
        Picture p = load(std::string("vimo/") + pose + ".png");
        ASSERT_FALSE(p.rgba.empty()) << pose;
        bool touches = false;
        for (int x = 0; x < p.w; x++) touches |= p.alpha(x, p.h - 1) == 255;
        EXPECT_TRUE(touches) << pose;
    }
}

TEST(MascotPictures, NoTwoPosesAreTheSame) {
    auto all = mascot_pictures();
    for (size_t i = 0; i < all.size(); i++)
        for (size_t j = i + 1; j < all.size(); j++) {
            ASSERT_FALSE(all[i].second.rgba.empty()) << all[i].first;
            EXPECT_NE(all[i].second.rgba, all[j].second.rgba) << all[i].first << " and " << all[j].first;
        }
}

// The nine-slice drawing takes the borders from the pieces: L = width of "ml",
// R = width of "mr", T = height of "tc", B = height of "bc", and draws the corners
// L or R wide and T or B high. Corners of another size would be squeezed.
void check_frame(const std::string& base, bool corners_transparent) {
    SCOPED_TRACE(base);
    Picture p[9];
    for (int i = 0; i < 9; i++) {
        p[i] = load(base + "." + PIECES[i] + ".png");
        ASSERT_FALSE(p[i].rgba.empty()) << PIECES[i] << " missing or undecodable";
    }
    enum { TL, TC, TR, ML, MC, MR, BL, BC, BR };
    int L = p[ML].w, R = p[MR].w, T = p[TC].h, B = p[BC].h;
    EXPECT_GT(L, 0);
    EXPECT_GT(T, 0);
    // The bubble's text leaves 8 pixels of frame at each side, the block
    // spawner's rim lies on the screen: neither wants thick borders.
    EXPECT_LE(L, 16);
    EXPECT_LE(T, 16);
    for (int c : {TL, BL}) EXPECT_EQ(p[c].w, L) << PIECES[c];
    for (int c : {TR, BR}) EXPECT_EQ(p[c].w, R) << PIECES[c];
    for (int c : {TL, TR}) EXPECT_EQ(p[c].h, T) << PIECES[c];
    for (int c : {BL, BR}) EXPECT_EQ(p[c].h, B) << PIECES[c];
    EXPECT_EQ(p[ML].h, p[MR].h);
    EXPECT_EQ(p[TC].w, p[BC].w);
    if (corners_transparent) {
        // Rounded outer corners: the very corner pixel of the frame shows the desktop.
        EXPECT_EQ(p[TL].alpha(0, 0), 0);
        EXPECT_EQ(p[TR].alpha(R - 1, 0), 0);
        EXPECT_EQ(p[BL].alpha(0, B - 1), 0);
        EXPECT_EQ(p[BR].alpha(R - 1, B - 1), 0);
    }
    // Edges and the centre are stretched, not tiled: each must be uniform along
    // the stretched direction or the frame would show smeared blocks.
    auto same_rows = [](const Picture& q) {
        for (int y = 1; y < q.h; y++)
            for (int x = 0; x < q.w * 4; x++)
                if (q.rgba[size_t(y) * q.w * 4 + x] != q.rgba[x]) return false;
        return true;
    };
    auto same_columns = [](const Picture& q) {
        for (int y = 0; y < q.h; y++)
            for (int x = 1; x < q.w; x++)
                for (int k = 0; k < 4; k++)
                    if (q.rgba[(size_t(y) * q.w + x) * 4 + k] != q.rgba[size_t(y) * q.w * 4 + k]) return false;
        return true;
    };
    EXPECT_TRUE(same_rows(p[ML]) && same_rows(p[MR]));
    EXPECT_TRUE(same_columns(p[TC]) && same_columns(p[BC]));
    EXPECT_TRUE(same_rows(p[MC]) && same_columns(p[MC]));
    // Each edge continues its corners: the row of "ml" matches the last row of
    // "tl", the column of "tc" the last column of "tl".
    for (int x = 0; x < L; x++) EXPECT_EQ(p[ML].alpha(x, 0), p[TL].alpha(x, T - 1)) << "ml column " << x;
    for (int y = 0; y < T; y++) EXPECT_EQ(p[TC].alpha(0, y), p[TL].alpha(L - 1, y)) << "tc row " << y;
}

TEST(FramePictures, BubbleIsANineSliceWithRoundedCorners) {
    check_frame("bubble", true);
    // The centre carries black text: it must be opaque, not see-through.
    Picture mc = load("bubble.mc.png");
    ASSERT_FALSE(mc.rgba.empty());
    EXPECT_EQ(mc.alpha(0, 0), 255);
}

TEST(FramePictures, BlockSpawnerFrameLeavesTheDesktopVisible) {
    check_frame("blockspawner", true);
    // Its centre covers the whole screen while boxes are placed: at most a faint wash.
    Picture mc = load("blockspawner.mc.png");
    ASSERT_FALSE(mc.rgba.empty());
    EXPECT_LT(mc.alpha(0, 0), 64);
}

}  // namespace

// The program's icon (the installer's, the Start menu's and the notification
// area's): a Windows .ico with the face at 16, 24 and 32 px as 32-bit DIBs
// whose transparent corners the 1-bit mask marks too (for readers that
// ignore alpha), and at every size the eyes still there.
TEST(ProgramIcon, FaceAtSixteenTwentyFourAndThirtyTwoPixels) {
    FILE* file = std::fopen((ASSETS + "vimo.ico").c_str(), "rb");
    ASSERT_NE(file, nullptr) << "assets/vimo.ico is missing";
    std::vector<uint8_t> ico;
    for (int c; (c = std::fgetc(file)) != EOF;) ico.push_back(uint8_t(c));
    std::fclose(file);
    auto u16 = [&](size_t at) { return unsigned(ico.at(at) | ico.at(at + 1) << 8); };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    ASSERT_EQ(u16(2), 1u) << "not an icon file";
    ASSERT_EQ(u16(4), 3u);
    const int sizes[] = {16, 24, 32};
    for (size_t i = 0; i < 3; i++) {
        SCOPED_TRACE(sizes[i]);
        const size_t entry = 6 + 16 * i;
        const int n = sizes[i];
        ASSERT_EQ(ico.at(entry), n);
        ASSERT_EQ(ico.at(entry + 1), n);
        const size_t dib = u32(entry + 12);
        ASSERT_EQ(u32(entry + 8), 40u + n * n * 4 + (n + 31) / 32 * 4 * n);
        ASSERT_LE(dib + u32(entry + 8), ico.size());
        ASSERT_EQ(u32(dib + 4), unsigned(n));
        ASSERT_EQ(u32(dib + 8), unsigned(2 * n)) << "an icon's DIB counts its mask's rows too";
        ASSERT_EQ(u16(dib + 14), 32u);
        auto bgra = [&](int x, int y) { return &ico[dib + 40 + (size_t(n - 1 - y) * n + x) * 4]; };
        auto masked = [&](int x, int y) {
            return (ico[dib + 40 + n * n * 4 + size_t(n - 1 - y) * ((n + 31) / 32 * 4) + x / 8] >> (7 - x % 8)) & 1;
        };
        int eyes = 0, opaque = 0;
        for (int y = 0; y < n; y++)
            for (int x = 0; x < n; x++) {
                const uint8_t* p = bgra(x, y);
                EXPECT_EQ(masked(x, y), p[3] == 0 ? 1 : 0) << "at " << x << "," << y;
                opaque += p[3] == 255;
                eyes += p[3] == 255 && p[2] < 60 && p[1] < 60 && p[0] < 60;  // the eyes' near-black (the outline is bluer)
            }
        EXPECT_EQ(bgra(0, 0)[3], 0);
        EXPECT_EQ(bgra(n - 1, n - 1)[3], 0);
        EXPECT_GT(opaque, n * n / 3) << "no figure";
        EXPECT_GE(eyes, 4) << "the face has no eyes at this size";
    }
}
