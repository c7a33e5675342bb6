// Pixel grids of the mascot (a round lavender creature with a leaf sprout) and
// of the two nine-slice frames, and the recipes that put the poses together.
// Light comes from the upper left; the mascot faces right (the program mirrors
// it when it walks left).
#include "pixel_art.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace pixel_art {

const char* const PIECE_NAMES[9] = {"tl", "tc", "tr", "ml", "mc", "mr", "bl", "bc", "br"};

// ---------------------------------------------------------------------------
// Image

Rgba Image::get(int x, int y) const {
    if (x < 0 || y < 0 || x >= w || y >= h) return {0, 0, 0, 0};
    const uint8_t* p = &px[(size_t(y) * w + x) * 4];
    return {p[0], p[1], p[2], p[3]};
}

void Image::set(int x, int y, Rgba c) {
    if (x < 0 || y < 0 || x >= w || y >= h) return;
    uint8_t* p = &px[(size_t(y) * w + x) * 4];
    p[0] = c.r, p[1] = c.g, p[2] = c.b, p[3] = c.a;
}

void Image::blend(int x, int y, Rgba c) {
    if (c.a == 0) return;
    Rgba d = get(x, y);
    float sa = c.a / 255.0f, da = d.a / 255.0f, oa = sa + da * (1 - sa);
    auto mix = [&](uint8_t s, uint8_t t) { return uint8_t((s * sa + t * da * (1 - sa)) / oa + 0.5f); };
    set(x, y, {mix(c.r, d.r), mix(c.g, d.g), mix(c.b, d.b), uint8_t(oa * 255 + 0.5f)});
}

const Image& NineSlice::piece(const std::string& name) const {
    for (int i = 0; i < 9; i++)
        if (name == PIECE_NAMES[i]) return pieces[i];
    std::abort();  // a misspelt piece name is a bug in this generator
}

// ---------------------------------------------------------------------------
// Palette: one character per colour, shared by every grid.

static const std::map<char, Rgba>& palette() {
    static const std::map<char, Rgba> p = {
        {'o', {42, 29, 69, 255}},     // outline, dark plum
        {'b', {183, 163, 245, 255}},  // body lavender
        {'s', {140, 118, 220, 255}},  // body shadow
        {'h', {228, 219, 255, 255}},  // body highlight
        {'d', {106, 85, 184, 255}},   // feet, deep shadow
        {'e', {29, 21, 51, 255}},     // eyes
        {'W', {255, 255, 255, 255}},  // white: eye glints, bubble fill
        {'c', {255, 143, 179, 255}},  // cheeks
        {'m', {122, 33, 64, 255}},    // mouth
        {'t', {255, 111, 142, 255}},  // tongue
        {'g', {123, 214, 106, 255}},  // leaf
        {'G', {62, 154, 74, 255}},    // leaf shadow
        {'y', {255, 216, 74, 255}},   // yellow: stars, sparkles
        {'Y', {255, 166, 41, 255}},   // orange: star shading
        {'a', {159, 232, 255, 255}},  // air: motion lines, sweat
        {'A', {74, 160, 214, 255}},   // air shading
        {'u', {236, 232, 226, 230}},  // dust puff
        {'U', {190, 182, 172, 230}},  // dust shade
        {'l', {214, 214, 230, 255}},  // bubble inner shade
        {'k', {60, 60, 60, 255}},     // panel dark line (tinted to dark orange)
        {'q', {255, 255, 255, 28}},   // panel wash: faint, the desktop shows through
        {'z', {255, 236, 120, 110}},  // glow halo while live
    };
    return p;
}

Image grid_image(const Grid& g) {
    int w = 0;
    for (const std::string& row : g) w = std::max(w, int(row.size()));
    Image img(w, int(g.size()));
    for (int y = 0; y < img.h; y++)
        for (int x = 0; x < int(g[y].size()); x++) {
            char ch = g[y][x];
            if (ch == '.') continue;
            auto it = palette().find(ch);
            if (it == palette().end()) {
                std::fprintf(stderr, "pixel_art: no colour for '%c'\n", ch);
                std::abort();
            }
            img.set(x, y, it->second);
        }
    return img;
}

// ---------------------------------------------------------------------------
// Grid operations

