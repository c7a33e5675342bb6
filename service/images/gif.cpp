// GIF: a walk of its blocks counts the frames and reads the canvas size
// without decoding anything, so the limits hold before stb_image allocates;
// then stb_image composes the frames onto the canvas.
#include "images/images.h"

#include <cstdlib>

#include <stb/stb_image.h>

namespace images_detail {

namespace {

// Skips a run of data sub-blocks (length byte, bytes; a 0 length ends it).
bool skip_sub_blocks(const uint8_t* b, size_t n, size_t* at) {
    while (*at < n) {
        uint8_t len = b[(*at)++];
        if (len == 0) return true;
        *at += len;
    }
    return false;
}

// The canvas size and the number of frames; false and *why when the blocks are
// cut short, malformed, or already over the frame limit.
bool survey(const uint8_t* b, size_t n, int* w, int* h, int* frames, ImageRefusal* why) {
    if (n < 13) return *why = ImageRefusal::Truncated, false;
    *w = b[6] | b[7] << 8;
    *h = b[8] | b[9] << 8;
    size_t at = 13;
    if (b[10] & 0x80) at += 3u << ((b[10] & 7) + 1);  // the global colour table
    *frames = 0;
    bool cut = false;  // a block runs past the end
    while (at < n && !cut) {
        uint8_t block = b[at++];
        if (block == 0x3b) return *frames > 0 || (*why = ImageRefusal::Damaged, false);  // the trailer
        if (block == 0x21) {                                                            // an extension
            cut = ++at > n || !skip_sub_blocks(b, n, &at);
        } else if (block == 0x2c) {  // an image: descriptor, local colour table, LZW code size, data
            if (at + 9 > n) {
                cut = true;
                break;
            }
            uint8_t flags = b[at + 8];
            at += 9;
            if (flags & 0x80) at += 3u << ((flags & 7) + 1);
            cut = ++at > n || !skip_sub_blocks(b, n, &at);
            if (!cut && ++*frames > IMAGE_MAX_FRAMES) return *why = ImageRefusal::TooManyFrames, false;
        } else {
            return *why = ImageRefusal::Damaged, false;
        }
    }
    // Some encoders leave the trailer out: whole frames up to the end are a whole GIF.
    if (!cut && *frames > 0) return true;
    *why = ImageRefusal::Truncated;
    return false;
}

}  // namespace

ImageDecoded decode_gif(const uint8_t* bytes, size_t size) {
    int w = 0, h = 0, frames = 0;
    ImageRefusal why;
    if (!survey(bytes, size, &w, &h, &frames, &why)) return why;
    if (!within_limits(w, h, frames, &why)) return why;
    int* delays = nullptr;
    int fw = 0, fh = 0, count = 0, comp = 0;
    uint8_t* pixels = stbi_load_gif_from_memory(bytes, int(size), &delays, &fw, &fh, &count, &comp, 4);
    if (!pixels) return ImageRefusal::Damaged;
    ImageFrames f;
    // stb's canvas is the one the walk measured, and it cannot find more frames than the walk did.
    if (fw == w && fh == h && count > 0 && count <= frames) {
        f.width = fw;
        f.height = fh;
        f.rgba.assign(pixels, pixels + size_t(fw) * size_t(fh) * 4 * size_t(count));
        for (int i = 0; i < count; ++i) f.delays_ms.push_back(count > 1 ? played_delay(delays ? delays[i] : 0) : 0);
    }
    stbi_image_free(pixels);
    std::free(delays);  // stb allocates the delays with its STBI_MALLOC, malloc by default
    if (f.rgba.empty()) return ImageRefusal::Damaged;
    return f;
}

}  // namespace images_detail
