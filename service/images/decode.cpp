// Sniffing the format, PNG and JPEG through stb_image, the limits, the 2x
// scale and the PNG out (see images.h for the layout).
#include "images/images.h"

#include <cstring>

#include <stb/stb_image.h>
#include <stb/stb_image_write.h>
#include <zlib.h>  // crc32, for the tEXt chunk

namespace images_detail {

bool within_limits(int64_t w, int64_t h, int64_t frames, ImageRefusal* why) {
    if (w <= 0 || h <= 0 || frames <= 0) {
        *why = ImageRefusal::Damaged;
        return false;
    }
    if (w > IMAGE_MAX_SIDE || h > IMAGE_MAX_SIDE) {
        *why = ImageRefusal::TooWide;
        return false;
    }
    if (frames > IMAGE_MAX_FRAMES) {
        *why = ImageRefusal::TooManyFrames;
        return false;
    }
    if (w * h * 4 * frames > IMAGE_MAX_BYTES) {  // at most 4096^2 * 4 * 1000: no overflow in 64 bits
        *why = ImageRefusal::TooLarge;
        return false;
    }
    return true;
}

int played_delay(int ms) { return ms <= IMAGE_MIN_DELAY_MS ? IMAGE_DEFAULT_DELAY_MS : ms; }

}  // namespace images_detail

using namespace images_detail;

const char* image_refusal_text(ImageRefusal why) {
    switch (why) {
        case ImageRefusal::NotAnImage: return "not an image (PNG, JPEG, GIF, WebP or AVIF)";
        case ImageRefusal::Truncated: return "the image is cut short";
        case ImageRefusal::Damaged: return "the image is damaged";
        case ImageRefusal::TooWide: return "the image is over 4096 pixels on a side";
        case ImageRefusal::TooLarge: return "the image is over 20 MiB decoded";
        case ImageRefusal::TooManyFrames: return "the image has over 1000 frames";
    }
    return "refused";
}

static bool starts(const uint8_t* b, size_t n, size_t at, const char* magic) {
    size_t len = std::strlen(magic);
    return n >= at + len && std::memcmp(b + at, magic, len) == 0;
}

// PNG and JPEG: the header's size is checked before stb allocates the pixels.
static ImageDecoded decode_still(const uint8_t* bytes, size_t size) {
    if (size > size_t(INT32_MAX)) return ImageRefusal::TooLarge;
    ImageRefusal why;
    // A PNG's IHDR is read here: stb's own check would call a huge one merely unreadable.
    if (bytes[0] == 0x89) {
        if (size < 24) return ImageRefusal::Truncated;
        auto be32 = [&](size_t at) { return int64_t(bytes[at]) << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 | bytes[at + 3]; };
        if (!within_limits(be32(16), be32(20), 1, &why)) return why;
    }
    int w = 0, h = 0, comp = 0;
    if (!stbi_info_from_memory(bytes, int(size), &w, &h, &comp)) return ImageRefusal::Truncated;
    if (!within_limits(w, h, 1, &why)) return why;
    uint8_t* pixels = stbi_load_from_memory(bytes, int(size), &w, &h, &comp, 4);
    if (!pixels) return ImageRefusal::Damaged;
    ImageFrames f;
    f.width = w;
    f.height = h;
    f.rgba.assign(pixels, pixels + size_t(w) * size_t(h) * 4);
    f.delays_ms = {0};
    stbi_image_free(pixels);
    return f;
}

ImageDecoded image_decode(const uint8_t* bytes, size_t size) {
    if (starts(bytes, size, 0, "\x89PNG\r\n\x1a\n") || starts(bytes, size, 0, "\xff\xd8\xff"))
        return decode_still(bytes, size);
    if (starts(bytes, size, 0, "GIF87a") || starts(bytes, size, 0, "GIF89a")) return decode_gif(bytes, size);
    if (starts(bytes, size, 0, "RIFF") && starts(bytes, size, 8, "WEBP")) return decode_webp(bytes, size);
    if (starts(bytes, size, 4, "ftyp")) return decode_avif(bytes, size);  // libavif checks the brand
    return ImageRefusal::NotAnImage;
}

ImageDecoded image_scale2(const ImageFrames& in) {
    ImageRefusal why;
    int64_t n = int64_t(in.delays_ms.size());
    if (!within_limits(int64_t(in.width) * 2, int64_t(in.height) * 2, n, &why)) return why;
    ImageFrames out;
    out.width = in.width * 2;
    out.height = in.height * 2;
    out.delays_ms = in.delays_ms;
    out.rgba.resize(size_t(out.width) * size_t(out.height) * 4 * size_t(n));
    const uint32_t* src = reinterpret_cast<const uint32_t*>(in.rgba.data());
    uint32_t* dst = reinterpret_cast<uint32_t*>(out.rgba.data());
    // Frames are stacked, so the stack is one tall image: rows double as they go.
    size_t rows = size_t(in.height) * size_t(n);
    for (size_t y = 0; y < rows * 2; ++y)
        for (size_t x = 0; x < size_t(out.width); ++x) dst[y * out.width + x] = src[(y / 2) * in.width + x / 2];
    return out;
}

static void append_to_string(void* context, void* data, int size) {
    static_cast<std::string*>(context)->append(static_cast<const char*>(data), size_t(size));
}

static void put_be32(std::string& s, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) s += char((v >> shift) & 0xff);
}

std::string image_png(const ImageFrames& f) {
    std::string png;
    int rows = f.height * int(f.delays_ms.size());
    if (!stbi_write_png_to_func(append_to_string, &png, f.width, rows, 4, f.rgba.data(), f.width * 4)) return "";
    if (!f.animated()) return png;
    std::string text;
    for (size_t i = 0; i < f.delays_ms.size(); ++i) text += (i ? "," : "") + std::to_string(f.delays_ms[i]);
    std::string chunk = std::string("tEXt") + IMAGE_FRAMES_KEYWORD + '\0' + text;
    std::string whole;
    put_be32(whole, uint32_t(chunk.size() - 4));
    whole += chunk;
    put_be32(whole, uint32_t(crc32(0, reinterpret_cast<const Bytef*>(chunk.data()), uInt(chunk.size()))));
    // After the signature (8) and IHDR (4 length + 4 type + 13 data + 4 CRC): before any IDAT.
    png.insert(33, whole);
    return png;
}
