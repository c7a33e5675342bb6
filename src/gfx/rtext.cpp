// Fonts and text (raylib's rtext) on stb_truetype. LoadFont rasterises the
// printable ASCII range at 32 px like raylib; any other code point the file
// has is rasterised into the atlas on first use, so chat in every script shows.
// Measuring and placement follow raylib's rules exactly. Main thread only.
//
// A text of several glyphs drawn again on a later frame is composed once on
// the CPU at the base size into an image of its own (the glyphs' coverage
// placed exactly where the atlas quads would put it) and from then on drawn
// as one quad: under a software GL driver the per-vertex work of 40 glyph
// quads per chat box costs far more than the one-off composition.
#include <stb/stb_truetype.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "gfx/gfx_ext.h"
#include "gfx/gfx_gl.h"
#include "gfx/gfx_internal.h"
#include "gfx/raylib.h"

namespace {

constexpr int kBaseSize = 32;       // rasterising size in pixels
constexpr int kPadding = 4;         // blank pixels around each glyph in the atlas
constexpr int kPageSize = 1024;     // atlas page edge; a full page opens another
constexpr int kLineSpacing = 2;     // extra pixels between lines, as raylib's default
constexpr int kFirstAscii = 32, kLastAscii = 126;

constexpr int kTextKeepFrames = 120;             // a cached text not drawn for this long is freed
constexpr int kTextSweepFrames = 30;             // frames between sweeps for such texts
constexpr size_t kTextMaxEntries = 512;          // texts tracked at once, all fonts
constexpr size_t kTextMaxBytes = 32u << 20;      // RGBA bytes of composed images, all fonts
constexpr int kTextMaxEdge = 4096;               // longest side of one composed image

struct GlyphSlot {
    int page;          // atlas page index
    Rectangle rec;     // glyph box in the page, without padding
    GlyphInfo info;    // metrics at the base size
    std::vector<unsigned char> coverage;  // rec.width x rec.height, as uploaded; empty when blank
};

// A text seen by DrawTextPro. Composed on the first frame after the one it
// was first seen on; until then (or when it cannot be) drawn glyph by glyph.
struct TextImage {
    unsigned int texture = 0;      // composed image, 0 while not composed
    unsigned int generation = 0;   // GFX_CONTEXT_GENERATION the texture belongs to
    int width = 0, height = 0;     // image size in base-size pixels
    int left = 0, top = 0;         // image corner relative to the text's origin, base-size pixels
    unsigned long long firstFrame = 0, lastFrame = 0;
    bool unfit = false;            // cannot be composed exactly (layout off the base-size grid, too big)
};

struct AtlasPage {
    unsigned int texture;  // GL texture, or a stand-in id for a font loaded without a window
    bool uploaded;         // texture is a real GL texture
};

// Everything a loaded font owns beyond the raylib Font record. Font is passed
// by value and copied into caches, so the growing parts live here, found by
// the record's recs pointer (unique per load, stable for the font's life).
struct FontAtlas {
    std::vector<unsigned char> file;        // font file bytes; info points into them
    stbtt_fontinfo info;
    float scale;                            // stbtt_ScaleForPixelHeight(info, 32)
    int ascent;                             // ascent * scale, truncated
    std::vector<AtlasPage> pages;
    int shelfX, shelfY, shelfHeight;        // packing cursor on the last page
    std::unordered_map<int, GlyphSlot> glyphs;  // code point -> slot ('?' slot for missing ones)
    std::unordered_map<int, int> fallback;  // code point neither file has -> '?'
    // A second file looked up for code points the font's own file lacks
    // (gfx_font_add_fallback), rasterised into the same atlas on the font's
    // baseline; empty fallbackFile while there is none.
    std::vector<unsigned char> fallbackFile;
    stbtt_fontinfo fallbackInfo;
    float fallbackScale;                    // stbtt_ScaleForPixelHeight(fallbackInfo, 32)
    // fontSize, spacing and the text's bytes -> its image
    std::unordered_map<std::string, TextImage> texts;
};

std::unordered_map<const Rectangle*, std::unique_ptr<FontAtlas>> ATLASES;
unsigned int NEXT_STANDIN_ID = 0x40000000u;  // texture ids of fonts loaded without a window
size_t TEXT_ENTRIES = 0;                     // entries in every font's texts
size_t TEXT_BYTES = 0;                       // RGBA bytes of every composed image alive
int TEXT_IMAGES = 0;                         // composed images alive
unsigned long long TEXT_SWEPT = 0;           // GFX_FRAME of the last sweep

FontAtlas* atlas_of(const Font& font) {
    if (font.texture.id == 0 || !font.recs) return nullptr;
    auto it = ATLASES.find(font.recs);
    return it == ATLASES.end() ? nullptr : it->second.get();
}

bool open_page(FontAtlas& a) {
    AtlasPage page = {};
    if (gfx_has_context()) {
        std::vector<unsigned char> blank((size_t)kPageSize * kPageSize * 4, 0);
        GLuint id = 0;
        glGenTextures(1, &id);
        glBindTexture(GL_TEXTURE_2D, id);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, kPageSize, kPageSize, 0, GL_RGBA, GL_UNSIGNED_BYTE, blank.data());
        glBindTexture(GL_TEXTURE_2D, 0);
        page.texture = id;
        page.uploaded = true;
    } else {
        page.texture = NEXT_STANDIN_ID++;
        page.uploaded = false;
    }
    if (page.texture == 0) return false;
    a.pages.push_back(page);
    a.shelfX = a.shelfY = a.shelfHeight = 0;
    return true;
}

