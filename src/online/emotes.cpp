// Chat pictures: the PNG frame-strip reader, the byte-bounded cache and the
// store that fetches, decodes, uploads and plays them. See online/emotes.h.
//
// Threads: the store's state is the main thread's; a fetch's task runs on the
// network worker and touches only its own copies, handing the decoded picture
// back through online_post.
#include "online/emotes.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iterator>

#include "gfx/gfx_ext.h"
#include "net/endpoints.h"
#include "net/net.h"
#include "online/handover.h"

// ---- The PNG reader ---------------------------------------------------------------------

static uint32_t png_u32(const std::string& s, size_t at) {
    return (uint32_t(uint8_t(s[at])) << 24) | (uint32_t(uint8_t(s[at + 1])) << 16) |
           (uint32_t(uint8_t(s[at + 2])) << 8) | uint32_t(uint8_t(s[at + 3]));
}

// The delays a "vimo-frames" text lists, floors applied; empty when the text
// is not a list of whole milliseconds or holds more than EMOTE_FRAMES_MAX.
static std::vector<int> emote_delays_read(const std::string& text) {
    std::vector<int> delays;
    size_t at = 0;
    while (at <= text.size()) {
        size_t comma = text.find(',', at);
        if (comma == std::string::npos) comma = text.size();
        std::string item = text.substr(at, comma - at);
        if (item.empty() || item.size() > 6 || item.find_first_not_of("0123456789") != std::string::npos) return {};
        int ms = std::stoi(item);
        delays.push_back(ms <= EMOTE_DELAY_FLOOR_MS ? EMOTE_DELAY_SLOW_MS : ms);
        if (delays.size() > EMOTE_FRAMES_MAX) return {};
        at = comma + 1;
    }
    return delays;
}

// Walk the chunks before the pixels: the size from IHDR and the frame list
// from a "vimo-frames" tEXt. False when the bytes are not a PNG's chunks.
static bool png_chunks_read(const std::string& bytes, uint32_t* width, uint32_t* height, std::string* frames) {
    static const char SIGNATURE[] = "\x89PNG\r\n\x1a\n";
    static const char KEYWORD[] = "vimo-frames";  // its NUL ends the keyword in the chunk too
    if (bytes.size() < 8 + 25 || bytes.compare(0, 8, SIGNATURE, 8) != 0) return false;
    bool header = false;
    for (size_t at = 8; at + 12 <= bytes.size();) {
        uint32_t length = png_u32(bytes, at);
        if (length > bytes.size() - at - 12) return false;
        std::string type = bytes.substr(at + 4, 4);
        if (type == "IHDR" && length >= 8) {
            *width = png_u32(bytes, at + 8);
            *height = png_u32(bytes, at + 12);
            header = true;
        } else if (type == "tEXt" && length > sizeof KEYWORD &&
                   bytes.compare(at + 8, sizeof KEYWORD, KEYWORD, sizeof KEYWORD) == 0) {
            *frames = bytes.substr(at + 8 + sizeof KEYWORD, length - sizeof KEYWORD);
        } else if (type == "IDAT" || type == "IEND") {
            break;  // the frame list comes before the pixels or not at all
        }
        at += size_t(length) + 12;
    }
    return header;
}

bool emote_png_read(const std::string& bytes, EmoteImage* out) {
    uint32_t width = 0, height = 0;
    std::string frames;
    if (!png_chunks_read(bytes, &width, &height, &frames)) return false;
    // Refused before decoding: a small file may claim a huge picture.
    const uint32_t side = uint32_t(EMOTE_IMAGE_MAX_SIDE);
    if (width == 0 || height == 0 || width > side || height > side ||
        size_t(width) * height * 4 > EMOTE_IMAGE_MAX_BYTES || bytes.size() > size_t(INT32_MAX))
        return false;
    Image image = LoadImageFromMemory(".png", reinterpret_cast<const unsigned char*>(bytes.data()), int(bytes.size()));
    if (image.data == nullptr) return false;
    bool same = image.width == int(width) && image.height == int(height);
    if (same) {
        out->width = image.width;
        out->frame_height = image.height;
        const unsigned char* pixels = static_cast<const unsigned char*>(image.data);
        out->rgba.assign(pixels, pixels + size_t(width) * height * 4);
        std::vector<int> delays = emote_delays_read(frames);
        // One frame or frames of unequal height: a still.
        if (delays.size() > 1 && height % delays.size() == 0) {
            out->frame_height = int(height / delays.size());
            out->delays_ms = std::move(delays);
        } else {
            out->delays_ms.clear();
        }
    }
    UnloadImage(image);
    return same;
}

