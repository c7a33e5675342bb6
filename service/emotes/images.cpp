// Fetching, decoding and keeping the images /api/emote/KEY serves (see images.h).
#include "emotes/images.h"

#include <cstdio>

#include <openssl/evp.h>

#include "emotes/get.h"
#include "images/images.h"

namespace {

ImageAnswer png_answer(std::string png) {
    ImageAnswer a;
    a.kind = ImageAnswer::Png;
    a.etag = image_etag(png);
    a.png = std::make_shared<const std::string>(std::move(png));
    return a;
}

ImageAnswer refused(std::string why) {
    ImageAnswer a;
    a.kind = ImageAnswer::Refused;
    a.why = std::move(why);
    return a;
}

// badge-SET-VERSION[-ROOM] into its parts (the key is valid: image_key_valid said so).
void badge_parts(const std::string& key, std::string* set, std::string* version, std::string* room) {
    size_t a = key.find('-'), b = key.find('-', a + 1), c = key.find('-', b + 1);
    *set = key.substr(a + 1, b - a - 1);
    *version = key.substr(b + 1, c == std::string::npos ? std::string::npos : c - b - 1);
    *room = c == std::string::npos ? "" : key.substr(c + 1);
}

// Our own mark for a badge key, when its set has one.
std::optional<ImageAnswer> own_mark(const std::string& key, int scale) {
    if (key.rfind("badge-", 0) != 0) return std::nullopt;
    std::string set, version, room;
    badge_parts(key, &set, &version, &room);
    std::string png = badge_mark_png(set, scale);
    if (png.empty()) return std::nullopt;
    return png_answer(std::move(png));
}

}  // namespace

std::string image_etag(const std::string& png) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_Digest(png.data(), png.size(), md, &len, EVP_sha256(), nullptr);
    static const char hex[] = "0123456789abcdef";
    std::string tag = "\"";
    for (unsigned i = 0; i < 8 && i < len; ++i) tag += {hex[md[i] >> 4], hex[md[i] & 15]};
    return tag + "\"";
}

ImageStore::ImageStore(std::shared_ptr<ImageCatalog> catalog, std::shared_ptr<bridges::TwitchAppToken> app,
                       std::shared_ptr<boost::asio::ssl::context> tls)
    : catalog_(std::move(catalog)), tls_(tls),
      cache_(catalog_->options().image_dir, catalog_->options().image_cache_mb * 1024 * 1024),
      badges_(std::move(app), catalog_->options().helix_api, tls) {}

ImageAnswer ImageStore::get(const std::string& key, int scale) {
    if (!image_key_valid(key) || (scale != 1 && scale != 2)) return ImageAnswer{};
    std::string name = key + "@" + std::to_string(scale);
    if (std::optional<std::string> png = cache_.read(name)) return png_answer(std::move(*png));
    std::shared_ptr<Pending> pending;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        auto now = std::chrono::steady_clock::now();
        if (auto f = failures_.find(name); f != failures_.end()) {
            if (f->second.until > now) {
                if (std::optional<ImageAnswer> mark = own_mark(key, scale)) return *mark;
                return refused(f->second.why);
            }
            failures_.erase(f);
        }
        if (auto p = pending_.find(name); p != pending_.end()) {
            // Another request fetches it: its answer is ours, within the longest an ask takes.
            pending = p->second;
            settled_.wait_for(lock, std::chrono::duration<double>(IMAGE_LONGEST_ASK_S), [&] { return pending->done; });
            return pending->done ? pending->answer : refused("the image is still being fetched");
        }
        pending = std::make_shared<Pending>();
        pending_[name] = pending;
    }
    ImageAnswer answer = produce(key, scale, name);
    std::lock_guard<std::mutex> lock(mutex_);
    pending->answer = answer;
    pending->done = true;
    pending_.erase(name);
    settled_.notify_all();
    return answer;
}

ImageAnswer ImageStore::produce(const std::string& key, int scale, const std::string& name) {
    // A fetch that ended just before this one began has left its file.
    if (std::optional<std::string> png = cache_.read(name)) return png_answer(std::move(*png));
    if (key.rfind("badge-", 0) == 0) return produce_badge(key, scale, name);
    std::optional<ImageSource> src = catalog_->find(key);
    if (!src) return ImageAnswer{};
    return from_source(*src, scale, name);
}

