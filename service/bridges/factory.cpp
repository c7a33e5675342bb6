// The bridges a service's options ask for (see bridge.h).
#include "bridges/bridge.h"

#include "bridges/live/live_follow.h"
#include "core/state.h"

namespace bridges {

std::vector<std::unique_ptr<Bridge>> make_bridges(ServiceCore& s, const BridgeOptions& o) {
    std::vector<std::unique_ptr<Bridge>> out;
    if (!o.twitch_channels.empty())
        if (auto b = make_twitch_bridge(s, o)) out.push_back(std::move(b));
    if (!o.matrix_homeserver.empty())
        if (auto b = make_matrix_bridge(s, o)) out.push_back(std::move(b));
    if (!o.discord_token.empty())
        if (auto b = make_discord_bridge(s, o)) out.push_back(std::move(b));
    if (!o.kick_chatrooms.empty())
        if (auto b = make_kick_bridge(s, o)) out.push_back(std::move(b));
    if (!o.youtube_key.empty() && (!o.youtube_channel.empty() || !o.youtube_video.empty()))
        if (auto b = make_youtube_bridge(s, o)) out.push_back(std::move(b));
    if (!s.options.live.twitch_logins.empty()) out.push_back(make_live_follow(s));
    return out;
}

}  // namespace bridges
