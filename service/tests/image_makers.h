// Images made in code for the emote image tests' stand-in CDN (PNG, a GIF
// with its own LZW, animated WebP and AVIF through their encoders), and a
// reader of the PNGs the service answers: size, first pixel, vimo-frames text.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include <avif/avif.h>
#include <stb/stb_image.h>
#include <stb/stb_image_write.h>
#include <webp/encode.h>
#include <webp/mux.h>

namespace service_test {

inline void append(void* out, void* data, int size) { static_cast<std::string*>(out)->append(static_cast<char*>(data), size); }

// A w x h PNG of one colour.
inline std::string solid_png(int w, int h, uint32_t rgba) {
    std::vector<uint32_t> px(size_t(w) * h, rgba);
    std::string out;
    stbi_write_png_to_func(append, &out, w, h, 4, px.data(), w * 4);
    return out;
}

// A GIF whose frames are each one colour of a 4-colour palette. The LZW data
// sends a clear code every two pixels, so the code size never grows.
inline std::string gif(int w, int h, const std::vector<int>& delays_cs) {
    std::string g = "GIF89a";
    auto u16 = [&](int v) { g += char(v & 255), g += char(v >> 8); };
    u16(w), u16(h);
    g += "\xF1";  // a global table of 4 colours
    g += std::string("\0\0", 2);
    g += std::string("\xFF\x00\x00\x00\xFF\x00\x00\x00\xFF\xFF\xFF\xFF", 12);
    for (size_t f = 0; f < delays_cs.size(); ++f) {
        g += std::string("\x21\xF9\x04\x00", 4), u16(delays_cs[f]), g += std::string("\0\0", 2);
        g += "\x2C", u16(0), u16(0), u16(w), u16(h), g += std::string("\0\x02", 2);
        std::vector<int> codes;
        for (int p = 0; p < w * h; ++p) {
            if (p % 2 == 0) codes.push_back(4);
            codes.push_back(int(f % 4));
        }
        codes.push_back(5);
        std::string data;
        uint32_t bits = 0, nbits = 0;
        for (int c : codes) {
            bits |= uint32_t(c) << nbits, nbits += 3;
            while (nbits >= 8) data += char(bits & 255), bits >>= 8, nbits -= 8;
        }
        if (nbits) data += char(bits);
        for (size_t at = 0; at < data.size(); at += 255) {
            std::string part = data.substr(at, 255);
            g += char(part.size()), g += part;
        }
        g += '\0';
    }
    return g + "\x3B";
}

// An animated WebP of frames (ARGB, w x h each): frame f shows from starts[f] ms
// to starts[f + 1] (starts holds one entry more than frames).
inline std::string webp_animation(int w, int h, const std::vector<std::vector<uint32_t>>& frames,
                                  const std::vector<int>& starts, bool lossless) {
    WebPAnimEncoderOptions eo;
    WebPAnimEncoderOptionsInit(&eo);
    WebPAnimEncoder* enc = WebPAnimEncoderNew(w, h, &eo);
    WebPConfig config;
    WebPConfigInit(&config);
    config.lossless = lossless;
    for (size_t f = 0; f < frames.size(); ++f) {
        std::vector<uint32_t> px = frames[f];
        WebPPicture pic;
        WebPPictureInit(&pic);
        pic.width = w, pic.height = h, pic.use_argb = 1;
        WebPPictureImportRGBA(&pic, reinterpret_cast<uint8_t*>(px.data()), w * 4);
        WebPAnimEncoderAdd(enc, &pic, starts[f], &config);
        WebPPictureFree(&pic);
    }
    WebPAnimEncoderAdd(enc, nullptr, starts[frames.size()], nullptr);
    WebPData data;
    WebPDataInit(&data);
    WebPAnimEncoderAssemble(enc, &data);
    std::string out(reinterpret_cast<const char*>(data.bytes), data.size);
    WebPDataClear(&data);
    WebPAnimEncoderDelete(enc);
    return out;
}

// An animated WebP of three frames ending at 80, 200 and 320 ms.
inline std::string anim_webp(int w, int h) {
    std::vector<std::vector<uint32_t>> frames;
    for (uint32_t colour : {0xff0000ffu, 0xff00ff00u, 0xffff0000u}) frames.emplace_back(size_t(w) * h, colour);
    return webp_animation(w, h, frames, {0, 80, 200, 320}, true);
}

// An AVIF sequence of two 8 x 8 frames, 150 and 250 ms (7TV may offer only AVIF).
inline std::string anim_avif() {
    avifEncoder* enc = avifEncoderCreate();
    enc->speed = AVIF_SPEED_FASTEST;
    enc->timescale = 1000;  // durations in ms
    std::string out;
    for (int f = 0; f < 2; ++f) {
        avifImage* img = avifImageCreate(8, 8, 8, AVIF_PIXEL_FORMAT_YUV444);
        std::vector<uint32_t> px(64, f ? 0xff0000ffu : 0xffff0000u);
        avifRGBImage rgb;
        avifRGBImageSetDefaults(&rgb, img);
        rgb.pixels = reinterpret_cast<uint8_t*>(px.data());
        rgb.rowBytes = 8 * 4;
        avifImageRGBToYUV(img, &rgb);
        avifEncoderAddImage(enc, img, f ? 250 : 150, AVIF_ADD_IMAGE_FLAG_NONE);
        avifImageDestroy(img);
    }
    avifRWData data = AVIF_DATA_EMPTY;
    if (avifEncoderFinish(enc, &data) == AVIF_RESULT_OK) out.assign(reinterpret_cast<const char*>(data.data), data.size);
    avifRWDataFree(&data);
    avifEncoderDestroy(enc);
    return out;
}

// The text of a PNG's tEXt chunk named keyword ("" when none).
inline std::string png_text(const std::string& png, const std::string& keyword) {
    for (size_t at = 8; at + 12 <= png.size();) {
        uint32_t len = uint32_t(uint8_t(png[at])) << 24 | uint8_t(png[at + 1]) << 16 | uint8_t(png[at + 2]) << 8 | uint8_t(png[at + 3]);
        std::string type = png.substr(at + 4, 4), data = png.substr(at + 8, len);
        if (type == "tEXt" && data.rfind(keyword + '\0', 0) == 0) return data.substr(keyword.size() + 1);
        at += 12 + len;
    }
    return "";
}

struct Decoded {
    int w = 0, h = 0;
    uint32_t first = 0;  // the top left pixel, RGBA in memory order
    std::string frames;  // the vimo-frames text
};
inline Decoded decode(const std::string& png) {
    Decoded d;
    int comp = 0;
    uint8_t* px = stbi_load_from_memory(reinterpret_cast<const uint8_t*>(png.data()), int(png.size()), &d.w, &d.h, &comp, 4);
    if (px) std::memcpy(&d.first, px, 4);
    stbi_image_free(px);
    d.frames = png_text(png, "vimo-frames");
    return d;
}

}  // namespace service_test
