// How a Twitch line looks, from its IRCv3 tags and the channel's third-party
// emote sets: the sender's colour (or a stable default), badges, and the
// spans of the text that are emotes (chat/look.h).
//
// Threads: pure functions of their arguments; the bridge's thread (which owns
// the EmoteSets).
#pragma once

#include <string>
#include <vector>

#include "bridges/twitch/irc.h"
#include "chat/look.h"
#include "emotes/sets.h"

namespace bridges {

inline constexpr int TWITCH_EMOTE_PX = 28;  // a Twitch emote's 1x size (scale 1.0)

// The look of a PRIVMSG whose text (after any CTCP ACTION is taken off) is text;
// sets may be nullptr (third-party emotes off). *dropped counts the emote
// ranges and badges of the tags that were malformed, overlapping or past the text.
ChatLook twitch_look(const IrcMessage& m, const std::string& text, const emotes::EmoteSets* sets, size_t* dropped);

// The "emotes" tag ("25:0-4,12-16/1902:6-10": inclusive code-point ranges) as
// spans over text, keys tw-ID, in text order; malformed, overlapping and
// out-of-range ranges dropped and counted in *dropped.
std::vector<EmoteSpan> twitch_emote_tag(const std::string& tag, const std::string& text, size_t* dropped);

// The colour of a sender whose tag gives none: one of Twitch's 15 default name
// colours picked by the user id (its number mod 15; another id by its hash), readable on white.
std::string twitch_default_color(const std::string& user_id);

}  // namespace bridges
