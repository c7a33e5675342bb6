// Text drawn in the real window: Unifont rasterised at 32 and drawn at 16 with
// nearest filtering must give the font's own 16-pixel bitmaps, in every script.
#include <gtest/gtest.h>
#include <stb/stb_image_write.h>
#include <stb/stb_truetype.h>

#include <cstdio>
#include <string>
#include <vector>

#include "gfx/gfx_ext.h"
#include "gfx/raylib.h"

namespace {

const std::string kFontPath = std::string(VIMO_BUILD_DIR) + "/assets/neodgm.ttf";
const std::string kFallbackPath = std::string(VIMO_BUILD_DIR) + "/assets/unifont_upper.otf";

// The font's own rendering of cp at 16 pixels, as coverage 0..255, with where
// its box sits relative to the pen (x) and the line top (y).
struct Reference {
    int x0, y0, w, h;
    std::vector<unsigned char> coverage;
};

// fallback: from the supplementary-plane file instead of the main one.
Reference reference_16(int cp, bool fallback = false) {
    static std::vector<unsigned char> files[2];
    static stbtt_fontinfo infos[2];
    std::vector<unsigned char>& file = files[fallback];
    stbtt_fontinfo& info = infos[fallback];
    if (file.empty()) {
        FILE* f = std::fopen((fallback ? kFallbackPath : kFontPath).c_str(), "rb");
        unsigned char buffer[65536];
        size_t n;
        while (f && (n = std::fread(buffer, 1, sizeof buffer, f)) > 0) file.insert(file.end(), buffer, buffer + n);
        if (f) std::fclose(f);
        stbtt_InitFont(&info, file.data(), 0);
    }
    float scale = stbtt_ScaleForPixelHeight(&info, 16);
    int ascent = 0, descent = 0, gap = 0;
    stbtt_GetFontVMetrics(&info, &ascent, &descent, &gap);
    Reference r = {};
    int x1 = 0, y1 = 0;
    stbtt_GetCodepointBitmapBox(&info, cp, scale, scale, &r.x0, &r.y0, &x1, &y1);
    r.w = x1 - r.x0;
    r.h = y1 - r.y0;
    r.y0 += (int)(ascent * scale);
    r.coverage.resize((size_t)r.w * r.h);
    stbtt_MakeCodepointBitmap(&info, r.coverage.data(), r.w, r.h, r.w, scale, scale, cp);
    return r;
}

// Every pixel around the glyph drawn with its pen at (penX, lineTop) is exactly
// on or off, and on exactly where the font's own 16-pixel bitmap is.
void expect_exact_glyph(Image shot, int penX, int lineTop, int cp, bool fallback = false) {
    Reference r = reference_16(cp, fallback);
    ASSERT_GT(r.w, 0) << cp;
    int on = 0;
    for (int y = -3; y < r.h + 3; y++)
        for (int x = -3; x < r.w + 3; x++) {
            bool inside = x >= 0 && y >= 0 && x < r.w && y < r.h;
            int want = inside ? r.coverage[(size_t)y * r.w + x] : 0;
            Color got = GetImageColor(shot, penX + r.x0 + x, lineTop + r.y0 + y);
            ASSERT_TRUE(want == 0 || want == 255) << "reference not a bitmap font";
            ASSERT_EQ(got.a, want) << "code point " << cp << " at " << x << "," << y;
            if (want) {
                ASSERT_EQ(got.r, 255);
                on++;
            }
        }
    EXPECT_GT(on, 4) << cp;
}

}  // namespace

TEST(GfxText, EmojiComesFromTheFallbackFileExactAndCharactersInNoFileShowQuestionMarks) {
    ASSERT_TRUE(IsWindowReady());
    Font font = LoadFont(kFontPath.c_str());
    ASSERT_NE(font.texture.id, 0u);
    const int party = 0x1f389, nowhere = 0x10fffd;  // 🎉, and a private-use code point neither file has
    EXPECT_FALSE(gfx_font_has_codepoint(font, party));
    ASSERT_TRUE(gfx_font_add_fallback(font, kFallbackPath.c_str()));
    EXPECT_TRUE(gfx_font_has_codepoint(font, party));
    ASSERT_FALSE(gfx_font_has_codepoint(font, nowhere));
    EXPECT_FALSE(gfx_font_add_fallback(font, "/nonexistent/unifont_upper.otf"));
    EXPECT_TRUE(gfx_font_has_codepoint(font, party)) << "a failed fallback load dropped the old one";

    BeginDrawing();
    ClearBackground(BLANK);
    DrawTextPro(font, "\U0001F389", Vector2{100, 100}, {}, 0, 16, 0, WHITE);
    DrawTextPro(font, "A\U0001F389A", Vector2{200, 100}, {}, 0, 16, 0, WHITE);
    DrawTextPro(font, "\U0010FFFD", Vector2{300, 100}, {}, 0, 16, 0, WHITE);
    Image shot = LoadImageFromScreen();
    EndDrawing();
    // On the main file's baseline, pixel for pixel, and the pen moves on by its advance.
    expect_exact_glyph(shot, 100, 100, party, true);
    expect_exact_glyph(shot, 200, 100, 'A');
    expect_exact_glyph(shot, 208, 100, party, true);
    expect_exact_glyph(shot, 224, 100, 'A');
    expect_exact_glyph(shot, 300, 100, '?');
    UnloadImage(shot);

    EXPECT_EQ(MeasureTextEx(font, "\U0001F389", 16, 0).x, 16);
    EXPECT_EQ(MeasureTextEx(font, "A\U0001F389A", 16, 1).x, 8 + 16 + 8 + 2);
    EXPECT_EQ(MeasureTextEx(font, "\U0010FFFD", 16, 0).x, MeasureTextEx(font, "?", 16, 0).x);
    UnloadFont(font);
}