// Reserve a w x h area (padding included) in the atlas; false when it cannot.
bool pack(FontAtlas& a, int w, int h, int* page, int* x, int* y) {
    if (w > kPageSize || h > kPageSize) return false;
    if (a.pages.empty() && !open_page(a)) return false;
    if (a.shelfX + w > kPageSize) {  // next shelf
        a.shelfY += a.shelfHeight;
        a.shelfX = 0;
        a.shelfHeight = 0;
    }
    if (a.shelfY + h > kPageSize && !open_page(a)) return false;
    *page = (int)a.pages.size() - 1;
    *x = a.shelfX;
    *y = a.shelfY;
    a.shelfX += w;
    if (h > a.shelfHeight) a.shelfHeight = h;
    return true;
}

// Rasterise glyph index g of info (the font's own file or its fallback, at
// that file's scale) as code point cp into the atlas. Both files hang their
// glyphs from the font's ascent, so they share one baseline.
const GlyphSlot* rasterise(FontAtlas& a, int cp, int g, const stbtt_fontinfo& info, float scale) {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    stbtt_GetGlyphBitmapBox(&info, g, scale, scale, &x0, &y0, &x1, &y1);
    int advance = 0, bearing = 0;
    stbtt_GetGlyphHMetrics(&info, g, &advance, &bearing);

    GlyphSlot slot = {};
    slot.info.value = cp;
    slot.info.advanceX = (int)((float)advance * scale);
    slot.info.offsetX = x0;
    slot.info.offsetY = a.ascent + y0;
    int w = x1 - x0, h = y1 - y0;
    std::vector<unsigned char> coverage;
    if (w > 0 && h > 0) {
        coverage.resize((size_t)w * h);
        stbtt_MakeGlyphBitmap(&info, coverage.data(), w, h, w, scale, scale, g);
    } else if (cp == ' ') {
        // A blank box as wide as the advance, as raylib gives the space.
        w = slot.info.advanceX;
        h = kBaseSize;
    } else {
        w = h = 0;
    }

    int page = 0, px = 0, py = 0;
    if (!pack(a, w + 2 * kPadding, h + 2 * kPadding, &page, &px, &py)) return nullptr;
    slot.page = page;
    slot.rec = Rectangle{(float)(px + kPadding), (float)(py + kPadding), (float)w, (float)h};
    if (!coverage.empty() && a.pages[page].uploaded) {
        std::vector<unsigned char> rgba((size_t)w * h * 4);
        for (size_t i = 0; i < coverage.size(); i++) {
            rgba[4 * i] = rgba[4 * i + 1] = rgba[4 * i + 2] = 255;
            rgba[4 * i + 3] = coverage[i];
        }
        glBindTexture(GL_TEXTURE_2D, a.pages[page].texture);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glTexSubImage2D(GL_TEXTURE_2D, 0, px + kPadding, py + kPadding, w, h, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
        glBindTexture(GL_TEXTURE_2D, 0);
    }
    slot.coverage = std::move(coverage);
    return &a.glyphs.emplace(cp, std::move(slot)).first->second;
}

// Glyph index of cp in the fallback file, 0 when there is none or it lacks cp.
int fallback_glyph(const FontAtlas& a, int cp) {
    if (a.fallbackFile.empty() || cp < kFirstAscii) return 0;
    return stbtt_FindGlyphIndex(&a.fallbackInfo, cp);
}

// The glyph drawn for cp: the font's own, else the fallback file's,
// rasterised on first use, or "?" when neither file has it (as raylib shows
// code points it did not load).
const GlyphSlot* glyph_for(FontAtlas& a, int cp) {
    auto it = a.glyphs.find(cp);
    if (it != a.glyphs.end()) return &it->second;
    if (a.fallback.count(cp)) return glyph_for(a, '?');
    int g = cp >= kFirstAscii ? stbtt_FindGlyphIndex(&a.info, cp) : 0;
    if (g != 0 || cp == '?') return rasterise(a, cp, g, a.info, a.scale);
    int fg = fallback_glyph(a, cp);
    if (fg != 0) return rasterise(a, cp, fg, a.fallbackInfo, a.fallbackScale);
    a.fallback.emplace(cp, '?');
    return glyph_for(a, '?');
}

// raylib's UTF-8 reading: a malformed sequence gives '?' and advances one byte.
int next_codepoint(const char* text, int* size) {
    const unsigned char* p = (const unsigned char*)text;
    *size = 1;
    if ((p[0] & 0xf8) == 0xf0) {
        if ((p[1] & 0xc0) != 0x80 || (p[2] & 0xc0) != 0x80 || (p[3] & 0xc0) != 0x80) return '?';
        *size = 4;
        return ((p[0] & 0x07) << 18) | ((p[1] & 0x3f) << 12) | ((p[2] & 0x3f) << 6) | (p[3] & 0x3f);
    }
    if ((p[0] & 0xf0) == 0xe0) {
        if ((p[1] & 0xc0) != 0x80 || (p[2] & 0xc0) != 0x80) return '?';
        *size = 3;
        return ((p[0] & 0x0f) << 12) | ((p[1] & 0x3f) << 6) | (p[2] & 0x3f);
    }
    if ((p[0] & 0xe0) == 0xc0) {
        if ((p[1] & 0xc0) != 0x80) return '?';
        *size = 2;
        return ((p[0] & 0x1f) << 6) | (p[1] & 0x3f);
    }
    if ((p[0] & 0x80) == 0) return p[0];
    return '?';
}

bool read_file(const char* path, std::vector<unsigned char>* out) {
    FILE* f = path ? std::fopen(path, "rb") : nullptr;
    if (!f) return false;
    unsigned char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out->insert(out->end(), buffer, buffer + n);
    std::fclose(f);
    return !out->empty();
}

// ---- Texts composed into one image ------------------------------------------------

// v when it is a whole number (to float precision): layout steps that keep
// every glyph on the base-size pixel grid.
bool whole(float v, int* out) {
    float r = std::round(v);
    if (!(std::fabs(r) <= 1e6f) || std::fabs(v - r) > 1e-4f * std::fmax(1.0f, std::fabs(v))) return false;
    *out = (int)r;
    return true;
}

void free_image(TextImage& t) {
    if (t.texture == 0) return;
    // A texture of an older context died with it; its id may name a new one now.
    if (t.generation == GFX_CONTEXT_GENERATION && gfx_has_context())
        UnloadTexture(Texture2D{t.texture, t.width, t.height, 1, PIXELFORMAT_UNCOMPRESSED_R8G8B8A8});
    TEXT_BYTES -= (size_t)t.width * (size_t)t.height * 4;
    TEXT_IMAGES--;
    t.texture = 0;
}

// Forget texts no font drew for kTextKeepFrames, and images of a lost context.
void sweep_texts() {
    TEXT_SWEPT = GFX_FRAME;
    for (auto& [recs, atlas] : ATLASES) {
        (void)recs;
        for (auto it = atlas->texts.begin(); it != atlas->texts.end();) {
            TextImage& t = it->second;
            if (t.texture != 0 && t.generation != GFX_CONTEXT_GENERATION) free_image(t);
            if (GFX_FRAME - t.lastFrame > (unsigned long long)kTextKeepFrames) {
                free_image(t);
                it = atlas->texts.erase(it);
                TEXT_ENTRIES--;
            } else {
                ++it;
            }
        }
    }
}

enum class Composed { Done, Unfit, NoRoom };

struct Placed {
    const GlyphSlot* glyph;
    int x, y;  // top-left of the glyph's coverage, base-size pixels from the text's origin
};

// Lay text out at the base size as DrawTextPro does, blend every glyph's
// coverage into one white RGBA image and upload it into t.
Composed compose(FontAtlas& a, const char* text, float fontSize, float spacing, float scale, TextImage& t) {
    int step = 0, lineStep = 0;
    if (!whole(spacing / scale, &step)) return Composed::Unfit;
    if (std::strchr(text, '\n') && !whole((fontSize + (float)kLineSpacing) / scale, &lineStep)) return Composed::Unfit;
    std::vector<Placed> placed;
    int left = 0, top = 0, right = 0, bottom = 0;
    int x = 0, y = 0;
    int size = (int)std::strlen(text);
    for (int i = 0; i < size;) {
        int next = 1;
        int cp = next_codepoint(&text[i], &next);
        i += next;
        if (cp == '\n') {
            x = 0;
            y += lineStep;
            continue;
        }
        const GlyphSlot* g = glyph_for(a, cp);
        if (!g) continue;
        if (cp != ' ' && cp != '\t') {
            if (!a.pages[g->page].uploaded) return Composed::Unfit;
            // The padded box the atlas quad covers, so the image spans the same area.
            int gx = x + g->info.offsetX, gy = y + g->info.offsetY;
            int x0 = gx - kPadding, y0 = gy - kPadding;
            int x1 = gx + (int)g->rec.width + kPadding, y1 = gy + (int)g->rec.height + kPadding;
            if (placed.empty()) {
                left = x0, top = y0, right = x1, bottom = y1;
            } else {
                left = std::min(left, x0), top = std::min(top, y0);
                right = std::max(right, x1), bottom = std::max(bottom, y1);
            }
            placed.push_back(Placed{g, gx, gy});
        }
        x += (g->info.advanceX == 0 ? (int)g->rec.width : g->info.advanceX) + step;
    }
    if (placed.size() < 2) return Composed::Unfit;  // one quad already
    int w = right - left, h = bottom - top;
    if (w <= 0 || h <= 0 || w > kTextMaxEdge || h > kTextMaxEdge) return Composed::Unfit;
    size_t bytes = (size_t)w * (size_t)h * 4;
    if (TEXT_BYTES + bytes > kTextMaxBytes) return Composed::NoRoom;

    std::vector<unsigned char> rgba(bytes, 255);
    for (size_t i = 3; i < bytes; i += 4) rgba[i] = 0;
    for (const Placed& p : placed) {
        int gw = (int)p.glyph->rec.width, gh = (int)p.glyph->rec.height;
        const std::vector<unsigned char>& cov = p.glyph->coverage;
        if (cov.size() != (size_t)gw * (size_t)gh) continue;
        for (int row = 0; row < gh; row++) {
            unsigned char* out = &rgba[(((size_t)(p.y - top + row)) * (size_t)w + (size_t)(p.x - left)) * 4 + 3];
            const unsigned char* in = &cov[(size_t)row * gw];
            for (int col = 0; col < gw; col++, out += 4) {
                // Overlapping glyphs add coverage as the blend would: 1 - (1-a)(1-b).
                unsigned int c = in[col];
                if (c != 0) *out = (unsigned char)(255 - ((255 - *out) * (255 - c) + 127) / 255);
            }
        }
    }
    Texture2D tex = LoadTextureFromImage(Image{rgba.data(), w, h, 1, PIXELFORMAT_UNCOMPRESSED_R8G8B8A8});
    if (tex.id == 0) return Composed::NoRoom;
    t.texture = tex.id;
    t.generation = GFX_CONTEXT_GENERATION;
    t.width = w, t.height = h;
    t.left = left, t.top = top;
    TEXT_BYTES += bytes;
    TEXT_IMAGES++;
    return Composed::Done;
}

// The composed image of text, making it on the second frame it is drawn;
// null while it is (or must stay) drawn glyph by glyph.
const TextImage* text_image(FontAtlas& a, const char* text, float fontSize, float spacing, float scale) {
    if (GFX_FRAME - TEXT_SWEPT >= (unsigned long long)kTextSweepFrames) sweep_texts();
    std::string key(sizeof fontSize + sizeof spacing, '\0');
    std::memcpy(&key[0], &fontSize, sizeof fontSize);
    std::memcpy(&key[sizeof fontSize], &spacing, sizeof spacing);
    key += text;
    auto it = a.texts.find(key);
    if (it == a.texts.end()) {
        if (TEXT_ENTRIES >= kTextMaxEntries) return nullptr;
        TextImage fresh;
        fresh.firstFrame = fresh.lastFrame = GFX_FRAME;
        a.texts.emplace(std::move(key), fresh);
        TEXT_ENTRIES++;
        return nullptr;
    }
    TextImage& t = it->second;
    t.lastFrame = GFX_FRAME;
    if (t.texture != 0 && t.generation != GFX_CONTEXT_GENERATION) free_image(t);
    if (t.texture == 0 && !t.unfit && t.firstFrame != GFX_FRAME) {
        if (compose(a, text, fontSize, spacing, scale, t) == Composed::Unfit) t.unfit = true;
    }
    return t.texture != 0 ? &t : nullptr;
}

}  // namespace

