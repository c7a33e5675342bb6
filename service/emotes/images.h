// The images /api/emote/KEY serves: each key's source image (image_key.h)
// fetched once, decoded and checked (images/images.h), and kept as the PNG
// the companion draws in a disk cache (image_cache.h) under
// EmoteOptions::image_dir. Badges come from Helix or are our own marks
// (badges.h).
//
// One fetch per key and scale: a request that finds one under way waits for
// it. A refused or failed image is remembered for IMAGE_FAILURE_KEEP_S, so
// asking again costs nothing, and is told once on stderr with its key and why.
//
// Threads: ImageStore::get from any HTTP worker; it blocks that thread for at
// most IMAGE_LONGEST_ASK_S while the fetch
// runs on an event loop of the thread's own. stop() from any thread ends every
// fetch at once.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>

#include <boost/asio/ssl.hpp>

#include "emotes/badges.h"
#include "emotes/image_cache.h"
#include "emotes/image_key.h"
#include "outbound/loop.h"

inline constexpr double IMAGE_FETCH_TIMEOUT_S = 10;                // the whole fetch of one source image
inline constexpr size_t IMAGE_MAX_SOURCE_BYTES = 20 * 1024 * 1024;  // a source image's body; longer is cut off
inline constexpr double IMAGE_FAILURE_KEEP_S = 600;                 // seconds a refusal is remembered
inline constexpr size_t IMAGE_MAX_FAILURES = 10000;                 // refusals remembered at once
// Fetches and decodes under way at once, whatever the number of HTTP threads:
// each holds up to IMAGE_MAX_SOURCE_BYTES, a decode up to three times the
// decoded limit (frames, canvas, PNG), so memory stays within a few hundred MiB.
inline constexpr int IMAGE_MAX_FETCHES = 16;
inline constexpr int IMAGE_MAX_DECODES = 2;
// The longest one ask may take: a place to fetch in, a badge list, the fetch and
// a place to decode in, each at most IMAGE_FETCH_TIMEOUT_S, and the decode.
inline constexpr double IMAGE_LONGEST_ASK_S = 5 * IMAGE_FETCH_TIMEOUT_S;

struct ImageAnswer {
    enum Kind {
        Png,      // png holds the image
        Unknown,  // no such key (or a malformed one): 404
        Refused,  // the source failed or its image was refused: why says so
    } kind = Unknown;
    std::shared_ptr<const std::string> png;  // nullptr unless Png
    std::string etag;                        // "\"<16 hex>\"" of png; "" unless Png
    std::string why;                         // a short English reason; "" unless Refused
};

class ImageStore {
public:
    // app: the sign-in's Twitch app, for Helix's badges; tls: for https sources (nullptr: none).
    ImageStore(std::shared_ptr<ImageCatalog> catalog, std::shared_ptr<bridges::TwitchAppToken> app,
               std::shared_ptr<boost::asio::ssl::context> tls);
    // key's image at scale 1 or 2.
    ImageAnswer get(const std::string& key, int scale);
    // Ends the fetches under way and refuses later ones (any thread).
    void stop() { loops_.stop(); }

private:
    struct Pending {
        bool done = false;    // answer is final
        ImageAnswer answer;
    };
    struct Failure {
        std::string why;
        std::chrono::steady_clock::time_point until;  // forgotten after
    };
    ImageAnswer produce(const std::string& key, int scale, const std::string& name);
    ImageAnswer produce_badge(const std::string& key, int scale, const std::string& name);
    ImageAnswer from_source(const ImageSource& src, int scale, const std::string& name);
    ImageAnswer refuse(const std::string& name, const std::string& why);  // remembered, told once

    std::shared_ptr<ImageCatalog> catalog_;
    std::shared_ptr<boost::asio::ssl::context> tls_;
    ImageDiskCache cache_;
    BadgeBook badges_;
    outbound::Loops loops_;  // every fetch's event loop, stopped together
    std::counting_semaphore<IMAGE_MAX_FETCHES> fetching_{IMAGE_MAX_FETCHES};  // a place to fetch in
    std::counting_semaphore<IMAGE_MAX_DECODES> decoding_{IMAGE_MAX_DECODES};  // a place to decode in
    std::mutex mutex_;       // guards pending_ and failures_
    std::condition_variable settled_;  // a pending_ entry became done
    std::map<std::string, std::shared_ptr<Pending>> pending_;  // "KEY@SCALE" under way
    std::map<std::string, Failure> failures_;                 // "KEY@SCALE" refused lately
};

// The strong ETag of png: a quoted SHA-256 prefix.
std::string image_etag(const std::string& png);
