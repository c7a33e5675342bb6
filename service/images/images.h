// Turning an image a platform or an emote provider serves into one checked
// PNG the companion can draw: bytes in, RGBA frames with delays, PNG bytes
// out. Pure computation: no files, no network, no clocks.
//
// Formats: PNG and JPEG (stills, stb_image), GIF (stb_image, after a walk of
// its blocks), WebP still and animated (libwebp, libwebpdemux), AVIF still and
// animated (libavif). The limits below are checked from the header (and for
// GIF from the block walk) before the pixels are allocated.
//
// The PNG out: a still image is a plain RGBA PNG. An animated one is ONE PNG
// of width W and height H x N, frame i at rows i*H .. i*H+H-1, with a tEXt
// chunk (before the image data) whose keyword is "vimo-frames" and whose text
// is the N delays in milliseconds joined by commas ("100,80,120").
//
// Threads: every function is safe on any thread at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

inline constexpr int IMAGE_MAX_SIDE = 4096;                    // pixels, each of width and height
inline constexpr int64_t IMAGE_MAX_BYTES = 20LL * 1024 * 1024;  // decoded: width x height x 4 x frames
inline constexpr int IMAGE_MAX_FRAMES = 1000;
inline constexpr int IMAGE_MIN_DELAY_MS = 10;      // a delay of this or less is played as ...
inline constexpr int IMAGE_DEFAULT_DELAY_MS = 100; // ... this, as browsers do
inline constexpr const char* IMAGE_FRAMES_KEYWORD = "vimo-frames";

// Why an image was refused; never data.
enum class ImageRefusal {
    NotAnImage,     // none of the formats above
    Truncated,      // the bytes end before the image does
    Damaged,        // the decoder found the bytes inconsistent
    TooWide,        // over IMAGE_MAX_SIDE on a side
    TooLarge,       // over IMAGE_MAX_BYTES decoded
    TooManyFrames,  // over IMAGE_MAX_FRAMES
};
// A short English reason, for the companion to show and for the log.
const char* image_refusal_text(ImageRefusal why);

// Decoded frames, all the same size, stacked: frame i's RGBA rows start at
// rgba[i * width * height * 4]. delays_ms has one entry per frame (a still: one, 0).
struct ImageFrames {
    int width = 0, height = 0;   // pixels of one frame
    std::vector<uint8_t> rgba;   // width * height * 4 * frames bytes, straight (not premultiplied) alpha
    std::vector<int> delays_ms;  // each > IMAGE_MIN_DELAY_MS for an animation
    bool animated() const { return delays_ms.size() > 1; }
};

using ImageDecoded = std::variant<ImageFrames, ImageRefusal>;

// Decodes bytes of any format above, checking the limits.
ImageDecoded image_decode(const uint8_t* bytes, size_t size);
// The same frames at twice the size (each pixel doubled); TooLarge past the limits.
ImageDecoded image_scale2(const ImageFrames& frames);
// The PNG of frames in the layout above ("" only when the encoder fails).
std::string image_png(const ImageFrames& frames);

// ---- Inside the folder: one decoder per library, each checking the limits ----
namespace images_detail {
// Whether a w x h image of frames frames is within the limits; else why not.
bool within_limits(int64_t w, int64_t h, int64_t frames, ImageRefusal* why);
// A delay as played: IMAGE_MIN_DELAY_MS or less becomes IMAGE_DEFAULT_DELAY_MS.
int played_delay(int ms);
ImageDecoded decode_webp(const uint8_t* bytes, size_t size);  // webp.cpp
ImageDecoded decode_avif(const uint8_t* bytes, size_t size);  // avif.cpp
ImageDecoded decode_gif(const uint8_t* bytes, size_t size);   // gif.cpp
}  // namespace images_detail