Font LoadFont(const char* fileName) {
    Font font = {};
    font.baseSize = kBaseSize;
    font.glyphPadding = kPadding;
    auto a = std::make_unique<FontAtlas>();
    // A file that is no font has no offset (-1); stb_truetype must not be given it.
    int offset = -1;
    if (read_file(fileName, &a->file) && a->file.size() >= 12) offset = stbtt_GetFontOffsetForIndex(a->file.data(), 0);
    if (offset < 0 || !stbtt_InitFont(&a->info, a->file.data(), offset)) {
        std::printf("WARNING: FONT: Failed to load font: %s\n", fileName ? fileName : "(null)");
        std::fflush(stdout);
        return font;
    }
    a->scale = stbtt_ScaleForPixelHeight(&a->info, (float)kBaseSize);
    int ascent = 0, descent = 0, lineGap = 0;
    stbtt_GetFontVMetrics(&a->info, &ascent, &descent, &lineGap);
    a->ascent = (int)((float)ascent * a->scale);

    const int count = kLastAscii - kFirstAscii + 1;
    font.recs = (Rectangle*)std::calloc(count, sizeof(Rectangle));
    font.glyphs = (GlyphInfo*)std::calloc(count, sizeof(GlyphInfo));
    if (!font.recs || !font.glyphs) {
        std::free(font.recs);
        std::free(font.glyphs);
        return Font{kBaseSize, 0, kPadding, {}, nullptr, nullptr};
    }
    for (int i = 0; i < count; i++) {
        const GlyphSlot* s = glyph_for(*a, kFirstAscii + i);
        if (!s) continue;
        font.recs[i] = s->rec;
        font.glyphs[i] = s->info;
        font.glyphs[i].value = kFirstAscii + i;
    }
    font.glyphCount = count;
    if (a->pages.empty()) {
        std::free(font.recs);
        std::free(font.glyphs);
        return Font{kBaseSize, 0, kPadding, {}, nullptr, nullptr};
    }
    font.texture.id = a->pages[0].texture;
    font.texture.width = kPageSize;
    font.texture.height = kPageSize;
    font.texture.mipmaps = 1;
    font.texture.format = PIXELFORMAT_UNCOMPRESSED_R8G8B8A8;
    ATLASES.emplace(font.recs, std::move(a));
    return font;
}