static Grid flip_x(Grid g) {
    for (std::string& row : g) std::reverse(row.begin(), row.end());
    return g;
}

static Grid flip_y(Grid g) {
    std::reverse(g.begin(), g.end());
    return g;
}

// Draws a grid onto a canvas with its top-left at (x, y); '.' leaves the canvas as it is.
static void stamp(Image& c, const Grid& g, int x, int y) {
    Image part = grid_image(g);
    for (int j = 0; j < part.h; j++)
        for (int i = 0; i < part.w; i++) c.blend(x + i, y + j, part.get(i, j));
}

// Quarter turn clockwise (square canvases only).
static Image rotate_cw(const Image& src) {
    Image out(src.h, src.w);
    for (int y = 0; y < src.h; y++)
        for (int x = 0; x < src.w; x++) out.set(src.h - 1 - y, x, src.get(x, y));
    return out;
}

static Image shift(const Image& src, int dx, int dy) {
    Image out(src.w, src.h);
    for (int y = 0; y < src.h; y++)
        for (int x = 0; x < src.w; x++) out.set(x + dx, y + dy, src.get(x, y));
    return out;
}

// A one-pixel translucent halo around everything opaque (the live pose's glow).
static void halo(Image& img, Rgba c) {
    Image src = img;
    for (int y = 0; y < img.h; y++)
        for (int x = 0; x < img.w; x++) {
            if (src.get(x, y).a != 0) continue;
            bool near = src.get(x - 1, y).a == 255 || src.get(x + 1, y).a == 255 || src.get(x, y - 1).a == 255 ||
                        src.get(x, y + 1).a == 255;
            if (near) img.set(x, y, c);
        }
}

// ---------------------------------------------------------------------------
// Mascot parts. Body grids are full 32 x 32 canvases; the others are small
// stamps placed by the pose recipes below.

static const Grid BODY_ROUND = {
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
    "............oooooooo............",
    ".........ooohhhhhhbbooo.........",
    "........ohhhhbbbbbbbbbbo........",
    ".......ohhbbbbbbbbbbbbbbo.......",
    "......ohhbhhbbbbbbbbbbbbbo......",
    ".....ohhbhhbbbbbbbbbbbbbbso.....",
    "....ohhbbbbbbbbbbbbbbbbbbbso....",
    "....ohbbbbbbbbbbbbbbbbbbbbso....",
    "...ohhbbbbbbbbbbbbbbbbbbbbsso...",
    "...ohbbbbbbbbbbbbbbbbbbbbbsso...",
    "...ohbbbbbbbbbbbbbbbbbbbbbsso...",
    "...ohbbbbbbbbbbbbbbbbbbbbbsso...",
    "...ohbbbbbbbbbbbbbbbbbbbbssso...",
    "...osbbbbbbbbbbbbbbbbbbbbssso...",
    "....osbbbbbbbbbbbbbbbbbbssso....",
    "....ossbbbbbbbbbbbbbbbbsssso....",
    ".....osssbbbbbbbbbbbbssssso.....",
    "......osssssssssssssssssso......",
    ".......osssssssssssssssso.......",
    "........oossssssssssssoo........",
    "..........oooooooooooo..........",
    "................................",
    "................................",
    "................................",
};

static const Grid BODY_SQUASHED = {
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
    ".............oooooo.............",
    "........ooooohhhhhbooooo........",
    "......oohhhhhhbbbbbbbbbboo......",
    "....oohhhbbbbbbbbbbbbbbbbboo....",
    "...ohhhbhhbbbbbbbbbbbbbbbbbso...",
    "..ohhbbbbbbbbbbbbbbbbbbbbbbbso..",
    "..ohbbbbbbbbbbbbbbbbbbbbbbbbso..",
    ".ohhbbbbbbbbbbbbbbbbbbbbbbbbsso.",
    ".ohbbbbbbbbbbbbbbbbbbbbbbbbssso.",
    ".ohbbbbbbbbbbbbbbbbbbbbbbbbssso.",
    "..osssbbbbbbbbbbbbbbbbbbssssso..",
    "..osssssssbbbbbbbbbbssssssssso..",
    "...osssssssssssssssssssssssso...",
    "....ooossssssssssssssssssooo....",
    ".......oooossssssssssoooo.......",
    "...........oooooooooo...........",
    "................................",
    "................................",
};

