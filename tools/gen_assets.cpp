// Generates the companion's pictures from the pixel grids in pixel_art.h.
//
//   gen_assets <assets dir> [contact sheet path]
//
// Writes assets/guy.png, assets/vimo/<pose>.png, the nine pieces of the
// "bubble" and "blockspawner" frames and the program's icon assets/vimo.ico
// (16, 24 and 32 px), plus an optional contact sheet that shows every
// picture enlarged on a checkerboard, for looking at the art by eye.
// Every picture is RGBA with a transparent background. Poses are 32 x 32 and
// are stretched to 128 x 128 by the program with nearest filtering; the frame
// pieces are drawn at screen scale, so their pixel sizes are the border widths.
#include "pixel_art.h"

#include <stb/stb_easy_font.h>
#include <stb/stb_image_write.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace pixel_art;

static bool write_png(const fs::path& path, const Image& img) {
    fs::create_directories(path.parent_path());
    int ok = stbi_write_png(path.string().c_str(), img.w, img.h, 4, img.px.data(), img.w * 4);
    if (!ok) std::fprintf(stderr, "gen_assets: cannot write %s\n", path.string().c_str());
    return ok != 0;
}

// A Windows icon file holding each picture as a 32-bit DIB (what every reader
// of .ico takes, the installer compiler's too): little-endian header and
// directory, then per picture a BITMAPINFOHEADER of double height, the BGRA
// rows bottom-up and the 1-bit mask (set where transparent), rows padded to
// 4 bytes.
static bool write_ico(const fs::path& path, const std::vector<Image>& images) {
    std::string out;
    auto u16 = [&](unsigned v) { out += char(v & 0xff), out += char(v >> 8 & 0xff); };
    auto u32 = [&](unsigned v) { u16(v & 0xffff), u16(v >> 16); };
    u16(0), u16(1), u16(unsigned(images.size()));
    size_t offset = 6 + 16 * images.size();
    std::vector<std::string> bodies;
    for (const Image& img : images) {
        std::string body;
        std::swap(out, body);
        const unsigned mask_row = unsigned((img.w + 31) / 32 * 4);
        u32(40), u32(unsigned(img.w)), u32(unsigned(img.h * 2)), u16(1), u16(32), u32(0);
        u32(unsigned(img.w * img.h * 4) + mask_row * unsigned(img.h)), u32(0), u32(0), u32(0), u32(0);
        for (int y = img.h - 1; y >= 0; y--)
            for (int x = 0; x < img.w; x++) {
                Rgba c = img.get(x, y);
                out += char(c.b), out += char(c.g), out += char(c.r), out += char(c.a);
            }
        for (int y = img.h - 1; y >= 0; y--) {
            std::string row(mask_row, '\0');
            for (int x = 0; x < img.w; x++)
                if (img.get(x, y).a == 0) row[size_t(x / 8)] = char(row[size_t(x / 8)] | (0x80 >> (x % 8)));
            out += row;
        }
        std::swap(out, body);
        bodies.push_back(body);
    }
    for (size_t i = 0; i < images.size(); i++) {
        out += char(images[i].w), out += char(images[i].h), out += '\0', out += '\0';
        u16(1), u16(32), u32(unsigned(bodies[i].size())), u32(unsigned(offset));
        offset += bodies[i].size();
    }
    for (const std::string& body : bodies) out += body;
    FILE* file = std::fopen(path.string().c_str(), "wb");
    bool ok = file && std::fwrite(out.data(), 1, out.size(), file) == out.size();
    if (file) ok = std::fclose(file) == 0 && ok;
    if (!ok) std::fprintf(stderr, "gen_assets: cannot write %s\n", path.string().c_str());
    return ok;
}

// ---------------------------------------------------------------------------
// Contact sheet helpers

static void fill_rect(Image& img, int x0, int y0, int w, int h, Rgba c) {
    for (int y = y0; y < y0 + h; y++)
        for (int x = x0; x < x0 + w; x++) img.blend(x, y, c);
}

// Checkerboard so that transparent pixels are visible as such.
static void checkerboard(Image& img, int x0, int y0, int w, int h) {
    for (int y = y0; y < y0 + h; y++)
        for (int x = x0; x < x0 + w; x++) {
            bool dark = ((x - x0) / 8 + (y - y0) / 8) % 2;
            img.set(x, y, dark ? Rgba{150, 160, 170, 255} : Rgba{205, 212, 220, 255});
        }
}

// Copies src scaled up by an integer factor, blending over what is there.
static void blit_scaled(Image& dst, const Image& src, int x0, int y0, int scale, Rgba tint = {255, 255, 255, 255}) {
    for (int y = 0; y < src.h * scale; y++)
        for (int x = 0; x < src.w * scale; x++) {
            Rgba p = src.get(x / scale, y / scale);
            p = {uint8_t(p.r * tint.r / 255), uint8_t(p.g * tint.g / 255), uint8_t(p.b * tint.b / 255),
                 uint8_t(p.a * tint.a / 255)};
            dst.blend(x0 + x, y0 + y, p);
        }
}