TEST(GfxText, DrawnAt16GivesTheFontsExactPixels) {
    ASSERT_TRUE(IsWindowReady());
    Font font = LoadFont(kFontPath.c_str());
    ASSERT_NE(font.texture.id, 0u);

    const int codepoints[] = {'A', 'g', 0xc548 /* 안 */, 0x3053 /* こ */, 0xe9 /* é */, 0x416 /* Ж */};
    const char* texts[] = {"A", "g", "안", "こ", "é", "Ж"};
    BeginDrawing();
    ClearBackground(BLANK);
    for (int i = 0; i < 6; i++) DrawTextPro(font, texts[i], Vector2{100.0f + 40 * i, 100}, {}, 0, 16, 0, WHITE);
    Image shot = LoadImageFromScreen();
    EndDrawing();

    for (int i = 0; i < 6; i++) expect_exact_glyph(shot, 100 + 40 * i, 100, codepoints[i]);
    UnloadImage(shot);

    // Windowed measuring agrees with the rule.
    EXPECT_EQ(MeasureTextEx(font, "A", 16, 0).x, 8);
    EXPECT_EQ(MeasureTextEx(font, "안", 16, 0).x, 16);

    // The scene of the text screenshot kept with the notes.
    BeginDrawing();
    ClearBackground(Color{30, 30, 40, 255});
    DrawTextPro(font, "hi 안녕 こんにちは é", Vector2{20, 20}, {}, 0, 16, 0, WHITE);
    DrawTextPro(font, "hi 안녕 こんにちは é", Vector2{20, 60}, {}, 0, 32, 0, Color{255, 220, 120, 255});
    DrawTextPro(font, "turned 15°\nsecond line", Vector2{40, 120}, Vector2{0, 0}, 15, 16, 1, WHITE);
    Image scene = LoadImageFromScreen();
    EndDrawing();
    Image crop = {nullptr, 400, 200, 1, PIXELFORMAT_UNCOMPRESSED_R8G8B8A8};
    std::vector<unsigned char> pixels((size_t)400 * 200 * 4);
    for (int y = 0; y < 200; y++)
        for (int x = 0; x < 400; x++) {
            Color c = GetImageColor(scene, x, y);
            unsigned char* p = &pixels[((size_t)y * 400 + x) * 4];
            p[0] = c.r, p[1] = c.g, p[2] = c.b, p[3] = c.a;
        }
    crop.data = pixels.data();
    std::string path = std::string(VIMO_BUILD_DIR) + "/text-shot.png";
    EXPECT_NE(stbi_write_png(path.c_str(), 400, 200, 4, crop.data, 400 * 4), 0);
    UnloadImage(scene);

    UnloadFont(font);
}

TEST(GfxText, AtlasGrowsIntoNewPagesAndLateGlyphsStayExact) {
    Font font = LoadFont(kFontPath.c_str());
    ASSERT_NE(font.texture.id, 0u);
    // 2000 distinct Hangul syllables: more than one 1024 x 1024 page holds at 32 px.
    std::string many;
    for (int cp = 0xac00; cp < 0xac00 + 2000; cp++) {
        char utf8[4] = {(char)(0xe0 | (cp >> 12)), (char)(0x80 | ((cp >> 6) & 0x3f)), (char)(0x80 | (cp & 0x3f)), 0};
        many += utf8;
        if ((cp - 0xac00) % 100 == 99) many += "\n";
    }
    const int last = 0xac00 + 1999;
    BeginDrawing();
    ClearBackground(BLANK);
    DrawTextPro(font, many.c_str(), Vector2{0, 0}, {}, 0, 16, 0, WHITE);
    ClearBackground(BLANK);
    DrawTextPro(font, "가", Vector2{200, 700}, {}, 0, 16, 0, WHITE);
    DrawTextPro(font, "\xeb\x8f\x8f", Vector2{240, 700}, {}, 0, 16, 0, WHITE);  // the last one, U+B3CF
    Image shot = LoadImageFromScreen();
    EndDrawing();
    ASSERT_EQ(last, 0xb3cf);
    EXPECT_GE(gfx_font_loaded_glyphs(font), 95 + 2000);
    expect_exact_glyph(shot, 200, 700, 0xac00);
    expect_exact_glyph(shot, 240, 700, last);
    UnloadImage(shot);
    UnloadFont(font);
}