static const Grid BODY_STRETCHED = {
    "................................",
    "................................",
    "................................",
    ".............oooooo.............",
    "...........oohhhhhboo...........",
    "..........ohhhbbbbbbbo..........",
    ".........ohhbbbbbbbbbbo.........",
    "........ohhbhhbbbbbbbbso........",
    ".......ohhbhhbbbbbbbbbbso.......",
    ".......ohbbbbbbbbbbbbbbso.......",
    "......ohhbbbbbbbbbbbbbbsso......",
    "......ohbbbbbbbbbbbbbbbsso......",
    "......ohbbbbbbbbbbbbbbbbso......",
    "......ohbbbbbbbbbbbbbbbbso......",
    ".....ohhbbbbbbbbbbbbbbbbsso.....",
    ".....ohbbbbbbbbbbbbbbbbbsso.....",
    ".....ohbbbbbbbbbbbbbbbbssso.....",
    ".....ohbbbbbbbbbbbbbbbbssso.....",
    "......obbbbbbbbbbbbbbbbsso......",
    "......obbbbbbbbbbbbbbbbsso......",
    "......obbbbbbbbbbbbbbbssso......",
    "......osbbbbbbbbbbbbbbssso......",
    ".......osbbbbbbbbbbbbssso.......",
    ".......osssbbbbbbbbssssso.......",
    "........osssssssssssssso........",
    ".........osssssssssssso.........",
    "..........oossssssssoo..........",
    "............oooooooo............",
    "................................",
    "................................",
    "................................",
    "................................",
};

// Eyes. The right-hand eye of a pair is the same stamp unless noted.
static const Grid EYE_OPEN = {
    ".e.",
    "eWe",
    "eee",
    "eee",
    ".e.",
};
static const Grid EYE_WIDE = {  // surprised: bigger, two glints
    ".ee.",
    "eWee",
    "eeee",
    "eeWe",
    ".ee.",
};
static const Grid EYE_HAPPY = {  // closed, smiling arcs
    ".e.",
    "e.e",
};
static const Grid EYE_SQUINT = {  // ">" for the left eye; mirrored for the right
    "e..",
    ".ee",
    "e..",
};
static const Grid EYE_SQUINT_R = flip_x(EYE_SQUINT);  // "<"
static const Grid EYE_SPIRAL = {  // dizzy
    ".eee.",
    "e...e",
    "e.e.e",
    "e..e.",
    ".ee..",
};
static const Grid EYE_STAR = {  // live: sparkling
    "..Y..",
    "..y..",
    "YyWyY",
    ".yyy.",
    ".Y.Y.",
};

// Mouths
static const Grid MOUTH_SMILE = {
    "m..m",
    ".mm.",
};
static const Grid MOUTH_OPEN = {
    "mmmm",
    "mttm",
    ".mm.",
};
static const Grid MOUTH_O = {
    ".mm.",
    "mttm",
    ".mm.",
};
static const Grid MOUTH_WAVY = {
    ".m.m.",
    "m.m.m",
};
static const Grid MOUTH_GRIN = {
    "mmmmm",
    "mtttm",
    ".mmm.",
};
static const Grid MOUTH_FLAT = {
    "mmm",
};

static const Grid CHEEK = {"cc"};

// Arms, drawn for the left side; mirrored for the right.
static const Grid ARM_DOWN = {
    ".o.",
    "obo",
    "obo",
    "oso",
    ".o.",
};
static const Grid ARM_UP = {  // raised up and outwards from the side, hand at the top left
    ".oo...",
    "obbo..",
    "ohbo..",
    "obbo..",
    ".obso.",
    ".obso.",
    "..osso",
    "...oo.",
};
static const Grid ARM_OUT = {  // held straight out to the side
    ".ooo.",
    "obbbo",
    "ossso",
    ".ooo.",
};

// Feet
static const Grid FOOT = {
    ".oooo.",
    "oddddo",
    ".oooo.",
};
static const Grid FOOT_DOWN = {  // pointing down, dangling
    ".oo.",
    "oddo",
    "oddo",
    ".oo.",
};

