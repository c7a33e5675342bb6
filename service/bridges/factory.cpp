// The bridges a service's options ask for (see bridge.h).
#include "bridges/bridge.h"

#include "core/options.h"

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
    return out;
}

}  // namespace bridges
