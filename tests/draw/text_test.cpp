// Text sources, wrapping and the wrapped-text cache, measured with a fake font
// whose every code point is 8 pixels wide (no window needed).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/files.h"
#include "draw/draw.h"

namespace {

int measure_calls = 0;
float fake_glyph_width = 8;

// Widest line times 8 px per code point, plus spacing between code points.
Vector2 fake_measure(Font, const char* text, float fontSize, float spacing) {
    measure_calls++;
    int widest = 0, current = 0, lines = 1;
    for (const char* p = text; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\n') {
            lines++;
            current = 0;
            continue;
        }
        if ((c & 0xC0) != 0x80) current++;  // a continuation byte belongs to the code point before
        if (current > widest) widest = current;
    }
    float width = widest * fake_glyph_width + (widest > 0 ? (widest - 1) * spacing : 0);
    return Vector2{width, fontSize * lines};
}

class TextTest : public ::testing::Test {
protected:
    void SetUp() override {
        TEXT_MEASURE = fake_measure;
        fake_glyph_width = 8;
        measure_calls = 0;
        TEXT_CACHE.clear();
        Font font{};
        font.baseSize = 8;
        FONTS["fake.ttf"] = font;  // cached, so compileText never loads a file
    }
    void TearDown() override {
        TEXT_MEASURE = MeasureTextEx;
        TEXT_CACHE.clear();
        FONTS.erase("fake.ttf");
    }
    static Drawable text(const std::string& source, float width = 0, float spacing = 0) {
        Drawable d{};
        d.type = DRAWABLE_TEXT;
        d.source = source;
        d.size = {width, spacing};
        return d;
    }
};

TEST_F(TextTest, SpecIsFontSizeAndText) {
    CompiledText c = compileText(nullptr, text("fake.ttf:16:Hello"));
    EXPECT_EQ(c.text, "Hello");
    EXPECT_EQ(c.fontSize, 16);
    EXPECT_EQ(c.font.baseSize, 8);
    EXPECT_EQ(TEXT_CACHE.count("0.000000:fake.ttf:16:Hello"), 1u);

    EXPECT_EQ(compileText(nullptr, text("fake.ttf:16:a:b")).text, "a:b");
    EXPECT_EQ(compileText(nullptr, text("fake.ttf:16:line\nnext")).text, "line\nnext");
    EXPECT_EQ(compileText(nullptr, text("fake.ttf: +12px:x")).fontSize, 12);  // stoi rules
    EXPECT_EQ(compileText(nullptr, text("fake.ttf:-3:x")).fontSize, -3);
    EXPECT_EQ(compileText(nullptr, text("fake.ttf:16:")).text, "");
}

TEST_F(TextTest, MalformedSpecsCompileToTheEmptyResult) {
    for (const char* source : {"fake.ttf:16", "Hello", "", "fake.ttf::text", "fake.ttf:big:text",
                             "fake.ttf:99999999999999999999:text"}) {
        CompiledText c = compileText(nullptr, text(source, 100));
        EXPECT_EQ(c.text, "") << source;
        EXPECT_EQ(c.fontSize, 0) << source;
        EXPECT_EQ(c.font.baseSize, 0) << source;
    }
    EXPECT_TRUE(TEXT_CACHE.empty());
}

TEST_F(TextTest, WrapsAfterTheGlyphThatOverflows) {
    EXPECT_EQ(compileText(nullptr, text("fake.ttf:16:abcdefg", 20)).text, "abc\ndef\ng");
    EXPECT_EQ(compileText(nullptr, text("fake.ttf:16:abcdefg", 24)).text, "abcd\nefg");
    EXPECT_EQ(compileText(nullptr, text("fake.ttf:16:abcdefg", 0)).text, "abcdefg");
    EXPECT_EQ(compileText(nullptr, text("fake.ttf:16:abcdefg", -5)).text, "abcdefg");
    // A glyph wider than the whole width still gets a line: nothing is dropped.
    EXPECT_EQ(compileText(nullptr, text("fake.ttf:16:abc", 4)).text, "a\nb\nc");
    // Spaces stay where they fall.
    EXPECT_EQ(compileText(nullptr, text("fake.ttf:16:ab cd", 16)).text, "ab \ncd");
}

TEST_F(TextTest, MeasuredWidthIsTruncatedBeforeComparing) {
    fake_glyph_width = 20.9f / 3;  // three glyphs measure 20.9: counts as 20
    EXPECT_EQ(compileText(nullptr, text("fake.ttf:16:abcd", 20)).text, "abcd");
    TEXT_CACHE.clear();
    fake_glyph_width = 21.0f / 3;  // 21 does not fit 20
    EXPECT_EQ(compileText(nullptr, text("fake.ttf:16:abcd", 20)).text, "abc\nd");
}