// Stretches src to w x h with nearest sampling, as the program's texture draw does.
static void blit_stretched(Image& dst, const Image& src, int x0, int y0, int w, int h, Rgba tint) {
    if (src.w == 0 || src.h == 0) return;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            Rgba p = src.get(x * src.w / w, y * src.h / h);
            p = {uint8_t(p.r * tint.r / 255), uint8_t(p.g * tint.g / 255), uint8_t(p.b * tint.b / 255),
                 uint8_t(p.a * tint.a / 255)};
            dst.blend(x0 + x, y0 + y, p);
        }
}

// Assembles a nine-slice panel of outer size w x h the way the program does:
// border widths from "ml"/"mr" widths and "tc"/"bc" heights, every piece stretched.
static void draw_nine_slice(Image& dst, const NineSlice& ns, int x0, int y0, int w, int h, int scale, Rgba tint) {
    int L = ns.piece("ml").w, R = ns.piece("mr").w, T = ns.piece("tc").h, B = ns.piece("bc").h;
    int iw = w - L - R, ih = h - T - B;
    int xs[3] = {0, L, L + iw}, ws[3] = {L, iw, R};
    int ys[3] = {0, T, T + ih}, hs[3] = {T, ih, B};
    for (int row = 0; row < 3; row++)
        for (int col = 0; col < 3; col++)
            blit_stretched(dst, ns.pieces[row * 3 + col], x0 + xs[col] * scale, y0 + ys[row] * scale, ws[col] * scale,
                           hs[row] * scale, tint);
}

// Writes a label with stb_easy_font's segment font, each segment pixel scaled.
static void label(Image& img, int x0, int y0, const std::string& text, int scale, Rgba c) {
    static char buffer[99999];
    std::string t = text;
    int quads = stb_easy_font_print(0, 0, t.data(), nullptr, buffer, sizeof buffer);
    for (int q = 0; q < quads; q++) {
        const float* v = reinterpret_cast<const float*>(buffer + q * 64);
        // Vertex layout: x, y, z, colour (4 bytes) = 16 bytes; corners 0 and 2 span the quad.
        float ax = v[0], ay = v[1], bx = v[8], by = v[9];
        fill_rect(img, x0 + int(ax * scale), y0 + int(ay * scale), int((bx - ax) * scale), int((by - ay) * scale), c);
    }
}

static Image contact_sheet(const std::vector<Pose>& poses, const NineSlice& bubble, const NineSlice& panel) {
    const int scale = 4, cell_w = 32 * scale + 16, cell_h = 32 * scale + 28, cols = 5;
    int rows = int(poses.size() + cols - 1) / cols;
    int frames_y = 8 + rows * cell_h + 8;
    Image sheet(8 + cols * cell_w, frames_y + 300);
    fill_rect(sheet, 0, 0, sheet.w, sheet.h, {58, 52, 74, 255});
    for (size_t i = 0; i < poses.size(); i++) {
        int x = 8 + int(i % cols) * cell_w, y = 8 + int(i / cols) * cell_h;
        checkerboard(sheet, x, y, 32 * scale, 32 * scale);
        blit_scaled(sheet, poses[i].image, x, y, scale);
        label(sheet, x, y + 32 * scale + 6, poses[i].name, 2, {255, 255, 255, 255});
    }
    // The bubble at the scale the program shows it and doubled, as a menu of 4
    // lines would size it; the block spawner's frame tinted orange at 1:1 around it.
    int y = frames_y;
    checkerboard(sheet, 8, y, sheet.w - 16, 284);
    draw_nine_slice(sheet, panel, 8, y, sheet.w - 16, 284, 1, {255, 128, 0, 255});
    label(sheet, 24, y + 22, "blockspawner (orange tint)", 2, {255, 255, 255, 255});
    draw_nine_slice(sheet, bubble, 40, y + 50, 140, 80, 1, {255, 255, 255, 255});
    label(sheet, 50, y + 70, "hi hii ~", 2, {0, 0, 0, 255});
    draw_nine_slice(sheet, bubble, 220, y + 50, 150, 100, 2, {255, 255, 255, 255});
    label(sheet, 250, y + 90, "bubble 2x", 3, {0, 0, 0, 255});
    blit_scaled(sheet, poses[0].image, 560, y + 130, 4);
    return sheet;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: gen_assets <assets dir> [contact sheet path]\n");
        return 1;
    }
    fs::path dir = argv[1];
    std::vector<Pose> poses = build_poses();
    NineSlice bubble = build_bubble();
    NineSlice panel = build_blockspawner();

    bool ok = true;
    for (const Pose& p : poses) {
        fs::path path = p.name == "guy" ? dir / "guy.png" : dir / "vimo" / (p.name + ".png");
        ok &= write_png(path, p.image);
    }
    for (int i = 0; i < 9; i++) {
        ok &= write_png(dir / ("bubble." + std::string(PIECE_NAMES[i]) + ".png"), bubble.pieces[i]);
        ok &= write_png(dir / ("blockspawner." + std::string(PIECE_NAMES[i]) + ".png"), panel.pieces[i]);
    }
    ok &= write_ico(dir / "vimo.ico", build_icon());
    if (argc >= 3) ok &= write_png(argv[2], contact_sheet(poses, bubble, panel));
    return ok ? 0 : 1;
}
