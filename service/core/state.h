// The state every part of vimo-service shares, below the HTTP server: the
// options, the store, the rate limiter and the few values fixed at start-up.
// The chat path, the bridges and the request helpers take a ServiceCore, so
// that none of them needs the server above it (handlers/server.h adds what
// serving takes to make the whole Service).
//
// Threads: filled on the owning thread by service_create and service_bind
// before any handler or bridge runs, then read only; the store and the limiter
// lock for themselves.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/options.h"
#include "core/rate_limit.h"
#include "store/store.h"
#include "text/text.h"

// The followed Twitch logins live now, as the live follower (bridges/live_follow)
// last learnt them; /api/ferncircle lists them beside the streamer's own handles.
// Written on the follower's thread, read by HTTP workers: each call locks.
class LiveNow {
public:
    void set(std::vector<std::string> logins) {
        std::lock_guard<std::mutex> lock(mutex_);
        logins_ = std::move(logins);
    }
    std::vector<std::string> get() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return logins_;
    }

private:
    mutable std::mutex mutex_;          // guards logins_
    std::vector<std::string> logins_;   // in --live-twitch's order; empty: none live (or none followed)
};

namespace bridges {
class TwitchAppToken;  // outbound/twitch_app.h, a layer above: made by service_create
}
class ImageCatalog;  // emotes/image_key.h, a layer above: made by service_create

struct ServiceCore {
    ServiceOptions options;
    StorePtr store;
    RateLimiter limiter;
    std::string origin;       // for links in answers and pages; known after service_bind
    std::string admin_token;  // from the store: only at the start that created it ("" later)
    bool token_created = false;
    int port = -1;            // the bound port; -1 before service_bind
    NameKeys streamer;        // name_keys of the reserved streamer's handle
    // The images /api/emote/KEY may serve: derived keys and those the emote
    // providers named (it locks for itself). nullptr only in a bare ServiceCore.
    std::shared_ptr<ImageCatalog> catalog;
    // The sign-in's Twitch app's token, for Helix (badges, the live follower); locks
    // for itself. nullptr only in a bare ServiceCore.
    std::shared_ptr<bridges::TwitchAppToken> twitch_app;
    LiveNow live_now;  // the followed logins live now (locks for itself)
};
