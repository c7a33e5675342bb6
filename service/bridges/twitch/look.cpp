// A Twitch line's look (see look.h).
#include "bridges/twitch/look.h"

#include <algorithm>

namespace bridges {

namespace {

// Twitch's default name colours, in the order its clients pick them by user id.
const char* const DEFAULT_COLORS[15] = {"#FF0000", "#0000FF", "#008000", "#B22222", "#FF7F50",
                                        "#9ACD32", "#FF4500", "#2E8B57", "#DAA520", "#D2691E",
                                        "#5F9EA0", "#1E90FF", "#FF69B4", "#8A2BE2", "#00FF7F"};

// A channel's own badges: their images differ per channel.
bool channel_badge(const std::string& set) { return set == "subscriber" || set == "bits"; }

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    size_t from = 0;
    for (;;) {
        size_t at = s.find(sep, from);
        out.push_back(s.substr(from, at - from));
        if (at == std::string::npos) return out;
        from = at + 1;
    }
}

// "123" (at most 9 digits) into *out.
bool small_number(const std::string& s, int64_t* out) {
    if (s.empty() || s.size() > 9) return false;
    int64_t n = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    *out = n;
    return true;
}

bool room_ok(const std::string& room) {
    if (room.empty() || room.size() > 20) return false;
    return std::all_of(room.begin(), room.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<ChatBadge> badges_of(const std::string& tag, const std::string& room, size_t* dropped) {
    std::vector<ChatBadge> out;
    if (tag.empty()) return out;
    for (const std::string& item : split(tag, ',')) {
        size_t slash = item.find('/');
        std::string set = item.substr(0, slash), version = slash == std::string::npos ? "" : item.substr(slash + 1);
        std::string key = chat_badge_key(set, version, channel_badge(set) && room_ok(room) ? room : "");
        if (key.empty()) {
            ++*dropped;
            continue;
        }
        out.push_back({set, version, key});
    }
    return out;
}

// Third-party emotes: each whole word (split on spaces) a set names, unless a
// native span covers any of it.
void add_words(const std::string& text, const std::string& room, const emotes::EmoteSets& sets,
               std::vector<EmoteSpan>* spans) {
    std::vector<EmoteSpan> native = *spans;
    int64_t cp = 0, word_start = 0;
    size_t byte_start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        bool end = i == text.size() || text[i] == ' ';
        if (end && i > byte_start) {
            const emotes::ThirdPartyEmote* e = sets.find(room, std::string_view(text).substr(byte_start, i - byte_start));
            bool covered = std::any_of(native.begin(), native.end(),
                                       [&](const EmoteSpan& n) { return n.start < cp && word_start < n.end; });
            if (e && !covered) spans->push_back({word_start, cp, e->key, e->w, e->h, e->zero_width});
        }
        if (i == text.size()) break;
        if (end) byte_start = i + 1, word_start = cp + 1;
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++cp;
    }
    std::sort(spans->begin(), spans->end(), [](const EmoteSpan& a, const EmoteSpan& b) { return a.start < b.start; });
}

}  // namespace

std::vector<EmoteSpan> twitch_emote_tag(const std::string& tag, const std::string& text, size_t* dropped) {
    ChatLook native;
    size_t given = 0;
    if (tag.empty()) return {};
    for (const std::string& group : split(tag, '/')) {
        size_t colon = group.find(':');
        std::string id = group.substr(0, colon);
        bool id_ok = colon != std::string::npos && image_key_valid("tw-" + id);
        for (const std::string& range : split(colon == std::string::npos ? "" : group.substr(colon + 1), ',')) {
            ++given;
            size_t dash = range.find('-');
            int64_t s = 0, e = 0;
            if (!id_ok || dash == std::string::npos || !small_number(range.substr(0, dash), &s) ||
                !small_number(range.substr(dash + 1), &e) || e < s)
                continue;
            native.emotes.push_back({s, e + 1, "tw-" + id, TWITCH_EMOTE_PX, TWITCH_EMOTE_PX, false});
        }
    }
    // Overlaps and ranges past the text go here, before any word is looked at: a
    // word never hides behind a bad range.
    chat_look_fit(native, text);
    *dropped += given - native.emotes.size();
    return native.emotes;
}

std::string twitch_default_color(const std::string& user_id) {
    uint64_t n = 0;
    bool digits = !user_id.empty() && user_id.size() <= 19;
    for (char c : user_id) digits = digits && c >= '0' && c <= '9';
    if (digits) {
        for (char c : user_id) n = n * 10 + uint64_t(c - '0');
    } else {
        n = 1469598103934665603ull;  // FNV-1a: stable across runs and builds
        for (unsigned char c : user_id) n = (n ^ c) * 1099511628211ull;
    }
    return chat_readable_color(DEFAULT_COLORS[n % 15]);
}

ChatLook twitch_look(const IrcMessage& m, const std::string& text, const emotes::EmoteSets* sets, size_t* dropped) {
    ChatLook look;
    const std::string& room = m.tag("room-id");
    // A colour tag that is not #RRGGBB counts as none.
    look.color = chat_readable_color(m.tag("color"));
    if (look.color.empty()) look.color = twitch_default_color(m.tag("user-id"));
    look.badges = badges_of(m.tag("badges"), room, dropped);
    look.emotes = twitch_emote_tag(m.tag("emotes"), text, dropped);
    if (sets) add_words(text, room_ok(room) ? room : "", *sets, &look.emotes);
    return look;
}

}  // namespace bridges
