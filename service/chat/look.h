// How a chat line looks on its platform, kept beside its text: the sender's
// colour, badges and the spans of the text that are emotes. The chat page hands
// it over as "name", "color", "badges" and "emotes" beside the fields older
// companions read, which keep their meaning.
//
// Images are named by a key (emotes/image_key.h) and served at /api/emote/KEY;
// the service fetches only what a platform or an emote provider told it about.
//
// Threads: plain values and pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// One badge in the platform's order (Twitch: broadcaster, moderator, vip, subscriber, ...).
struct ChatBadge {
    std::string set;      // Twitch's set id: "moderator", "subscriber", ...
    std::string version;  // "1", "12", ...
    std::string key;      // emotes/image_key.h; the path is "/api/emote/" + key
};

// A run of the text shown as an image. start and end count code points of the
// stored text, end exclusive; w and h are the 1x size in pixels.
struct EmoteSpan {
    int64_t start = 0;
    int64_t end = 0;
    std::string key;         // emotes/image_key.h; the path is "/api/emote/" + key
    int w = 28, h = 28;
    bool zero_width = false;  // drawn over the emote before it (7TV's flag)
};

struct ChatLook {
    std::string color;  // "#rrggbb", readable on a white box; "" = none known
    std::vector<ChatBadge> badges;
    std::vector<EmoteSpan> emotes;  // in text order, none overlapping, none past the text
    bool empty() const { return color.empty() && badges.empty() && emotes.empty(); }
};

// At most this many images in one box (badges and emotes together); the rest stay text.
inline constexpr size_t LOOK_MAX_IMAGES = 50;
// WCAG contrast a name's colour keeps against the box's white (#ffffff).
inline constexpr double LOOK_MIN_CONTRAST = 4.5;

// Keeps of look what text (UTF-8, as stored: after any cut) can show: spans
// inside the text, none overlapping another (both are dropped: neither can be
// trusted), keys of URL-safe characters; then badges and emotes in that order
// up to LOOK_MAX_IMAGES (the later emotes stay text). A colour that is not
// "#rrggbb" is dropped. Returns how many spans and badges were dropped.
size_t chat_look_fit(ChatLook& look, const std::string& text);

// "#RRGGBB" (either case) as "#rrggbb" made readable on white: its HSL lightness
// lowered, hue and saturation kept, until the contrast is LOOK_MIN_CONTRAST;
// "" when color is not such a value.
std::string chat_readable_color(const std::string& color);
// WCAG contrast of two "#rrggbb" colours (1 to 21); 0 when either is malformed.
double chat_contrast(const std::string& a, const std::string& b);

// A Twitch badge's image key: "badge-SET-VERSION", "-ROOM" after it for a
// channel's own (room not ""). Twitch sets carry '-' ("sub-gifter"), which keys
// keep for their own separator: it becomes '_'. "" when a part is not 1 to 64 of
// [A-Za-z0-9_-].
std::string chat_badge_key(const std::string& set, const std::string& version, const std::string& room);

// The look as the store keeps it (compact JSON text); "" when empty.
std::string chat_look_stored(const ChatLook& look);
// A stored look back; an empty look when text is "" or not one (an older row).
ChatLook chat_look_from_stored(const std::string& text);
// The served fields of look into a chat page's message: "color" when known,
// "badges" and "emotes" (each image as "/api/emote/KEY").
void chat_look_serve(const ChatLook& look, nlohmann::json& message);
// A look a bot gives at /api/ingest ({"color","badges","emotes"} as served,
// "key" or "image" naming each image); what is malformed is left out.
ChatLook chat_look_from_json(const nlohmann::json& given);