void UnloadFont(Font font) {
    auto it = font.recs ? ATLASES.find(font.recs) : ATLASES.end();
    if (it == ATLASES.end()) return;
    if (gfx_has_context()) gfx_batch_flush();
    gfx_request_redraw();  // the pages' ids may come back as other textures
    for (auto& entry : it->second->texts) free_image(entry.second);
    TEXT_ENTRIES -= it->second->texts.size();
    for (const AtlasPage& page : it->second->pages) {
        if (page.uploaded && gfx_has_context()) {
            GLuint id = page.texture;
            glDeleteTextures(1, &id);
        }
    }
    ATLASES.erase(it);
    std::free(font.recs);
    std::free(font.glyphs);
}

bool IsFontReady(Font font) {
    return font.texture.id != 0;
}

Vector2 MeasureTextEx(Font font, const char* text, float fontSize, float spacing) {
    FontAtlas* a = atlas_of(font);
    if (!a || !text || text[0] == '\0') return Vector2{0, 0};
    int size = (int)std::strlen(text);
    int tempByteCounter = 0;  // most code points on one line
    int byteCounter = 0;      // code points on the current line
    float textWidth = 0, tempTextWidth = 0;
    float textHeight = fontSize;
    float scaleFactor = fontSize / (float)font.baseSize;
    for (int i = 0; i < size;) {
        byteCounter++;
        int next = 1;
        int letter = next_codepoint(&text[i], &next);
        i += next;
        if (letter != '\n') {
            const GlyphSlot* s = glyph_for(*a, letter);
            if (s) textWidth += s->info.advanceX != 0 ? (float)s->info.advanceX : s->rec.width + (float)s->info.offsetX;
        } else {
            if (tempTextWidth < textWidth) tempTextWidth = textWidth;
            byteCounter = 0;
            textWidth = 0;
            textHeight += fontSize + (float)kLineSpacing;
        }
        if (tempByteCounter < byteCounter) tempByteCounter = byteCounter;
    }
    if (tempTextWidth < textWidth) tempTextWidth = textWidth;
    return Vector2{tempTextWidth * scaleFactor + (float)(tempByteCounter - 1) * spacing, textHeight};
}

