#include <cmath>
#include <stdexcept>
#include <string>

#include "base/files.h"
#include "draw/draw.h"
#include "gfx/gfx_ext.h"

TextMeasureFn TEXT_MEASURE = MeasureTextEx;
std::map<std::string, Font> FONTS;
std::map<std::string, std::string> TEXT_CACHE;
std::map<std::string, std::string> TEXT_CACHE_PREVIOUS;

static const float PI_F = 3.1415927f;

Font fetchFont(std::string path) {
    auto it = FONTS.find(path);
    if (it != FONTS.end()) return it->second;
    // Loaded at the font's own base size; the source's size only scales it.
    Font font = LoadFont((cwd + path).c_str());
    // Chat comes with emoji and other characters beyond the Basic Multilingual
    // Plane, which the font's main file lacks: they come from the fallback
    // file beside it when that is there, "?" otherwise.
    if (font.texture.id != 0) {
        size_t slash = path.find_last_of('/');
        std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
        gfx_font_add_fallback(font, (cwd + folder + FONT_FALLBACK_FILE).c_str());
    }
    FONTS[path] = font;
    return font;
}

// Bytes of the UTF-8 code point starting at text[i]. A byte that does not
// start a complete, well-formed sequence counts as one unit of its own, so
// broken input still wraps and is never dropped.
static size_t codepoint_length(const std::string& text, size_t i) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t n = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF8 ? 4 : 1;
    if (i + n > text.size()) return 1;
    for (size_t k = 1; k < n; k++) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 1;
    }
    return n;
}

std::string wrapText(const std::string& text, Font font, int fontSize, float width, float spacing,
                     TextMeasureFn measure) {
    if (text.empty() || !(width > 0)) return text;
    std::string wrapped;
    size_t start = 0;
    size_t end = 0;
    // Every prefix of the current line is measured: quadratic in the line's
    // length, paid once per (width, source) thanks to TEXT_CACHE.
    while (end < text.size()) {
        end += codepoint_length(text, end);
        std::string candidate = text.substr(start, end - start);
        float measured = measure(font, candidate.c_str(), static_cast<float>(fontSize), spacing).x;
        if (std::trunc(measured) > width) {  // truncated towards zero: 20.9 fits 20
            if (start > 0) wrapped += '\n';
            wrapped += candidate;
            start = end;
        }
    }
    if (start < text.size()) {
        if (start > 0) wrapped += '\n';
        wrapped += text.substr(start);
    }
    return wrapped;
}

CompiledText compileText(Element* e, Drawable d) {
    (void)e;
    CompiledText compiled;
    const std::string& source = d.source;
    size_t first = source.find(':');
    if (first == std::string::npos) return compiled;
    size_t second = source.find(':', first + 1);
    if (second == std::string::npos) return compiled;
    int fontSize;
    try {
        fontSize = std::stoi(source.substr(first + 1, second - first - 1));
    } catch (const std::logic_error&) {  // no number, or out of int's range
        return compiled;
    }
    compiled.fontSize = fontSize;
    compiled.font = fetchFont(source.substr(0, first));

    std::string key = std::to_string(d.size.x) + ":" + source;
    auto it = TEXT_CACHE.find(key);
    if (it != TEXT_CACHE.end()) {
        compiled.text = it->second;
        return compiled;
    }
    // A text still in use comes back from the previous generation without
    // being wrapped again; one not asked for during a whole generation is gone.
    auto previous = TEXT_CACHE_PREVIOUS.find(key);
    if (previous != TEXT_CACHE_PREVIOUS.end()) {
        compiled.text = std::move(previous->second);
        TEXT_CACHE_PREVIOUS.erase(previous);
    } else {
        compiled.text = wrapText(source.substr(second + 1), compiled.font, fontSize, d.size.x, d.size.y, TEXT_MEASURE);
    }
    if (TEXT_CACHE.size() >= TEXT_CACHE_GENERATION) {
        TEXT_CACHE_PREVIOUS = std::move(TEXT_CACHE);
        TEXT_CACHE.clear();
    }
    TEXT_CACHE[key] = compiled.text;
    return compiled;
}

void drawText(Element* e, Drawable d) {
    CompiledText compiled = compileText(e, d);
    if (compiled.text.empty()) return;
    Vector2 m = TEXT_MEASURE(compiled.font, compiled.text.c_str(), static_cast<float>(compiled.fontSize), d.size.y);

    // Glyphs are never mirrored: flipping only moves the block and negates its own turn.
    float ox = e->flipped ? -d.offset.x : d.offset.x;
    float r = e->flipped ? -d.rotation : d.rotation;
    float theta = e->rotation / 180.0f * PI_F;
    float c = cosf(theta), s = sinf(theta);
    Vector2 centre{e->position.x + (ox * c - d.offset.y * s), e->position.y + (ox * s + d.offset.y * c)};
    DrawTextPro(compiled.font, compiled.text.c_str(), centre, Vector2{m.x * 0.5f, m.y * 0.5f}, e->rotation + r,
                static_cast<float>(compiled.fontSize), d.size.y, d.color);
}