namespace {

// One frame with text drawn as the chat boxes draw it (centred on its middle),
// read back whole.
Image frame_with(Font font, const char* text, Vector2 centre, float rotation, Color tint) {
    Vector2 m = MeasureTextEx(font, text, 16, 0);
    BeginDrawing();
    ClearBackground(BLANK);
    DrawTextPro(font, text, centre, Vector2{m.x * 0.5f, m.y * 0.5f}, rotation, 16, 0, tint);
    Image shot = LoadImageFromScreen();
    EndDrawing();
    return shot;
}

// Pixels (all four channels) that differ between two same-sized read-backs,
// and how many are lit in the first.
void compare(Image a, Image b, int* differ, int* lit) {
    *differ = *lit = 0;
    for (int y = 0; y < a.height; y++)
        for (int x = 0; x < a.width; x++) {
            Color p = GetImageColor(a, x, y), q = GetImageColor(b, x, y);
            if (p.a) (*lit)++;
            if (p.r != q.r || p.g != q.g || p.b != q.b || p.a != q.a) (*differ)++;
        }
}

}  // namespace

TEST(GfxText, RepeatedTextDrawnAsOneImageKeepsItsPixels) {
    ASSERT_TRUE(IsWindowReady());
    Font font = LoadFont(kFontPath.c_str());
    ASSERT_NE(font.texture.id, 0u);
    const char* chat = "hi there, 안녕 こんにちは é\nsecond line: Жg?";
    const Color tint = {40, 200, 90, 230};

    // Frame 1 draws glyph by glyph, frame 2 composes, frame 3 draws the image;
    // the turned text reuses the image (rotation is not part of it).
    for (float rotation : {0.0f, 15.0f}) {
        Vector2 centre = {300.3f, 200.6f};
        Image first = frame_with(font, chat, centre, rotation, tint);
        EXPECT_EQ(gfx_text_images(), rotation != 0.0f ? 1 : 0);
        Image second = frame_with(font, chat, centre, rotation, tint);
        Image third = frame_with(font, chat, centre, rotation, tint);
        EXPECT_EQ(gfx_text_images(), 1);
        int differ = 0, lit = 0;
        compare(first, third, &differ, &lit);
        EXPECT_GT(lit, 400) << rotation;
        if (rotation == 0.0f) {
            EXPECT_EQ(differ, 0);
        } else {
            // Turned, a pixel centre on a texel edge may round either way.
            EXPECT_LE(differ, lit / 100) << differ << " of " << lit;
        }
        compare(second, third, &differ, &lit);
        if (rotation == 0.0f) EXPECT_EQ(differ, 0);
        UnloadImage(first);
        UnloadImage(second);
        UnloadImage(third);
    }

    // On the composed path the glyphs still are the font's exact 16-pixel bitmaps.
    const char* pair = "A \xec\x95\x88 g";  // A 안 g, apart so each glyph's border is its own
    for (int frame = 0; frame < 3; frame++) {
        BeginDrawing();
        ClearBackground(BLANK);
        DrawTextPro(font, pair, Vector2{100, 400}, {}, 0, 16, 0, WHITE);
        DrawTextPro(font, pair, Vector2{100, 440}, {}, 0, 16, 2, WHITE);  // spacing 2: 4 base pixels
        if (frame < 2) {
            EndDrawing();
            continue;
        }
        Image shot = LoadImageFromScreen();
        EndDrawing();
        EXPECT_EQ(gfx_text_images(), 3);
        expect_exact_glyph(shot, 100, 400, 'A');
        expect_exact_glyph(shot, 116, 400, 0xc548);
        expect_exact_glyph(shot, 140, 400, 'g');
        expect_exact_glyph(shot, 100, 440, 'A');
        expect_exact_glyph(shot, 120, 440, 0xc548);
        expect_exact_glyph(shot, 148, 440, 'g');
        UnloadImage(shot);
    }

    // Texts no longer drawn are freed after about two seconds of frames.
    for (int frame = 0; frame < 200; frame++) {
        BeginDrawing();
        ClearBackground(BLANK);
        DrawTextPro(font, pair, Vector2{100, 400}, {}, 0, 16, 0, WHITE);
        EndDrawing();
    }
    EXPECT_EQ(gfx_text_images(), 1);
    UnloadFont(font);
    EXPECT_EQ(gfx_text_images(), 0);
}