// Leaf sprout on top of the head.
static const Grid SPROUT = {
    "...ooo.",
    "..oggGo",
    ".ogggo.",
    ".oGoo..",
    "..o....",
    "..o....",
};
static const Grid SPROUT_UP = {  // blown straight up while falling
    ".ooo.",
    "oggGo",
    "oggGo",
    ".oGo.",
    "..o..",
    "..o..",
};

// Extras
static const Grid STAR_SMALL = {
    ".y.",
    "yYy",
    ".y.",
};
static const Grid SPARKLE = {
    "..W..",
    "..y..",
    "WyWyW",
    "..y..",
    "..W..",
};
static const Grid SWEAT = {
    ".A.",
    "AaA",
    "aWa",
    ".a.",
};
static const Grid SWOOSH = {  // a quarter arc of spin
    "....AAAA",
    "..AAaa..",
    ".Aa.....",
    "Aa......",
    "A.......",
};
static const Grid DUST = {
    "..uu..",
    ".uuUu.",
    "uuUUuu",
};
static const Grid PUFF = {  // small dust cloud kicked up by a step
    ".uu.",
    "uUuu",
    ".uu.",
};
static const Grid KICK = {  // little motion ticks beside a kicking foot
    "a.",
    ".a",
    "a.",
};

// ---------------------------------------------------------------------------
// Pose recipes

// Stamps a face: eyes 7 pixels apart, mouth between and below them, cheeks outside.
struct Face {
    const Grid* eye_l;
    const Grid* eye_r;
    const Grid* mouth;
    bool cheeks = true;
};

static void face(Image& c, const Face& f, int fx, int fy) {
    stamp(c, *f.eye_l, fx, fy);
    stamp(c, *f.eye_r, fx + 7, fy);
    int eye_h = int(f.eye_l->size());
    int my = fy + std::max(eye_h, 3) + 1;
    int mw = int((*f.mouth)[0].size());
    stamp(c, *f.mouth, fx + 5 - mw / 2, my);
    if (f.cheeks) {
        stamp(c, CHEEK, fx - 2, my);
        stamp(c, CHEEK, fx + 9 + 1, my);
    }
}

// The standing mascot, which most poses start from: round body resting on two feet.
static Image standing(const Face& f, const Grid& arm_l, const Grid& arm_r, int arm_y = 20) {
    Image c(32, 32);
    stamp(c, FOOT, 8, 29);
    stamp(c, FOOT, 18, 29);
    stamp(c, BODY_ROUND, 0, 2);
    stamp(c, SPROUT, 13, 5);
    face(c, f, 14, 15);
    stamp(c, arm_l, 1, arm_y);
    stamp(c, flip_x(arm_r), 31 - int(arm_r[0].size()), arm_y);
    return c;
}

static Image pose_idle() { return standing({&EYE_OPEN, &EYE_OPEN, &MOUTH_SMILE}, ARM_DOWN, ARM_DOWN); }

static Image pose_talk() { return standing({&EYE_OPEN, &EYE_OPEN, &MOUTH_OPEN}, ARM_DOWN, ARM_OUT, 19); }

static Image pose_guy() {
    // Waving hello with the front arm, eyes closed in a smile.
    Image c(32, 32);
    stamp(c, FOOT, 8, 29);
    stamp(c, FOOT, 18, 29);
    stamp(c, flip_x(ARM_UP), 24, 11);
    stamp(c, BODY_ROUND, 0, 2);
    stamp(c, SPROUT, 13, 5);
    face(c, {&EYE_HAPPY, &EYE_HAPPY, &MOUTH_OPEN}, 14, 16);
    stamp(c, ARM_DOWN, 1, 20);
    stamp(c, KICK, 29, 5);
    return c;
}

static Image pose_walk() {
    // Mid-stride: back foot pushing off, front foot forward and lifted, body bobbed
    // up a pixel and leaning into the step, a puff of dust kicked up behind.
    Image c(32, 32);
    stamp(c, FOOT, 4, 29);
    stamp(c, FOOT, 22, 27);
    stamp(c, BODY_ROUND, 1, 1);
    stamp(c, SPROUT, 12, 4);
    face(c, {&EYE_OPEN, &EYE_OPEN, &MOUTH_SMILE}, 16, 14);
    stamp(c, ARM_OUT, 0, 18);            // back arm swings behind
    stamp(c, flip_x(ARM_DOWN), 28, 19);  // front arm forward
    stamp(c, PUFF, 0, 26);
    return c;
}

