// A wss:// connection for the WebSocket bridges (see wss.h).
#include "bridges/wss.h"

#include <boost/asio/redirect_error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "outbound/tls.h"

namespace bridges {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using asio::ip::tcp;

outbound::awaitable<std::optional<std::string>> wss_open(WssStream& ws, const GatewayUrl& url, size_t max_frame) {
    beast::error_code ec;
    tcp::resolver resolver(co_await asio::this_coro::executor);
    auto found = co_await resolver.async_resolve(url.host, url.port, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return "cannot resolve " + url.host + ": " + ec.message();
    beast::tcp_stream& tcp_layer = beast::get_lowest_layer(ws);
    tcp_layer.expires_after(WSS_CONNECT_TIMEOUT);
    co_await tcp_layer.async_connect(found, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return "cannot connect to " + url.host_header() + ": " + ec.message();
    if (!prepare_tls(ws.next_layer(), url.host)) co_return "cannot use " + url.host + " as a TLS host name";
    co_await ws.next_layer().async_handshake(asio::ssl::stream_base::client, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return "TLS with " + url.host_header() + " failed: " + ec.message();
    tcp_layer.expires_never();
    ws.set_option(websocket::stream_base::timeout{WSS_HANDSHAKE_TIMEOUT, websocket::stream_base::none(), false});
    ws.set_option(websocket::stream_base::decorator(
        [](websocket::request_type& req) { req.set(beast::http::field::user_agent, "vimo-service"); }));
    ws.read_message_max(max_frame);
    ws.text(true);
    co_await ws.async_handshake(url.host_header(), url.target, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return "WebSocket upgrade at " + url.host_header() + " failed: " + ec.message();
    co_return std::nullopt;
}

}  // namespace bridges
