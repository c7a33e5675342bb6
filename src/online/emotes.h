// The pictures of chat lines (emotes.cpp): badges and emotes, each fetched
// from the service once per run, decoded on the network worker, kept decoded
// in one cache bounded by bytes (least recently used out first), uploaded as
// a texture on the main thread, and played at their frames' delays.
//
// A picture is a PNG at the service's GET <origin><path> (1x) or
// <origin><path>?scale=2 (2x, asked for at a UI scale of 2 or more; it is
// drawn at the 1x size, so each texel is one physical pixel). An animated one
// is one PNG with its frames stacked top to bottom, all as tall, carrying a
// tEXt chunk "vimo-frames" whose text is the frames' delays in milliseconds
// joined by commas. Any answer but a readable PNG (a 404 included) means the
// picture does not come: its emote shows its text.
//
// A picture evicted from the cache is not fetched again in this run: its
// emotes show their text from then on (the cache holds what the boxes on the
// desktop show unless they alone exceed it).
//
// Threads: emote_png_read, emote_frame_at and the EmoteCache functions are
// pure (any thread). The store (emotes_*, emote_*) belongs to the main thread;
// its fetches run as background tasks on the network worker
// (fetch_task_background: a chat poll never waits behind more than the one
// in progress), at most EMOTE_FETCHES_MAX at once, and hand their result back
// through online_post.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "gfx/raylib.h"
#include "online/json_text.h"

// Decoded RGBA bytes of one picture; a larger one is refused before decoding.
inline constexpr size_t EMOTE_IMAGE_MAX_BYTES = 16u * 1024u * 1024u;
inline constexpr int EMOTE_IMAGE_MAX_SIDE = 4096;       // pixels of either side of the strip
inline constexpr size_t EMOTE_FRAMES_MAX = 1024;        // frames of one animation; a longer list reads as a still
inline constexpr int EMOTE_DELAY_FLOOR_MS = 10;         // a delay at or below this plays as EMOTE_DELAY_SLOW_MS
inline constexpr int EMOTE_DELAY_SLOW_MS = 100;
inline constexpr size_t EMOTE_CACHE_DEFAULT_MB = 64;    // config.json "emote_cache_mb" when absent
inline constexpr size_t EMOTE_CACHE_MOST_MB = 4096;
inline constexpr int EMOTE_FETCHES_MAX = 3;             // picture fetches handed to the worker at once
inline constexpr long EMOTE_FETCH_LIMIT_MS = 5000;      // one picture's transfer at most
// Pictures waiting for a fetch: past this the oldest waiting one is given up
// (shown as text), so a service that sends new keys faster than it serves
// them cannot grow the queue without end.
inline constexpr size_t EMOTE_WAITING_MAX = 256;
// Paths remembered for the run: past this the given-up ones are forgotten
// (asked for again they are fetched again), so the record stays bounded.
inline constexpr size_t EMOTE_PATHS_MAX = 16384;

// One decoded picture: a still, or a strip of frames.
struct EmoteImage {
    int width = 0;                     // pixels
    int frame_height = 0;              // pixels of one frame (the whole height for a still)
    std::vector<int> delays_ms;        // one per frame, floors applied; empty for a still
    std::vector<unsigned char> rgba;   // the strip, RGBA8, top row first; empty once uploaded
};
// Read a PNG: a still, or a strip when a "vimo-frames" chunk lists N delays
// and the height is N frames of equal height (otherwise it reads as a still).
// False for anything that is not a PNG we show (unreadable, larger than
// EMOTE_IMAGE_MAX_BYTES decoded or EMOTE_IMAGE_MAX_SIDE a side).
bool emote_png_read(const std::string& bytes, EmoteImage* out);
// The frame shown at ms milliseconds of a run of the animation (0 for a still).
int emote_frame_at(const EmoteImage& image, double ms);

// ---- The cache: pictures by key, bounded by bytes ----------------------------------
struct EmoteCacheEntry {
    std::shared_ptr<EmoteImage> image;  // never null while cached
    Texture texture = {};               // its upload; id 0 until then (or without a window)
    size_t bytes = 0;                   // what it counts against the bound: the decoded RGBA size
};
struct EmoteCache {
    size_t limit = EMOTE_CACHE_DEFAULT_MB << 20;  // bytes
    size_t used = 0;                               // bytes of the entries held
    std::list<std::string> order;                  // keys, most recently used first
    struct Slot {
        EmoteCacheEntry entry;
        std::list<std::string>::iterator at;       // its place in order
    };
    std::unordered_map<std::string, Slot> slots;
};
// Hold entry under key as the most recent, dropping the least recently used
// until the bound holds; the entries dropped (entry itself when it alone
// exceeds the bound) are appended to evicted for their owner to release.
void emote_cache_put(EmoteCache& cache, const std::string& key, EmoteCacheEntry entry,
                     std::vector<EmoteCacheEntry>* evicted);
// The entry under key, now the most recent; null when not held.
EmoteCacheEntry* emote_cache_get(EmoteCache& cache, const std::string& key);
// Drop the least recently used until used is within limit (after a smaller limit).
void emote_cache_trim(EmoteCache& cache, std::vector<EmoteCacheEntry>* evicted);

// ---- The store (main thread) -------------------------------------------------------
enum EmoteStatus {
    EMOTE_WAITING = 0,  // asked for, not here yet: its place stays empty
    EMOTE_READY = 1,    // here: draw it
    EMOTE_FAILED = 2,   // will not come this run (failed or evicted): show its text
};
struct EmoteShow {
    int status = EMOTE_WAITING;       // an EmoteStatus
    Texture texture = {};             // READY: the whole strip (id 0 without a window)
    Rectangle source = {0, 0, 0, 0};  // READY: the frame to draw now, texture pixels
    bool animated = false;            // READY: more than one frame
};
// Ask for path's picture (the first ask of a run fetches it; later ones do nothing).
void emote_want(const std::string& path);
// Whether path's picture will not come this run.
bool emote_failed(const std::string& path);
// What to draw for path at ms on the animation clock; marks it recently used.
EmoteShow emote_show(const std::string& path, double ms);
// How many pictures have turned out not to come this run (failed or evicted):
// a box laid out before the count moved lays itself out again.
unsigned emotes_failures();
// Pictures fetched or being fetched at once (tests).
int emotes_in_flight();
// Bytes the cache holds now (tests, diagnostics).
size_t emotes_cache_bytes();
// Set the cache's bound in bytes; pictures beyond it go at once.
void emotes_set_limit(size_t bytes);
// Forget every picture, unloading the textures, and start the run afresh
// (tests; shutdown before the window closes).
void emotes_reset();

// config.json's "emote_cache_mb" (null when absent): an integer from 1 to
// EMOTE_CACHE_MOST_MB. Absent or null gives EMOTE_CACHE_DEFAULT_MB; any other
// value that too and, in problem, the line that says so.
size_t emotes_cache_choose_mb(const json& configured, std::string* problem);
