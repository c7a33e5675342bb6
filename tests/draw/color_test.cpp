// Colour strings: every short form, unreadable groups, and the round trip.
#include <gtest/gtest.h>

#include "draw/draw.h"

namespace {

void expect_color(const std::string& text, Color want) {
    Color got = ColorFromHex(text);
    EXPECT_EQ(got.r, want.r) << text;
    EXPECT_EQ(got.g, want.g) << text;
    EXPECT_EQ(got.b, want.b) << text;
    EXPECT_EQ(got.a, want.a) << text;
}

TEST(ColorFromHex, ShortFormsExpandByLength) {
    expect_color("", {0, 0, 0, 0});
    expect_color("#", {0, 0, 0, 0});
    expect_color("7", {119, 119, 119, 255});
    expect_color("ab", {171, 171, 171, 255});
    expect_color("ff8", {255, 255, 136, 255});
    expect_color("8000", {136, 0, 0, 0});  // four digits carry their own alpha
    expect_color("f80c", {255, 136, 0, 204});
    expect_color("12345", {1, 35, 69, 255});
    expect_color("ff8000", {255, 128, 0, 255});
    expect_color("1234567", {1, 35, 69, 103});
    expect_color("ff8800cc", {255, 136, 0, 204});
    expect_color("ff8800ccdd", {255, 136, 0, 204});  // only the first eight count
}

TEST(ColorFromHex, HashesAndCaseAreIgnored) {
    expect_color("#ff8", {255, 255, 136, 255});
    expect_color("##ff8", {255, 255, 136, 255});
    expect_color(std::string(100000, '#') + "ff8", {255, 255, 136, 255});
    expect_color("FF8800", {255, 136, 0, 255});
    expect_color("#Ff8800", {255, 136, 0, 255});
}

TEST(ColorFromHex, UnreadableGroupGivesOpaqueBlack) {
    expect_color("zz", {0, 0, 0, 255});
    expect_color("12zz5678", {0, 0, 0, 255});
    expect_color("ffffffzz", {0, 0, 0, 255});
    // A digit followed by a non-digit reads as that one digit.
    expect_color("fzfzfzfz", {15, 15, 15, 15});
}

TEST(ColorToHex, LowerCaseZeroPaddedAndRoundTrips) {
    EXPECT_EQ(ColorToHex(Color{255, 136, 0, 255}), "#ff8800ff");
    EXPECT_EQ(ColorToHex(Color{0, 0, 0, 0}), "#00000000");
    EXPECT_EQ(ColorToHex(ColorFromHex("FF8800")), "#ff8800ff");
    for (int v = 0; v < 256; v++) {
        Color c{(unsigned char)v, (unsigned char)(255 - v), (unsigned char)(v * 7), (unsigned char)(v ^ 0x5a)};
        Color back = ColorFromHex(ColorToHex(c));
        ASSERT_EQ(back.r, c.r);
        ASSERT_EQ(back.g, c.g);
        ASSERT_EQ(back.b, c.b);
        ASSERT_EQ(back.a, c.a);
    }
}

}  // namespace