int emote_frame_at(const EmoteImage& image, double ms) {
    if (image.delays_ms.size() < 2) return 0;
    double total = 0;
    for (int d : image.delays_ms) total += d;
    double t = std::fmod(ms < 0 ? 0 : ms, total);
    for (size_t i = 0; i < image.delays_ms.size(); i++) {
        if (t < image.delays_ms[i]) return int(i);
        t -= image.delays_ms[i];
    }
    return int(image.delays_ms.size() - 1);
}

// ---- The cache --------------------------------------------------------------------------

static void emote_cache_drop_oldest(EmoteCache& cache, std::vector<EmoteCacheEntry>* evicted) {
    auto slot = cache.slots.find(cache.order.back());
    cache.used -= slot->second.entry.bytes;
    if (evicted) evicted->push_back(std::move(slot->second.entry));
    cache.slots.erase(slot);
    cache.order.pop_back();
}

void emote_cache_put(EmoteCache& cache, const std::string& key, EmoteCacheEntry entry,
                     std::vector<EmoteCacheEntry>* evicted) {
    auto old = cache.slots.find(key);
    if (old != cache.slots.end()) {
        cache.used -= old->second.entry.bytes;
        if (evicted) evicted->push_back(std::move(old->second.entry));
        cache.order.erase(old->second.at);
        cache.slots.erase(old);
    }
    if (entry.bytes > cache.limit) {
        if (evicted) evicted->push_back(std::move(entry));
        return;
    }
    while (!cache.order.empty() && cache.used + entry.bytes > cache.limit) emote_cache_drop_oldest(cache, evicted);
    cache.order.push_front(key);
    cache.used += entry.bytes;
    cache.slots[key] = EmoteCache::Slot{std::move(entry), cache.order.begin()};
}

EmoteCacheEntry* emote_cache_get(EmoteCache& cache, const std::string& key) {
    auto slot = cache.slots.find(key);
    if (slot == cache.slots.end()) return nullptr;
    cache.order.splice(cache.order.begin(), cache.order, slot->second.at);
    return &slot->second.entry;
}

void emote_cache_trim(EmoteCache& cache, std::vector<EmoteCacheEntry>* evicted) {
    while (!cache.order.empty() && cache.used > cache.limit) emote_cache_drop_oldest(cache, evicted);
}

// ---- The store --------------------------------------------------------------------------

namespace {
// The store's whole state (main thread); emotes_reset assigns a fresh one.
struct EmoteStore {
    EmoteCache cache;
    std::unordered_map<std::string, int> status;  // every path asked for this run -> EmoteStatus
    std::deque<std::string> waiting;              // asked for, not yet handed to the worker
    int in_flight = 0;                            // handed to the worker, result not yet here
    unsigned failures = 0;                        // pictures turned FAILED this run (emotes_failures)
    unsigned run = 0;                             // results of an earlier run (before a reset) are dropped
};
EmoteStore store;
}  // namespace

// Release what the cache let go (main thread: textures), and mark it as gone for this run.
static void emotes_release(std::vector<EmoteCacheEntry>& evicted, const std::string& keep) {
    if (evicted.empty()) return;
    for (EmoteCacheEntry& entry : evicted) UnloadTexture(entry.texture);
    for (auto& [path, status] : store.status)
        if (status == EMOTE_READY && path != keep && store.cache.slots.count(path) == 0) {
            status = EMOTE_FAILED;
            store.failures++;
        }
    evicted.clear();
}

static void emotes_pump();

// Main thread, from the hand-over: one fetch's result (null when the picture does not come).
static void emote_arrived(const std::string& path, std::shared_ptr<EmoteImage> image, unsigned run) {
    if (run != store.run) return;
    store.in_flight--;
    if (!image) {
        store.status[path] = EMOTE_FAILED;
        store.failures++;
    } else {
        EmoteCacheEntry entry;
        entry.bytes = image->rgba.size();
        Image pixels = {image->rgba.data(), image->width, int(image->rgba.size() / 4 / size_t(image->width)), 1,
                        PIXELFORMAT_UNCOMPRESSED_R8G8B8A8};
        entry.texture = LoadTextureFromImage(pixels);
        // Uploaded, the pixels live in the texture; without a window they stay here.
        if (entry.texture.id != 0) std::vector<unsigned char>().swap(image->rgba);
        entry.image = std::move(image);
        std::vector<EmoteCacheEntry> evicted;
        emote_cache_put(store.cache, path, std::move(entry), &evicted);
        store.status[path] = store.cache.slots.count(path) ? EMOTE_READY : EMOTE_FAILED;
        if (store.status[path] == EMOTE_FAILED) store.failures++;
        emotes_release(evicted, path);
    }
    emotes_pump();
}

