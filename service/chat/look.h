// How a chat line looks on its platform, kept beside its text: the sender's
// colour, badges and the spans of the text that are emotes. The chat page hands
// it over as "name", "color", "badges" and "emotes" beside the fields older
// companions read, which keep their meaning.
//
// Images are named by a key (emotes/image_key.h) and served at /api/emote/KEY;
// the service fetches only what a platform or an emote provider told it about.
//
// Threads: plain values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One badge in the platform's order (Twitch: broadcaster, moderator, vip, subscriber, ...).
struct ChatBadge {
    std::string set;      // Twitch's set id: "moderator", "subscriber", ...
    std::string version;  // "1", "12", ...
    std::string image;    // "/api/emote/KEY" on this service
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