TEST_F(TextTest, CacheKeyIgnoresLetterSpacingAndRepeatsTheFirstResult) {
    std::string first = compileText(nullptr, text("fake.ttf:16:abcdefg", 24, 0)).text;
    int calls = measure_calls;
    // Spacing 10 would break every glyph, but the entry of spacing 0 is reused.
    EXPECT_EQ(compileText(nullptr, text("fake.ttf:16:abcdefg", 24, 10)).text, first);
    EXPECT_EQ(compileText(nullptr, text("fake.ttf:16:abcdefg", 24, 0)).text, first);
    EXPECT_EQ(measure_calls, calls);  // answered from the cache
    EXPECT_EQ(TEXT_CACHE.size(), 1u);
    EXPECT_EQ(TEXT_CACHE.count("24.000000:fake.ttf:16:abcdefg"), 1u);
}

// True when s is well-formed UTF-8.
bool valid_utf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char c = s[i];
        size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; k++) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        }
        i += n;
    }
    return true;
}

std::vector<std::string> split_lines(const std::string& s) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = s.find('\n', start)) != std::string::npos; start = nl + 1) lines.push_back(s.substr(start, nl - start));
    lines.push_back(s.substr(start));
    return lines;
}

TEST_F(TextTest, BreaksFallBetweenCodePointsNeverInsideOne) {
    // Hangul (3 bytes), accented Latin (2 bytes) and an emoji (4 bytes).
    const std::string words = "가나다라 café 😀😀 ok";
    for (float width : {1.0f, 8.0f, 10.0f, 16.0f, 20.0f, 33.0f}) {
        TEXT_CACHE.clear();
        std::string wrapped = compileText(nullptr, text("fake.ttf:16:" + words, width)).text;
        std::string joined;
        for (const std::string& line : split_lines(wrapped)) {
            EXPECT_TRUE(valid_utf8(line)) << "width " << width << " line \"" << line << "\"";
            joined += line;
        }
        EXPECT_EQ(joined, words) << "width " << width;
    }
    TEXT_CACHE.clear();
    EXPECT_EQ(compileText(nullptr, text("fake.ttf:16:가나다", 10)).text, "가나\n다");
    // Stray bytes are kept and wrapped as units of their own.
    TEXT_CACHE.clear();
    EXPECT_EQ(compileText(nullptr, text("fake.ttf:16:a\x80\xe0z", 10)).text, "a\x80\xe0\nz");
}

// A stream of new texts (a busy chat) keeps at most two generations of
// wrapped texts, while a text asked for all the while is never wrapped again.
TEST_F(TextTest, TheCacheKeepsTwoGenerationsAndWhatIsStillInUse) {
    TEXT_CACHE_PREVIOUS.clear();
    Drawable kept = text("fake.ttf:16:kept line", 40);
    EXPECT_EQ(compileText(nullptr, kept).text, "kept l\nine");
    int rewraps = 0;
    for (size_t i = 0; i < 3 * TEXT_CACHE_GENERATION; i++) {
        compileText(nullptr, text("fake.ttf:16:chat line " + std::to_string(i), 40));
        if (i % 1000 == 0) {
            int before = measure_calls;
            EXPECT_EQ(compileText(nullptr, kept).text, "kept l\nine");
            rewraps += measure_calls != before;
        }
        ASSERT_LE(TEXT_CACHE.size(), TEXT_CACHE_GENERATION);
        ASSERT_LE(TEXT_CACHE_PREVIOUS.size(), TEXT_CACHE_GENERATION);
    }
    EXPECT_EQ(rewraps, 0);
    EXPECT_EQ(TEXT_CACHE.count("40.000000:fake.ttf:16:chat line 0"), 0u);  // long gone
    EXPECT_EQ(compileText(nullptr, text("fake.ttf:16:chat line 0", 40)).text, "chat l\nine 0");
    TEXT_CACHE_PREVIOUS.clear();
}

// The real font (loaded without a window, so it measures but draws nothing):
// an emoji is measured from the fallback file beside it, 16 px at size 16,
// not as an 8-px "?", and wrapping counts it so.
TEST(TextFallback, EmojiFromTheFileBesideTheFontMeasuresAndWrapsByItsAdvance) {
    const std::string saved = cwd;
    cwd = std::string(VIMO_BUILD_DIR) + "/";
    Font font = fetchFont("assets/neodgm.ttf");
    ASSERT_NE(font.texture.id, 0u);
    EXPECT_EQ(MeasureTextEx(font, "\U0001F389", 16, 0).x, 16);
    EXPECT_EQ(MeasureTextEx(font, "ab\U0001F389\U0001F389", 16, 0).x, 48);
    EXPECT_EQ(wrapText("ab\U0001F389\U0001F389", font, 16, 24, 0, MeasureTextEx), "ab\U0001F389\n\U0001F389");
    EXPECT_EQ(MeasureTextEx(font, "\U0010FFFD", 16, 0).x, 8) << "a character in no file measures as \"?\"";
    UnloadFont(font);
    FONTS.erase("assets/neodgm.ttf");
    cwd = saved;
}

}  // namespace
