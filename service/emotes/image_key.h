// The keys of the images /api/emote/KEY serves, and where each comes from. A
// key names its source, so a request can only make the service fetch an image
// a platform or an emote provider told it about:
//
//   tw-ID             a Twitch emote: {twitch_cdn}/emoticons/v2/ID/default/dark/{1.0|2.0}
//   dc-ID, dca-ID     a Discord custom emoji, still or animated:
//                     {discord_cdn}/emojis/ID.png?size=.. / ID.gif?size=..
//   kick-ID           a Kick emote (ID in digits): {kick_cdn}/emotes/ID/fullsize, one size
//   7tv-ID, bttv-ID, ffz-ID   a third-party emote; its URLs are the ones the
//                     provider's set answer gave (ImageCatalog::learn)
//   badge-SET-VERSION[-ROOM]  a Twitch badge, ROOM a channel's own (subscriber, bits);
//                     Helix's image with a Twitch app configured, else our own mark
//
// ID, SET, VERSION and ROOM are 1 to 64 of [A-Za-z0-9_]; anything else is no key.
//
// Threads: ImageCatalog locks for itself; any thread.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "core/options.h"

struct ImageSource {
    std::string url_1x;
    std::string url_2x;      // "" = only the 1x exists (the 1x is scaled up)
    bool animated = false;   // as far as the provider says; the bytes decide
};

// Whether key is well formed (not whether it is known).
bool image_key_valid(const std::string& key);

// Keys learned from providers' answers, and the ones derived from options.
class ImageCatalog {
public:
    explicit ImageCatalog(EmoteOptions options) : options_(std::move(options)) {}
    // A third-party emote or a Helix badge the service has been told of.
    void learn(const std::string& key, ImageSource source);
    // Where key's image comes from; nullopt for an unknown or malformed key.
    std::optional<ImageSource> find(const std::string& key) const;
    const EmoteOptions& options() const { return options_; }

private:
    EmoteOptions options_;
    mutable std::mutex mutex_;
    std::map<std::string, ImageSource> learned_;
};
