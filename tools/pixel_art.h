// The companion's pictures as source: palette-coded pixel grids and the small
// compositor that assembles the mascot's poses and the nine-slice frames from
// them. Used only by the build-time generator gen_assets; single-threaded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pixel_art {

struct Rgba {
    uint8_t r, g, b, a;  // straight (not premultiplied) alpha; a = 0 is transparent
};

// An RGBA picture, rows top to bottom, 4 bytes per pixel.
struct Image {
    int w = 0, h = 0;
    std::vector<uint8_t> px;  // w * h * 4 bytes

    Image() = default;
    Image(int width, int height) : w(width), h(height), px(size_t(width) * height * 4, 0) {}
    Rgba get(int x, int y) const;            // transparent outside the picture
    void set(int x, int y, Rgba c);          // ignored outside the picture
    void blend(int x, int y, Rgba c);        // "over" compositing; ignored outside
};

// A palette-coded grid: one string per row, one character per pixel; '.' is
// transparent, every other character is looked up in the palette.
using Grid = std::vector<std::string>;

struct Pose {
    std::string name;  // "idle", "walk", ... "held_2", or "guy" (the start-up picture)
    Image image;       // 32 x 32, facing right
};

struct NineSlice {
    Image pieces[9];  // in PIECE_NAMES order
    const Image& piece(const std::string& name) const;  // the piece with that name
};

// Piece order of a nine-slice frame: top row, middle row, bottom row; left to right.
extern const char* const PIECE_NAMES[9];

Image grid_image(const Grid& g);   // decodes a grid through the palette
std::vector<Pose> build_poses();   // every mascot pose plus "guy"
std::vector<Image> build_icon();   // the idle mascot's face at 16, 24 and 32 px, for vimo.ico
NineSlice build_bubble();          // white speech bubble, 8-pixel borders, rounded
NineSlice build_blockspawner();    // full-window frame for the block spawner, drawn with an orange tint

}  // namespace pixel_art
