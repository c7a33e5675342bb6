// AVIF, still and animated (libavif): the parse gives the size and the
// number of images before any is decoded; libavif's own limits stand behind ours.
#include "images/images.h"

#include <memory>

#include <avif/avif.h>

namespace images_detail {

namespace {
struct AvifFree {
    void operator()(avifDecoder* d) const { avifDecoderDestroy(d); }
};
}  // namespace

ImageDecoded decode_avif(const uint8_t* bytes, size_t size) {
    std::unique_ptr<avifDecoder, AvifFree> d(avifDecoderCreate());
    if (!d) return ImageRefusal::Damaged;
    d->maxThreads = 1;
    d->imageSizeLimit = uint32_t(IMAGE_MAX_SIDE) * IMAGE_MAX_SIDE;
    d->imageCountLimit = IMAGE_MAX_FRAMES;
    if (avifDecoderSetIOMemory(d.get(), bytes, size) != AVIF_RESULT_OK) return ImageRefusal::Damaged;
    avifResult parsed = avifDecoderParse(d.get());
    if (parsed == AVIF_RESULT_TRUNCATED_DATA) return ImageRefusal::Truncated;
    if (parsed == AVIF_RESULT_INVALID_FTYP) return ImageRefusal::NotAnImage;
    if (parsed != AVIF_RESULT_OK) return ImageRefusal::Damaged;
    ImageRefusal why;
    int64_t w = d->image->width, h = d->image->height, frames = d->imageCount;
    if (!within_limits(w, h, frames, &why)) return why;
    ImageFrames f;
    f.width = int(w);
    f.height = int(h);
    f.rgba.resize(size_t(w) * size_t(h) * 4 * size_t(frames));
    for (int64_t i = 0; i < frames; ++i) {
        avifResult r = avifDecoderNextImage(d.get());
        if (r == AVIF_RESULT_TRUNCATED_DATA) return ImageRefusal::Truncated;
        // Every image of a sequence has the sequence's size; one that does not is not ours to fit.
        if (r != AVIF_RESULT_OK || int64_t(d->image->width) != w || int64_t(d->image->height) != h)
            return ImageRefusal::Damaged;
        avifRGBImage rgb;
        avifRGBImageSetDefaults(&rgb, d->image);
        rgb.format = AVIF_RGB_FORMAT_RGBA;
        rgb.depth = 8;
        rgb.pixels = f.rgba.data() + size_t(i) * size_t(w) * size_t(h) * 4;
        rgb.rowBytes = uint32_t(w * 4);
        if (avifImageYUVToRGB(d->image, &rgb) != AVIF_RESULT_OK) return ImageRefusal::Damaged;
        f.delays_ms.push_back(frames > 1 ? played_delay(int(d->imageTiming.duration * 1000 + 0.5)) : 0);
    }
    return f;
}

}  // namespace images_detail