void DrawTextPro(Font font, const char* text, Vector2 position, Vector2 origin, float rotation, float fontSize,
                 float spacing, Color tint) {
    FontAtlas* a = atlas_of(font);
    if (!a || !text) return;
    float rad = rotation * (3.14159265358979323846f / 180.0f);
    float c = std::cos(rad), s = std::sin(rad);
    // position, then the turn, then -origin, applied to text laid out from (0, 0).
    GFX_TRANSFORM = GfxTransform{c, s, -s, c, position.x - (c * origin.x - s * origin.y),
                                 position.y - (s * origin.x + c * origin.y)};
    const float scale = fontSize / (float)font.baseSize;
    const float pad = (float)font.glyphPadding;
    if (text[0] != '\0' && text[1] != '\0' && scale > 0 && gfx_has_context()) {
        if (const TextImage* t = text_image(*a, text, fontSize, spacing, scale)) {
            Texture2D tex = {t->texture, t->width, t->height, 1, PIXELFORMAT_UNCOMPRESSED_R8G8B8A8};
            Rectangle src = {0, 0, (float)t->width, (float)t->height};
            Rectangle dst = {(float)t->left * scale, (float)t->top * scale, (float)t->width * scale,
                             (float)t->height * scale};
            DrawTexturePro(tex, src, dst, Vector2{0, 0}, 0.0f, tint);
            GFX_TRANSFORM = GfxTransform{1, 0, 0, 1, 0, 0};
            return;
        }
    }
    float x = 0, y = 0;
    int size = (int)std::strlen(text);
    for (int i = 0; i < size;) {
        int next = 1;
        int cp = next_codepoint(&text[i], &next);
        i += next;
        if (cp == '\n') {
            x = 0;
            y += fontSize + (float)kLineSpacing;
            continue;
        }
        const GlyphSlot* g = glyph_for(*a, cp);
        if (!g) continue;
        if (cp != ' ' && cp != '\t') {
            const AtlasPage& page = a->pages[g->page];
            if (page.uploaded) {
                Texture2D tex = {page.texture, kPageSize, kPageSize, 1, PIXELFORMAT_UNCOMPRESSED_R8G8B8A8};
                Rectangle src = {g->rec.x - pad, g->rec.y - pad, g->rec.width + 2 * pad, g->rec.height + 2 * pad};
                Rectangle dst = {x + (float)g->info.offsetX * scale - pad * scale,
                                 y + (float)g->info.offsetY * scale - pad * scale, src.width * scale,
                                 src.height * scale};
                DrawTexturePro(tex, src, dst, Vector2{0, 0}, 0.0f, tint);
            }
        }
        x += g->info.advanceX == 0 ? g->rec.width * scale + spacing : (float)g->info.advanceX * scale + spacing;
    }
    GFX_TRANSFORM = GfxTransform{1, 0, 0, 1, 0, 0};
}

