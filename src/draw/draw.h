// Drawing one drawable of one element under the shared placement rule:
// images, nine-slice panels, colour rectangles and text, with the texture,
// font and wrapped-text caches, and colour strings.
//
// Placement rule (every kind): offset (ox, oy) and rotation r of the drawable,
// with ox and r negated while the element is flipped; centre = element position
// + (ox, oy) turned by the element's rotation (degrees, clockwise on screen);
// angle = element rotation + r; the drawable is centred on that point and
// turns about its own centre.
//
// Threads: main thread only, and the drawing functions only between
// BeginDrawing and EndDrawing after the window is open. The caches have no
// lock because no other thread touches them. ColorFromHex and ColorToHex are
// pure and may be called from any thread.
#pragma once

#include <map>
#include <string>

#include "element/element.h"
#include "gfx/raylib.h"

// ---- An element's drawables (drawables.cpp) ----------------------------------------
Vector2 getDrawableSize(Element* e, Drawable d);       // d.size, or the measured size of a text drawable
void drawElement(Element* e);                          // Draw every drawable, first to last
int getDrawableAtPosition(Element* e, Vector2 point);  // Index of the topmost drawable under point, or -1
std::string describeElement(Element* e);               // One line for logging, ends in "\n"

// ---- Sprites and nine-slice panels -------------------------------------------
// Textures by relative path (source + ".png", without cwd). Grows on first
// use, never shrinks while running; a file that failed to load stays cached as
// the empty texture. cleanup unloads them all at shutdown.
extern std::map<std::string, Texture> SPRITES;

void drawElement(Element* e, Drawable d);       // Draw one drawable by type; unknown types draw nothing
void drawSprite(Element* e, Drawable d);        // Image drawable: texture source + ".png" stretched to d.size
// Draw texture under the placement rule with offset and size in place of the
// drawable's own (the drawable gives rotation and colour); mirrored when flipped.
void drawSpriteEx(Element* e, Drawable d, Texture texture, Vector2 offset, Vector2 size);
// The same for the part source of texture (texture pixels): one frame of a strip.
void drawSpritePart(Element* e, Drawable d, Texture texture, Rectangle source, Vector2 offset, Vector2 size);
Texture fetchTexture(std::string path);         // Cached texture of cwd + path, loaded on first use
void drawNineSlice(Element* e, Drawable d);     // Nine pieces source + ".tl" ... ".br" + ".png" around d.offset

// ---- Fonts and text -----------------------------------------------------------
// A compiled text source. font is a shallow copy of the cached font (all zero
// when the source is not "path:size:text"); nothing here needs releasing.
struct CompiledText {
    Font font = {};        // from FONTS
    int fontSize = 0;      // the source's size part
    std::string text;      // wrapped lines joined by "\n", no trailing "\n"
};

// The measuring function used by wrapping, getDrawableSize and drawText:
// raylib's MeasureTextEx. Tests may put a fake here (main thread only).
typedef Vector2 (*TextMeasureFn)(Font font, const char* text, float fontSize, float spacing);
extern TextMeasureFn TEXT_MEASURE;

extern std::map<std::string, Font> FONTS;             // fonts by relative path; cleanup unloads them
// Wrapped texts by key: std::to_string(wrap width) + ":" + source. The letter
// spacing is not part of the key. In two generations, so that a busy chat's
// stream of texts does not keep every text it ever showed: TEXT_CACHE takes
// new entries and, once it holds TEXT_CACHE_GENERATION, becomes
// TEXT_CACHE_PREVIOUS (the one before is dropped); an entry found only in
// the previous generation moves back into TEXT_CACHE. So at most twice that
// many entries are kept, and a text drawn every frame is wrapped once.
inline constexpr size_t TEXT_CACHE_GENERATION = 4096;
extern std::map<std::string, std::string> TEXT_CACHE;
extern std::map<std::string, std::string> TEXT_CACHE_PREVIOUS;

// File name of the fallback font looked up beside every font file for the
// characters it lacks: GNU Unifont's supplementary planes (emoji), on the
// same 16-pixel grid as the main file.
inline constexpr const char* FONT_FALLBACK_FILE = "unifont_upper.otf";
// Cached font of cwd + path, loaded on first use, with FONT_FALLBACK_FILE
// from the same folder as its fallback when that file is there.
Font fetchFont(std::string path);
CompiledText compileText(Element* e, Drawable d);     // Parse d.source, fetch the font, wrap to d.size.x (e unused)
void drawText(Element* e, Drawable d);                // Text block centred under the placement rule, never mirrored
// Break text into lines whose measured width (truncated to int) is at most
// width, each line taking the code point that first made it too wide. Breaks
// fall between UTF-8 code points, never inside one. width <= 0: one line.
std::string wrapText(const std::string& text, Font font, int fontSize, float width, float spacing,
                     TextMeasureFn measure);

// ---- Colour strings -------------------------------------------------------------
Color ColorFromHex(std::string hex);                  // "#rgb", "rrggbb", "rrggbbaa"...; opaque black when unreadable
std::string ColorToHex(Color color);                  // "#" + eight lower-case hex digits (r, g, b, a)