static Image pose_jump() {
    // Stretched upwards, both arms high, feet together underneath, leaf swept back.
    Image c(32, 32);
    stamp(c, FOOT_DOWN, 11, 26);
    stamp(c, FOOT_DOWN, 17, 26);
    stamp(c, ARM_UP, 3, 7);
    stamp(c, flip_x(ARM_UP), 23, 7);
    stamp(c, BODY_STRETCHED, 0, 1);
    stamp(c, flip_x(SPROUT), 12, 0);
    face(c, {&EYE_HAPPY, &EYE_HAPPY, &MOUTH_OPEN}, 13, 11);
    return c;
}

static Image pose_fall() {
    // Arms flung up, wide eyes, round mouth, a drop of sweat, leaf blown up.
    Image c(32, 32);
    stamp(c, FOOT_DOWN, 9, 28);
    stamp(c, FOOT_DOWN, 19, 28);
    stamp(c, ARM_UP, 1, 10);
    stamp(c, flip_x(ARM_UP), 25, 10);
    stamp(c, BODY_ROUND, 0, 2);
    stamp(c, SPROUT_UP, 13, 4);
    face(c, {&EYE_WIDE, &EYE_WIDE, &MOUTH_O, false}, 13, 14);
    return c;
}

static Image pose_landed() {
    // Squashed flat against the ground, eyes squeezed shut, arms popped up, dust puffing out.
    Image c(32, 32);
    stamp(c, BODY_SQUASHED, 0, 2);
    stamp(c, SPROUT, 13, 12);
    face(c, {&EYE_SQUINT, &EYE_SQUINT_R, &MOUTH_FLAT}, 13, 22);
    stamp(c, DUST, 1, 29);
    stamp(c, flip_x(DUST), 25, 29);
    return c;
}

static Image pose_bumped() {
    // Dizzy after a bounce: spiral eyes, wobbly mouth, stars around the head.
    Image c(32, 32);
    stamp(c, FOOT, 8, 29);
    stamp(c, FOOT, 18, 29);
    stamp(c, BODY_ROUND, 0, 2);
    face(c, {&EYE_SPIRAL, &EYE_SPIRAL, &MOUTH_WAVY}, 12, 15);
    stamp(c, ARM_OUT, 0, 21);
    stamp(c, flip_x(ARM_OUT), 27, 21);
    stamp(c, STAR_SMALL, 6, 5);
    stamp(c, STAR_SMALL, 22, 3);
    stamp(c, STAR_SMALL, 25, 8);
    stamp(c, SPROUT, 13, 5);
    return c;
}

static Image pose_thrown() {
    // Tumbling through the air: the flailing mascot turned on its side, with swooshes.
    Image c(32, 32);
    stamp(c, FOOT_DOWN, 9, 27);
    stamp(c, FOOT_DOWN, 19, 27);
    stamp(c, ARM_UP, 1, 8);
    stamp(c, flip_x(ARM_UP), 25, 8);
    stamp(c, BODY_ROUND, 0, 0);
    stamp(c, SPROUT, 13, 3);
    face(c, {&EYE_WIDE, &EYE_WIDE, &MOUTH_OPEN, false}, 13, 13);
    Image r = rotate_cw(c);
    stamp(r, SWOOSH, 2, 2);
    stamp(r, flip_y(flip_x(SWOOSH)), 22, 25);
    return r;
}

static Image pose_wired() {
    // The stream is live: star eyes, big grin, arms up in cheer, sparkles and a glow.
    Image c(32, 32);
    stamp(c, FOOT_DOWN, 10, 27);
    stamp(c, FOOT_DOWN, 18, 27);
    stamp(c, ARM_UP, 1, 9);
    stamp(c, flip_x(ARM_UP), 25, 9);
    stamp(c, BODY_ROUND, 0, 1);
    stamp(c, SPROUT_UP, 13, 3);
    face(c, {&EYE_STAR, &EYE_STAR, &MOUTH_GRIN}, 12, 13);
    halo(c, palette().at('z'));
    stamp(c, SPARKLE, 1, 1);
    stamp(c, SPARKLE, 26, 1);
    stamp(c, STAR_SMALL, 28, 23);
    return c;
}

