// A wss:// connection for the WebSocket bridges (Discord's gateway, Kick's
// Pusher socket): TCP, TLS verified against the host and the upgrade, each step
// bounded in time. What the connection carries is the bridge's own business.
//
// Threads: a coroutine on the bridge's loop (loop_bridge.h).
#pragma once

#include <utility>  // std::exchange, which Boost 1.74's awaitable.hpp uses without including

#include <chrono>
#include <optional>
#include <string>

#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "bridges/discord/gateway.h"  // GatewayUrl: any wss:// address split
#include "outbound/loop.h"

namespace bridges {

using WssStream = boost::beast::websocket::stream<boost::beast::ssl_stream<boost::beast::tcp_stream>>;

inline constexpr auto WSS_CONNECT_TIMEOUT = std::chrono::seconds(10);    // TCP and TLS together
inline constexpr auto WSS_HANDSHAKE_TIMEOUT = std::chrono::seconds(10);  // the WebSocket upgrade, and a close

// Opens ws to url, text frames of at most max_frame bytes read; what failed, or
// nullopt. From then on only the WebSocket's own timeouts apply: the bridge
// watches a silent server itself.
outbound::awaitable<std::optional<std::string>> wss_open(WssStream& ws, const GatewayUrl& url, size_t max_frame);

}  // namespace bridges
