// The third-party emote sets a Twitch chat uses (7TV, BetterTTV, FrankerFaceZ):
// their answers read into emotes, and the tables a word of a message is looked
// up in. Fetching them is fetch.h's.
//
// A word names a channel's emote before a global one of the same name; within
// one of the two, 7TV's before BetterTTV's before FrankerFaceZ's.
//
// Threads: the parsers are pure; an EmoteSets belongs to one thread (the Twitch
// bridge's, where its fetcher runs too) and is never locked.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "emotes/image_key.h"

namespace emotes {

inline constexpr size_t EMOTE_SET_MAX = 5000;                  // emotes in one answer; more is refused whole
inline constexpr size_t EMOTE_ANSWER_MAX_BYTES = 8 << 20;      // an answer's body; more is refused unread
inline constexpr int EMOTE_DEFAULT_PX = 28;                    // BetterTTV's 1x size, and a size left unsaid

enum class EmoteProvider { SevenTv = 0, Bttv = 1, Ffz = 2 };
inline constexpr int EMOTE_PROVIDERS = 3;
const char* emote_provider_name(EmoteProvider p);  // "7TV", "BetterTTV", "FrankerFaceZ"

// One emote of a set.
struct ThirdPartyEmote {
    std::string name;         // the word that shows it (case matters)
    std::string key;          // "7tv-ID", "bttv-ID", "ffz-ID"
    int w = EMOTE_DEFAULT_PX;  // 1x size in pixels
    int h = EMOTE_DEFAULT_PX;
    bool zero_width = false;  // drawn over the emote before it (7TV's flag)
    ImageSource image;        // https URLs (or http on this machine) of its 1x and 2x
};

// An answer's text parsed keeping only the fields the sets use, so a large
// answer is not held again as a whole document; discarded when it has more
// objects than EMOTE_SET_MAX emotes could make. A value that is not an object
// when it is malformed or over the bound (*error says which).
nlohmann::json emotes_parse_answer(const std::string& body, std::string* error);

// A provider's answer (emotes_parse_answer's) into its emotes: a global set's
// (channel false) or a channel's. Emotes with malformed ids, names or URLs are
// skipped; false and *error when the answer is not the provider's shape or
// holds more than EMOTE_SET_MAX emotes. bttv_cdn: BetterTTV's image base.
bool emotes_read(EmoteProvider p, const nlohmann::json& answer, bool channel, const std::string& bttv_cdn,
                 std::vector<ThirdPartyEmote>* out, std::string* error);

class EmoteSets {
public:
    // Replaces provider p's emotes of room ("" for its global set).
    void set(EmoteProvider p, const std::string& room, std::vector<ThirdPartyEmote> emotes);
    // The emote word names in room's chat; nullptr when none.
    const ThirdPartyEmote* find(const std::string& room, std::string_view word) const;
    size_t size(const std::string& room) const;  // emotes named in room's own sets (""): global

private:
    using Table = std::map<std::string, ThirdPartyEmote, std::less<>>;  // name -> emote
    std::map<std::string, std::vector<ThirdPartyEmote>> lists_[EMOTE_PROVIDERS];  // per provider: room -> its set
    std::map<std::string, Table> merged_;  // room -> the names of its sets, providers in their order
};

}  // namespace emotes