ImageAnswer ImageStore::produce_badge(const std::string& key, int scale, const std::string& name) {
    std::string set, version, room;
    badge_parts(key, &set, &version, &room);
    std::optional<ImageSource> src = catalog_->find(key);  // one another part has learned
    if (!src && badges_.has_app()) {
        loops_.run([&]() -> outbound::awaitable<void> {
            co_await outbound::run_within(IMAGE_FETCH_TIMEOUT_S, [&]() -> outbound::awaitable<void> {
                src = co_await badges_.find(set, version, room);
            });
        });
    }
    if (src) {
        ImageAnswer a = from_source(*src, scale, name);
        if (a.kind == ImageAnswer::Png) return a;
    }
    if (std::optional<ImageAnswer> mark = own_mark(key, scale)) return *mark;
    return ImageAnswer{};  // a set with no mark of ours, unknown to Helix
}

// Takes a place of sem for the life of the guard, waiting at most seconds.
namespace {
template <class Sem>
struct Place {
    Sem& sem;
    bool held;
    Place(Sem& s, double seconds) : sem(s), held(s.try_acquire_for(std::chrono::duration<double>(seconds))) {}
    ~Place() {
        if (held) sem.release();
    }
};
}  // namespace

ImageAnswer ImageStore::from_source(const ImageSource& src, int scale, const std::string& name) {
    bool upscale = scale == 2 && src.url_2x.empty();
    std::string url = scale == 2 && !upscale ? src.url_2x : src.url_1x;
    bridges::HttpsAnswer a;
    // Any image: the key's URL names its format where the provider offers several.
    std::vector<std::pair<std::string, std::string>> accept{{"Accept", "image/*"}};
    bool in_time = false, ran = false;
    {
        Place fetch_place(fetching_, IMAGE_FETCH_TIMEOUT_S);
        if (!fetch_place.held) return refused("too many images are being fetched; ask again");  // not remembered
        ran = loops_.run([&]() -> outbound::awaitable<void> {
            in_time = co_await outbound::run_within(IMAGE_FETCH_TIMEOUT_S, [&]() -> outbound::awaitable<void> {
                a = co_await emote_get(tls_, url, "", accept, IMAGE_FETCH_TIMEOUT_S, IMAGE_MAX_SOURCE_BYTES);
            });
        });
    }
    if (!ran) return refused("the service is stopping");  // not remembered: nothing is wrong with the image
    if (!in_time) return refuse(name, "its source did not answer within 10 s");
    if (a.status == 0 && a.error.find("body limit") != std::string::npos)
        return refuse(name, "its source sent over 20 MiB");
    if (a.status == 0) return refuse(name, "its source could not be reached: " + a.error);
    if (a.status != 200) return refuse(name, "its source answered HTTP " + std::to_string(a.status));
    Place decode_place(decoding_, IMAGE_FETCH_TIMEOUT_S);
    if (!decode_place.held) return refused("too many images are being decoded; ask again");
    ImageDecoded decoded = image_decode(reinterpret_cast<const uint8_t*>(a.body.data()), a.body.size());
    std::string().swap(a.body);  // the source's bytes go before the PNG is made
    if (auto* why = std::get_if<ImageRefusal>(&decoded)) return refuse(name, image_refusal_text(*why));
    if (upscale) {
        decoded = image_scale2(std::get<ImageFrames>(decoded));
        if (auto* why = std::get_if<ImageRefusal>(&decoded)) return refuse(name, image_refusal_text(*why));
    }
    std::string png = image_png(std::get<ImageFrames>(decoded));
    if (png.empty()) return refuse(name, "its PNG could not be made");
    cache_.write(name, png);
    return png_answer(std::move(png));
}

ImageAnswer ImageStore::refuse(const std::string& name, const std::string& why) {
    std::fprintf(stderr, "vimo-service: image %s refused: %s\n", name.c_str(), why.c_str());
    auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    if (failures_.size() >= IMAGE_MAX_FAILURES) {  // past the bound: the expired go, then any
        for (auto it = failures_.begin(); it != failures_.end();) it = it->second.until <= now ? failures_.erase(it) : std::next(it);
        while (failures_.size() >= IMAGE_MAX_FAILURES) failures_.erase(failures_.begin());
    }
    failures_[name] = Failure{why, now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                            std::chrono::duration<double>(IMAGE_FAILURE_KEEP_S))};
    return refused(why);
}