// Picked up by the pointer: arms raised to the grip, feet dangling and kicking
// in a three-frame wiggle (body swaying a pixel left, centre, right).
static Image pose_held(int frame) {
    const int sway[3] = {-1, 0, 1};
    Image c(32, 32);
    if (frame == 0) {
        stamp(c, FOOT_DOWN, 9, 26);
        stamp(c, FOOT_DOWN, 18, 28);
        stamp(c, KICK, 5, 27);
    } else if (frame == 1) {
        stamp(c, FOOT_DOWN, 10, 28);
        stamp(c, FOOT_DOWN, 18, 28);
    } else {
        stamp(c, FOOT_DOWN, 10, 28);
        stamp(c, FOOT_DOWN, 19, 26);
        stamp(c, flip_x(KICK), 25, 27);
    }
    stamp(c, ARM_UP, 2, 7);
    stamp(c, flip_x(ARM_UP), 24, 7);
    stamp(c, BODY_ROUND, 0, 1);
    stamp(c, SPROUT, 13, 4);
    const Grid* mouth = frame == 1 ? &MOUTH_O : &MOUTH_WAVY;
    face(c, {&EYE_OPEN, &EYE_OPEN, mouth}, 14, 14);
    if (frame != 1) stamp(c, SWEAT, 27, 15);
    return shift(c, sway[frame], 0);
}

std::vector<Pose> build_poses() {
    return {
        {"idle", pose_idle()},     {"walk", pose_walk()},     {"jump", pose_jump()},
        {"fall", pose_fall()},     {"landed", pose_landed()}, {"bumped", pose_bumped()},
        {"thrown", pose_thrown()}, {"talk", pose_talk()},     {"wired", pose_wired()},
        {"held_0", pose_held(0)},  {"held_1", pose_held(1)},  {"held_2", pose_held(2)},
        {"guy", pose_guy()},
    };
}

// ---------------------------------------------------------------------------
// The program's icon: the idle pose, which is all face, at 32 px as drawn, at
// 24 px averaged over the area each pixel covers (in premultiplied alpha, so
// the transparent background does not darken the outline; the eyes kept
// whole), and at 16 px a
// face of its own.

static Image scale_area(const Image& src, int size) {
    Image out(size, size);
    const double step = double(src.w) / size;
    for (int y = 0; y < size; y++)
        for (int x = 0; x < size; x++) {
            double sum[4] = {0, 0, 0, 0}, area = 0, eye = 0;
            Rgba eye_colour{};
            for (int sy = int(y * step); sy < src.h && sy < (y + 1) * step; sy++)
                for (int sx = int(x * step); sx < src.w && sx < (x + 1) * step; sx++) {
                    double wx = std::min<double>(sx + 1, (x + 1) * step) - std::max<double>(sx, x * step);
                    double wy = std::min<double>(sy + 1, (y + 1) * step) - std::max<double>(sy, y * step);
                    Rgba c = src.get(sx, sy);
                    double w = wx * wy, a = c.a / 255.0;
                    sum[0] += w * c.r * a, sum[1] += w * c.g * a, sum[2] += w * c.b * a, sum[3] += w * a;
                    area += w;
                    if (c.a == 255 && c.r < 60 && c.g < 60 && c.b < 60) eye += w, eye_colour = c;
                }
            double a = sum[3] / area;
            if (a <= 0) continue;
            // The eyes' near-black would average into the body's colour and the
            // face go blank: a pixel a third covered by it keeps it.
            if (eye >= area / 3) {
                out.set(x, y, eye_colour);
                continue;
            }
            auto channel = [&](double v) { return uint8_t(std::lround(std::clamp(v / sum[3], 0.0, 255.0))); };
            out.set(x, y, Rgba{channel(sum[0]), channel(sum[1]), channel(sum[2]), uint8_t(std::lround(a * 255))});
        }
    return out;
}

