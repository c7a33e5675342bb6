#include "emotes/image_key.h"

#include <vector>

namespace {

bool valid_part(const std::string& s) {
    if (s.empty() || s.size() > 64) return false;
    for (unsigned char c : s)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
    return true;
}

std::vector<std::string> split_dash(const std::string& s) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
        size_t dash = s.find('-', from);
        parts.push_back(s.substr(from, dash - from));
        if (dash == std::string::npos) return parts;
        from = dash + 1;
    }
}

}  // namespace

bool image_key_valid(const std::string& key) {
    std::vector<std::string> parts = split_dash(key);
    for (size_t i = 1; i < parts.size(); ++i)
        if (!valid_part(parts[i])) return false;
    const std::string& kind = parts[0];
    if (kind == "badge") return parts.size() == 3 || parts.size() == 4;
    if (kind == "kick")  // Kick's emote ids are numbers
        return parts.size() == 2 && parts[1].size() <= 20 && parts[1].find_first_not_of("0123456789") == std::string::npos;
    return parts.size() == 2 && (kind == "tw" || kind == "dc" || kind == "dca" || kind == "7tv" || kind == "bttv" ||
                                 kind == "ffz");
}

void ImageCatalog::learn(const std::string& key, ImageSource source) {
    if (!image_key_valid(key)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    learned_[key] = std::move(source);
}

std::optional<ImageSource> ImageCatalog::find(const std::string& key) const {
    if (!image_key_valid(key)) return std::nullopt;
    std::string id = key.substr(key.find('-') + 1);
    if (key.rfind("tw-", 0) == 0) {
        std::string base = options_.twitch_cdn + "/emoticons/v2/" + id + "/default/dark/";
        return ImageSource{base + "1.0", base + "2.0", false};
    }
    if (key.rfind("dc-", 0) == 0 || key.rfind("dca-", 0) == 0) {
        bool animated = key[2] == 'a';
        std::string base = options_.discord_cdn + "/emojis/" + id + (animated ? ".gif" : ".png");
        return ImageSource{base + "?size=32", base + "?size=64", animated};
    }
    if (key.rfind("kick-", 0) == 0) {
        // Kick offers one size: both scales are that image, drawn at the span's size by the companion.
        std::string url = options_.kick_cdn + "/emotes/" + id + "/fullsize";
        return ImageSource{url, url, false};
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = learned_.find(key);
    if (it == learned_.end()) return std::nullopt;
    return it->second;
}