// Hand waiting pictures to the worker while fewer than EMOTE_FETCHES_MAX are out.
static void emotes_pump() {
    while (store.in_flight < EMOTE_FETCHES_MAX && !store.waiting.empty()) {
        std::string path = std::move(store.waiting.front());
        store.waiting.pop_front();
        std::string url = endpoint_service_origin() + path + (gfx_scale() >= 2 ? "?scale=2" : "");
        unsigned run = store.run;
        bool queued = fetch_task_background([url, path, run] {
            std::string body = fetch_blocking(url, "GET", EMOTE_FETCH_LIMIT_MS);
            auto image = std::make_shared<EmoteImage>();
            if (body.empty() || !emote_png_read(body, image.get())) image.reset();
            online_post([path, image, run] { emote_arrived(path, image, run); });
        });
        if (queued)
            store.in_flight++;
        else
            store.status[path] = EMOTE_FAILED;  // requests are off: it cannot come
    }
}

// Forget the paths given up when the record is full (main thread).
static void emotes_forget_failed() {
    if (store.status.size() < EMOTE_PATHS_MAX) return;
    for (auto it = store.status.begin(); it != store.status.end();)
        it = it->second == EMOTE_FAILED ? store.status.erase(it) : std::next(it);
}

void emote_want(const std::string& path) {
    if (store.status.count(path)) return;
    emotes_forget_failed();
    store.status[path] = EMOTE_WAITING;
    store.waiting.push_back(path);
    if (store.waiting.size() > EMOTE_WAITING_MAX) {
        store.status[store.waiting.front()] = EMOTE_FAILED;
        store.failures++;
        store.waiting.pop_front();
    }
    emotes_pump();
}

bool emote_failed(const std::string& path) {
    auto it = store.status.find(path);
    return it != store.status.end() && it->second == EMOTE_FAILED;
}

EmoteShow emote_show(const std::string& path, double ms) {
    EmoteShow show;
    EmoteCacheEntry* entry = emote_cache_get(store.cache, path);
    if (entry == nullptr) {
        show.status = emote_failed(path) ? EMOTE_FAILED : EMOTE_WAITING;
        return show;
    }
    const EmoteImage& image = *entry->image;
    show.status = EMOTE_READY;
    show.texture = entry->texture;
    show.animated = image.delays_ms.size() > 1;
    int frame = emote_frame_at(image, ms);
    show.source = Rectangle{0, float(frame * image.frame_height), float(image.width), float(image.frame_height)};
    return show;
}

unsigned emotes_failures() { return store.failures; }

int emotes_in_flight() { return store.in_flight; }

size_t emotes_cache_bytes() { return store.cache.used; }

void emotes_set_limit(size_t bytes) {
    store.cache.limit = bytes;
    std::vector<EmoteCacheEntry> evicted;
    emote_cache_trim(store.cache, &evicted);
    emotes_release(evicted, "");
}

void emotes_reset() {
    for (auto& [path, slot] : store.cache.slots) UnloadTexture(slot.entry.texture);
    size_t limit = store.cache.limit;
    unsigned run = store.run + 1;
    unsigned failures = store.failures;
    store = EmoteStore{};
    store.failures = failures + 1;  // boxes of the old run look again
    store.cache.limit = limit;
    store.run = run;
}

size_t emotes_cache_choose_mb(const json& configured, std::string* problem) {
    if (configured.is_null()) return EMOTE_CACHE_DEFAULT_MB;
    if (configured.is_number_integer()) {
        long long value = configured.get<long long>();
        if (value >= 1 && value <= (long long)EMOTE_CACHE_MOST_MB) return size_t(value);
    }
    if (problem != nullptr) {
        std::string shown = configured.dump(-1, ' ', false, json::error_handler_t::replace);
        if (shown.size() > 40) shown = shown.substr(0, 37) + "...";
        *problem = "config: \"emote_cache_mb\" must be an integer from 1 to " + std::to_string(EMOTE_CACHE_MOST_MB) +
                   " (not " + shown + "); using " + std::to_string(EMOTE_CACHE_DEFAULT_MB);
    }
    return EMOTE_CACHE_DEFAULT_MB;
}
