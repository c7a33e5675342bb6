// WebP, still and animated (libwebp, libwebpdemux): the RIFF size, the
// canvas and the frame count are checked before a frame is decoded.
#include "images/images.h"

#include <cstring>
#include <memory>

#include <webp/decode.h>
#include <webp/demux.h>

namespace images_detail {

namespace {

struct DemuxFree {
    void operator()(WebPDemuxer* d) const { WebPDemuxDelete(d); }
};
struct AnimFree {
    void operator()(WebPAnimDecoder* d) const { WebPAnimDecoderDelete(d); }
};

ImageDecoded decode_still(const uint8_t* bytes, size_t size, int w, int h) {
    ImageFrames f;
    f.width = w;
    f.height = h;
    f.rgba.resize(size_t(w) * size_t(h) * 4);
    f.delays_ms = {0};
    if (!WebPDecodeRGBAInto(bytes, size, f.rgba.data(), f.rgba.size(), w * 4)) return ImageRefusal::Damaged;
    return f;
}

ImageDecoded decode_animation(const uint8_t* bytes, size_t size) {
    WebPData data{bytes, size};
    std::unique_ptr<WebPDemuxer, DemuxFree> demux(WebPDemux(&data));
    if (!demux) return ImageRefusal::Damaged;
    uint32_t w = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH), h = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT);
    uint32_t frames = WebPDemuxGetI(demux.get(), WEBP_FF_FRAME_COUNT);
    ImageRefusal why;
    if (!within_limits(w, h, frames, &why)) return why;
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options)) return ImageRefusal::Damaged;
    options.color_mode = MODE_RGBA;
    options.use_threads = 0;  // the HTTP worker that asked is the thread to spend
    std::unique_ptr<WebPAnimDecoder, AnimFree> dec(WebPAnimDecoderNew(&data, &options));
    if (!dec) return ImageRefusal::Damaged;
    ImageFrames f;
    f.width = int(w);
    f.height = int(h);
    f.rgba.reserve(size_t(w) * h * 4 * frames);
    size_t frame_bytes = size_t(w) * h * 4;
    int previous = 0;  // ms: each frame's timestamp is when it ends
    while (WebPAnimDecoderHasMoreFrames(dec.get())) {
        uint8_t* canvas = nullptr;
        int ends = 0;
        if (!WebPAnimDecoderGetNext(dec.get(), &canvas, &ends)) return ImageRefusal::Damaged;
        if (f.delays_ms.size() >= frames) return ImageRefusal::Damaged;
        f.rgba.insert(f.rgba.end(), canvas, canvas + frame_bytes);
        f.delays_ms.push_back(ends - previous);
        previous = ends;
    }
    if (f.delays_ms.empty()) return ImageRefusal::Damaged;
    if (f.delays_ms.size() == 1) f.delays_ms[0] = 0;
    else for (int& d : f.delays_ms) d = played_delay(d);
    return f;
}

}  // namespace

ImageDecoded decode_webp(const uint8_t* bytes, size_t size) {
    // The RIFF header says how long the file is: fewer bytes is a cut-short file.
    if (size < 12) return ImageRefusal::Truncated;
    uint32_t riff = uint32_t(bytes[4]) | uint32_t(bytes[5]) << 8 | uint32_t(bytes[6]) << 16 | uint32_t(bytes[7]) << 24;
    if (uint64_t(riff) + 8 > size) return ImageRefusal::Truncated;
    WebPBitstreamFeatures features;
    VP8StatusCode status = WebPGetFeatures(bytes, size, &features);
    if (status == VP8_STATUS_NOT_ENOUGH_DATA) return ImageRefusal::Truncated;
    if (status != VP8_STATUS_OK) return ImageRefusal::Damaged;
    if (features.has_animation) return decode_animation(bytes, size);
    ImageRefusal why;
    if (!within_limits(features.width, features.height, 1, &why)) return why;
    return decode_still(bytes, size, features.width, features.height);
}

}  // namespace images_detail
