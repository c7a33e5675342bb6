// How a chat line looks (see look.h): what of it a text can show, colours
// readable on white, and the look as stored and served.
#include "chat/look.h"

#include <algorithm>
#include <cmath>

using nlohmann::json;

namespace {

constexpr int MAX_EMOTE_PX = 1024;         // a 1x size beyond this is no emote's
constexpr size_t MAX_KEY_BYTES = 3 * 64 + 8;  // the longest key: "badge-" and three parts
const char* const IMAGE_PATH = "/api/emote/";

// Code points of well-formed UTF-8: the bytes that do not continue one.
int64_t code_points(const std::string& text) {
    int64_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}

bool word_char(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// 1 to max of [A-Za-z0-9_], and '-' when dash: what goes into a URL path as it is.
bool safe_part(const std::string& s, size_t max, bool dash) {
    if (s.empty() || s.size() > max) return false;
    for (unsigned char c : s)
        if (!word_char(c) && !(dash && c == '-')) return false;
    return true;
}

bool parse_hex(const std::string& color, double rgb[3]) {
    if (color.size() != 7 || color[0] != '#') return false;
    for (int i = 0; i < 3; ++i) {
        int v = 0;
        for (int j = 1; j <= 2; ++j) {
            char c = color[size_t(2 * i + j)];
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (d < 0) return false;
            v = v * 16 + d;
        }
        rgb[i] = v / 255.0;
    }
    return true;
}

std::string hex_of(const double rgb[3]) {
    static const char digits[] = "0123456789abcdef";
    std::string out = "#";
    for (int i = 0; i < 3; ++i) {
        int v = int(std::lround(std::clamp(rgb[i], 0.0, 1.0) * 255));
        out += digits[v >> 4];
        out += digits[v & 15];
    }
    return out;
}

// WCAG relative luminance of sRGB values in 0..1.
double luminance(const double rgb[3]) {
    double lin[3];
    for (int i = 0; i < 3; ++i)
        lin[i] = rgb[i] <= 0.04045 ? rgb[i] / 12.92 : std::pow((rgb[i] + 0.055) / 1.055, 2.4);
    return 0.2126 * lin[0] + 0.7152 * lin[1] + 0.0722 * lin[2];
}

double contrast_on_white(const double rgb[3]) { return 1.05 / (luminance(rgb) + 0.05); }

double hue_part(double p, double q, double t) {
    if (t < 0) t += 1;
    if (t > 1) t -= 1;
    if (t < 1.0 / 6) return p + (q - p) * 6 * t;
    if (t < 0.5) return q;
    if (t < 2.0 / 3) return p + (q - p) * (2.0 / 3 - t) * 6;
    return p;
}

void hsl_to_rgb(double h, double s, double l, double rgb[3]) {
    double q = l < 0.5 ? l * (1 + s) : l + s - l * s, p = 2 * l - q;
    rgb[0] = hue_part(p, q, h + 1.0 / 3);
    rgb[1] = hue_part(p, q, h);
    rgb[2] = hue_part(p, q, h - 1.0 / 3);
}

void rgb_to_hsl(const double rgb[3], double* h, double* s, double* l) {
    double hi = std::max({rgb[0], rgb[1], rgb[2]}), lo = std::min({rgb[0], rgb[1], rgb[2]});
    *l = (hi + lo) / 2;
    *h = *s = 0;
    if (hi == lo) return;
    double d = hi - lo;
    *s = *l > 0.5 ? d / (2 - hi - lo) : d / (hi + lo);
    if (hi == rgb[0]) *h = (rgb[1] - rgb[2]) / d + (rgb[1] < rgb[2] ? 6 : 0);
    else if (hi == rgb[1]) *h = (rgb[2] - rgb[0]) / d + 2;
    else *h = (rgb[0] - rgb[1]) / d + 4;
    *h /= 6;
}

bool span_sound(const EmoteSpan& e, int64_t length) {
    return e.start >= 0 && e.start < e.end && e.end <= length && e.w > 0 && e.h > 0 && e.w <= MAX_EMOTE_PX &&
           e.h <= MAX_EMOTE_PX && safe_part(e.key, MAX_KEY_BYTES, true);
}

// Spans sorted by start, with every one that overlaps another left out.
std::vector<EmoteSpan> without_overlaps(std::vector<EmoteSpan> spans) {
    std::stable_sort(spans.begin(), spans.end(), [](const EmoteSpan& a, const EmoteSpan& b) { return a.start < b.start; });
    std::vector<bool> bad(spans.size(), false);
    size_t reach = 0;  // the span reaching furthest so far
    for (size_t i = 1; i < spans.size(); ++i) {
        if (spans[i].start < spans[reach].end) bad[i] = bad[reach] = true;
        if (spans[i].end > spans[reach].end) reach = i;
    }
    std::vector<EmoteSpan> out;
    for (size_t i = 0; i < spans.size(); ++i)
        if (!bad[i]) out.push_back(std::move(spans[i]));
    return out;
}

std::string key_of_image(const json& o) {
    auto k = o.find("key");
    if (k != o.end() && k->is_string()) return k->get<std::string>();
    auto i = o.find("image");
    if (i == o.end() || !i->is_string()) return "";
    std::string image = i->get<std::string>();
    return image.rfind(IMAGE_PATH, 0) == 0 ? image.substr(std::char_traits<char>::length(IMAGE_PATH)) : "";
}

// An integer field held to -1..2^20 (sizes and offsets never reach it); fallback when absent.
int64_t int_or(const json& o, const char* key, int64_t fallback) {
    auto it = o.find(key);
    return it != o.end() && it->is_number_integer() ? std::clamp<int64_t>(it->get<int64_t>(), -1, 1 << 20) : fallback;
}

std::string string_or(const json& o, const char* key) {
    auto it = o.find(key);
    return it != o.end() && it->is_string() ? it->get<std::string>() : "";
}

}  // namespace

size_t chat_look_fit(ChatLook& look, const std::string& text) {
    size_t given = look.badges.size() + look.emotes.size();
    look.color = chat_readable_color(look.color);
    int64_t length = code_points(text);
    std::vector<EmoteSpan> sound;
    for (EmoteSpan& e : look.emotes)
        if (span_sound(e, length)) sound.push_back(std::move(e));
    look.emotes = without_overlaps(std::move(sound));
    std::vector<ChatBadge> badges;
    for (ChatBadge& b : look.badges)
        if (badges.size() < LOOK_MAX_IMAGES && safe_part(b.set, 64, true) && safe_part(b.version, 64, true) &&
            safe_part(b.key, MAX_KEY_BYTES, true))
            badges.push_back(std::move(b));
    look.badges = std::move(badges);
    if (look.emotes.size() > LOOK_MAX_IMAGES - look.badges.size()) look.emotes.resize(LOOK_MAX_IMAGES - look.badges.size());
    return given - look.badges.size() - look.emotes.size();
}

std::string chat_readable_color(const std::string& color) {
    double rgb[3];
    if (!parse_hex(color, rgb)) return "";
    if (contrast_on_white(rgb) >= LOOK_MIN_CONTRAST) return hex_of(rgb);
    double h, s, l;
    rgb_to_hsl(rgb, &h, &s, &l);
    // The lightest lightness that reads: contrast only grows as lightness falls.
    double lo = 0, hi = l;
    for (int i = 0; i < 32; ++i) {
        double mid = (lo + hi) / 2;
        hsl_to_rgb(h, s, mid, rgb);
        (contrast_on_white(rgb) >= LOOK_MIN_CONTRAST ? lo : hi) = mid;
    }
    // Rounding to bytes may land a hair under the bound: step down until it reads.
    for (double at = lo; at > 0; at -= 0.002) {
        hsl_to_rgb(h, s, at, rgb);
        std::string out = hex_of(rgb);
        double rounded[3];
        parse_hex(out, rounded);
        if (contrast_on_white(rounded) >= LOOK_MIN_CONTRAST) return out;
    }
    return "#000000";
}

double chat_contrast(const std::string& a, const std::string& b) {
    double x[3], y[3];
    if (!parse_hex(a, x) || !parse_hex(b, y)) return 0;
    double la = luminance(x), lb = luminance(y);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

std::string chat_badge_key(const std::string& set, const std::string& version, const std::string& room) {
    if (!safe_part(set, 64, true) || !safe_part(version, 64, true) || (!room.empty() && !safe_part(room, 64, false)))
        return "";
    std::string key = "badge-" + set + "-" + version;
    for (size_t i = 6; i < key.size(); ++i)
        if (key[i] == '-' && i != 6 + set.size()) key[i] = '_';
    return room.empty() ? key : key + "-" + room;
}

std::string chat_look_stored(const ChatLook& look) {
    if (look.empty()) return "";
    json j = json::object();
    if (!look.color.empty()) j["c"] = look.color;
    for (const ChatBadge& b : look.badges) j["b"].push_back(json::array({b.set, b.version, b.key}));
    for (const EmoteSpan& e : look.emotes)
        j["e"].push_back(json::array({e.start, e.end, e.key, e.w, e.h, int(e.zero_width)}));
    return j.dump();
}

ChatLook chat_look_from_stored(const std::string& text) {
    ChatLook look;
    if (text.empty()) return look;
    json j = json::parse(text, nullptr, false);
    if (!j.is_object()) return look;
    look.color = string_or(j, "c");
    auto string_at = [](const json& a, size_t i) { return a[i].is_string() ? a[i].get<std::string>() : ""; };
    auto int_at = [](const json& a, size_t i) {
        return a[i].is_number_integer() ? std::clamp<int64_t>(a[i].get<int64_t>(), -1, 1 << 20) : -1;
    };
    if (j.contains("b") && j["b"].is_array())
        for (const json& b : j["b"])
            if (b.is_array() && b.size() == 3) look.badges.push_back({string_at(b, 0), string_at(b, 1), string_at(b, 2)});
    if (j.contains("e") && j["e"].is_array())
        for (const json& e : j["e"])
            if (e.is_array() && e.size() == 6)
                look.emotes.push_back({int_at(e, 0), int_at(e, 1), string_at(e, 2), int(int_at(e, 3)), int(int_at(e, 4)),
                                       int_at(e, 5) == 1});
    return look;
}

void chat_look_serve(const ChatLook& look, json& message) {
    if (!look.color.empty()) message["color"] = look.color;
    json badges = json::array(), emotes = json::array();
    for (const ChatBadge& b : look.badges)
        badges.push_back({{"set", b.set}, {"version", b.version}, {"image", IMAGE_PATH + b.key}});
    for (const EmoteSpan& e : look.emotes) {
        json span{{"start", e.start}, {"end", e.end}, {"image", IMAGE_PATH + e.key}, {"w", e.w}, {"h", e.h}};
        if (e.zero_width) span["zero_width"] = true;
        emotes.push_back(std::move(span));
    }
    message["badges"] = std::move(badges);
    message["emotes"] = std::move(emotes);
}

ChatLook chat_look_from_json(const json& given) {
    ChatLook look;
    if (!given.is_object()) return look;
    look.color = string_or(given, "color");
    auto list = [&](const char* key) { return given.contains(key) && given[key].is_array() ? given[key] : json::array(); };
    for (const json& b : list("badges"))
        if (b.is_object()) look.badges.push_back({string_or(b, "set"), string_or(b, "version"), key_of_image(b)});
    for (const json& e : list("emotes")) {
        if (!e.is_object()) continue;
        auto zw = e.find("zero_width");
        look.emotes.push_back({int_or(e, "start", -1), int_or(e, "end", -1), key_of_image(e), int(int_or(e, "w", 28)),
                               int(int_or(e, "h", 28)), zw != e.end() && zw->is_boolean() && zw->get<bool>()});
    }
    return look;
}