int gfx_text_images(void) {
    return TEXT_IMAGES;
}

int gfx_font_loaded_glyphs(Font font) {
    FontAtlas* a = atlas_of(font);
    return a ? (int)a->glyphs.size() : 0;
}

bool gfx_font_has_codepoint(Font font, int codepoint) {
    FontAtlas* a = atlas_of(font);
    return a && codepoint >= kFirstAscii &&
           (stbtt_FindGlyphIndex(&a->info, codepoint) != 0 || fallback_glyph(*a, codepoint) != 0);
}

bool gfx_font_add_fallback(Font font, const char* fileName) {
    FontAtlas* a = atlas_of(font);
    if (!a) return false;
    std::vector<unsigned char> file;
    int offset = -1;
    if (read_file(fileName, &file) && file.size() >= 12) offset = stbtt_GetFontOffsetForIndex(file.data(), 0);
    stbtt_fontinfo info;
    if (offset < 0 || !stbtt_InitFont(&info, file.data(), offset)) return false;
    // info points into the bytes; moving the vector keeps its buffer.
    a->fallbackFile = std::move(file);
    a->fallbackInfo = info;
    a->fallbackScale = stbtt_ScaleForPixelHeight(&a->fallbackInfo, (float)kBaseSize);
    // Code points that showed "?" so far may have a glyph now.
    a->fallback.clear();
    return true;
}