static const Grid ICON_16 = {  // the face alone, drawn for 16 px, where the pose's eyes would blur away
    "........gg......",
    ".......gG.......",
    ".....oooooo.....",
    "...oohhbbbbboo..",
    "..ohhbbbbbbbbbo.",
    ".ohbbbbbbbbbbbbo",
    ".obbbbbbbbbbbbso",
    "obbbbebbbbebbbso",
    "obbbbebbbbebbbso",
    "obbccbbbbbbccbso",
    "osbbbbmbbmbbbsso",
    "osbbbbbmmbbbbsso",
    ".osbbbbbbbbbbso.",
    ".ossbbbbbbbbsso.",
    "..oossssssssoo..",
    "...oooooooooo...",
};

std::vector<Image> build_icon() {
    Image face = pose_idle();
    return {grid_image(ICON_16), scale_area(face, 24), face};
}

// ---------------------------------------------------------------------------
// Nine-slice frames. Corners are as large as the borders (the program draws
// corners L or R wide and T or B high whatever their own size), and every edge
// and centre piece is uniform along the direction it is stretched in.

static NineSlice assemble(const Grid& tl, const Grid& bl, const Grid& tc, const Grid& bc, const Grid& ml,
                          const Grid& mc) {
    NineSlice ns;
    ns.pieces[0] = grid_image(tl);
    ns.pieces[1] = grid_image(tc);
    ns.pieces[2] = grid_image(flip_x(tl));
    ns.pieces[3] = grid_image(ml);
    ns.pieces[4] = grid_image(mc);
    ns.pieces[5] = grid_image(flip_x(ml));
    ns.pieces[6] = grid_image(bl);
    ns.pieces[7] = grid_image(bc);
    ns.pieces[8] = grid_image(flip_x(bl));
    return ns;
}

// White bubble, 2-pixel dark outline, rounded corners, a grey lip along the bottom.
NineSlice build_bubble() {
    static const Grid tl = {
        "....oooo",
        "..oooooo",
        ".oooWWWW",
        ".ooWWWWW",
        "ooWWWWWW",
        "ooWWWWWW",
        "ooWWWWWW",
        "ooWWWWWW",
    };
    static const Grid bl = {
        "ooWWWWWW",
        "ooWWWWWW",
        "ooWWWWWW",
        "ooWWWWWW",
        ".oolWWWW",
        ".ooollll",
        "..oooooo",
        "....oooo",
    };
    static const Grid tc = {"oooo", "oooo", "WWWW", "WWWW", "WWWW", "WWWW", "WWWW", "WWWW"};
    static const Grid bc = {"WWWW", "WWWW", "WWWW", "WWWW", "WWWW", "llll", "oooo", "oooo"};
    static const Grid ml = {"ooWWWWWW", "ooWWWWWW", "ooWWWWWW", "ooWWWWWW"};
    static const Grid mc = {"WWWW", "WWWW", "WWWW", "WWWW"};
    return assemble(tl, bl, tc, bc, ml, mc);
}

// A rim around the whole window while boxes are being placed: a bright band
// between dark lines with chamfered inner corners, and a faint wash inside.
// Greys and white so the program's orange tint colours it.
NineSlice build_blockspawner() {
    static const Grid tl = {
        "...kkkkkkkkk",
        ".kkWWWWWWWWW",
        ".kWWWWWWWWWW",
        "kWWWWWWWWWWW",
        "kWWWWWWWWWWW",
        "kWWWWWWkkkkk",
        "kWWWWWkkqqqq",
        "kWWWWkkqqqqq",
        "kWWWWkqqqqqq",
        "kWWWWkqqqqqq",
        "kWWWWkqqqqqq",
        "kWWWWkqqqqqq",
    };
    static const Grid tc = {"kkkk", "WWWW", "WWWW", "WWWW", "WWWW", "kkkk",
                            "qqqq", "qqqq", "qqqq", "qqqq", "qqqq", "qqqq"};
    static const Grid ml = {"kWWWWkqqqqqq", "kWWWWkqqqqqq", "kWWWWkqqqqqq", "kWWWWkqqqqqq"};
    static const Grid mc = {"qqqq", "qqqq", "qqqq", "qqqq"};
    return assemble(tl, flip_y(tl), tc, flip_y(tc), ml, mc);
}

}  // namespace pixel_art
