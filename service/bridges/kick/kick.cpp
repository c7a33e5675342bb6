// The Kick bridge: a client of the public Pusher WebSocket (over TLS) that Kick's
// web client reads chat from, subscribed to the configured chatrooms, storing
// their messages and applying their deletions, bans, time-outs and clears.
//
// Threads: start() and stop() run on the thread that owns the Service; all the
// rest runs on the bridge's own thread, inside its event loop (loop_bridge.h)
// with three coroutines per connection: the reader (connect, handshake, every
// frame), the watch (connection_established's deadline, then silence: our own
// pusher:ping, then the end of a connection that stays silent) and the writer
// (one frame on the wire at a time).
//
// A connection's life: TCP, TLS (the certificate always verified), the WebSocket
// handshake, pusher:connection_established, a subscribe for each chatroom, and
// pusher_internal:subscription_succeeded for each makes it connected. Pusher's
// error codes (in pusher:error or as the close code) decide what comes next:
// 4000-4099 stop the bridge, 4100-4199 wait, 4200-4299 come back at once.
#include <cstdio>
#include <deque>
#include <set>
#include <utility>  // std::exchange, which Boost 1.74's awaitable.hpp uses without including

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "bridges/backoff.h"
#include "bridges/discord/gateway.h"  // discord_parse_url: any wss:// address
#include "bridges/kick/pusher.h"
#include "bridges/loop_bridge.h"
#include "bridges/sink.h"
#include "bridges/wss.h"
#include "core/options.h"
#include "outbound/tls.h"

namespace bridges {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using outbound::awaitable;
using SteadyClock = std::chrono::steady_clock;

constexpr auto ESTABLISHED_TIMEOUT = std::chrono::seconds(20);  // from the upgrade to connection_established
constexpr auto SUBSCRIBE_TIMEOUT = std::chrono::seconds(20);    // for subscription_succeeded, then an error
constexpr int64_t MAX_PONG_WAIT_S = 30;                         // after our ping, as Pusher's own clients wait
constexpr size_t OUTBOX_MAX = 64;  // frames waiting to be written; more means the server is not reading

// How a connection ended, and so what comes next.
struct Ending {
    PusherNext next = PusherNext::Backoff;
    std::string why;  // for the report; "" when nothing went wrong
};

// One connection. Shared by its three coroutines; the last to end frees it.
struct Connection {
    Connection(const asio::any_io_executor& ex, asio::ssl::context& tls) : ws(ex, tls), watch(ex) {}
    WssStream ws;
    asio::steady_timer watch;           // connection_established's deadline, then silence
    std::deque<std::string> outbox;     // frames to write, oldest first
    bool writing = false;               // the writer coroutine is running
    bool established = false;           // connection_established came
    bool subscribed = false;            // every chatroom's subscription succeeded
    bool subscribe_late_said = false;   // the missing subscriptions were reported once
    std::set<std::string> pending;      // chatrooms asked for, not yet confirmed
    int64_t activity_s = KICK_DEFAULT_ACTIVITY_S;
    SteadyClock::time_point heard = SteadyClock::now();  // the last frame read
    SteadyClock::time_point established_at{};
    bool pinged = false;                // our ping is out since the last frame read
    std::optional<Ending> ending;       // set once, by whoever ends the connection first
};

class KickBridge : public LoopBridge {
public:
    KickBridge(ServiceCore& s, const BridgeOptions& o);
    ~KickBridge() override { stop(); }

private:
    bool prepare() override;
    awaitable<void> main_loop() override;
    awaitable<Ending> run_connection(std::shared_ptr<Connection> c);
    awaitable<void> watch(std::shared_ptr<Connection> c);
    awaitable<void> write_out(std::shared_ptr<Connection> c);
    void send(const std::shared_ptr<Connection>& c, std::string frame);
    void end(Connection& c, Ending ending);
    Ending ending_of_read_error(Connection& c, const beast::error_code& ec);
    void on_frame(const std::shared_ptr<Connection>& c, const std::string& text);
    void on_established(const std::shared_ptr<Connection>& c, const nlohmann::json& data);
    void on_subscribed(Connection& c, const std::string& channel);
    void on_error(Connection& c, const nlohmann::json& data);
    void on_chat(const PusherFrame& f);

    ServiceCore& service_;
    const std::string pusher_, tls_ca_;
    const std::vector<std::string> chatrooms_;
    std::shared_ptr<asio::ssl::context> tls_;  // made by start()
    Backoff backoff_;                          // the bridge thread's alone
};

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& p : parts) out += (out.empty() ? "" : ", ") + p;
    return out;
}

KickBridge::KickBridge(ServiceCore& s, const BridgeOptions& o)
    : LoopBridge("kick", "chatrooms " + joined(o.kick_chatrooms)),
      service_(s),
      pusher_(o.kick_pusher),
      tls_ca_(o.tls_ca),
      chatrooms_(o.kick_chatrooms) {}

bool KickBridge::prepare() {
    std::string error;
    GatewayUrl url;
    if (!discord_parse_url(pusher_, &url, &error)) {
        report_.failed("--kick-pusher: " + error);
        return false;
    }
    if (chatrooms_.empty()) {
        report_.failed("at least one chatroom id is needed");
        return false;
    }
    for (const std::string& id : chatrooms_)
        if (!kick_chatroom_valid(id)) {
            report_.failed("a Kick chatroom id is 1 to 20 digits: " + id.substr(0, 40));
            return false;
        }
    tls_ = make_tls_context(tls_ca_, &error);
    if (!tls_) {
        report_.failed(error);
        return false;
    }
    return true;
}

// One connection after another until Pusher refuses the settings (or stop() stops the loop).
awaitable<void> KickBridge::main_loop() {
    for (;;) {
        report_.connecting();
        auto c = std::make_shared<Connection>(co_await asio::this_coro::executor, *tls_);
        Ending e = co_await run_connection(c);
        if (e.next == PusherNext::Fail) {
            report_.failed(e.why);
            std::fprintf(stderr, "vimo-service: kick: %s\n", e.why.c_str());
            co_return;
        }
        // A server that asks for reconnects before anything is up gets them no faster than failures.
        if (e.next == PusherNext::AtOnce && c->subscribed) continue;
        double wait = backoff_.next_delay();
        report_.backing_off(wait, e.why);
        co_await outbound::sleep_for(wait);
    }
}

awaitable<Ending> KickBridge::run_connection(std::shared_ptr<Connection> c) {
    GatewayUrl url;
    std::string error;
    if (!discord_parse_url(pusher_, &url, &error)) co_return Ending{PusherNext::Fail, error};
    if (auto failure = co_await wss_open(c->ws, url, KICK_MAX_FRAME_BYTES))
        co_return Ending{PusherNext::Backoff, *failure};
    c->heard = SteadyClock::now();
    asio::co_spawn(c->ws.get_executor(), watch(c), asio::detached);
    beast::flat_buffer buffer;
    while (!c->ending) {
        beast::error_code ec;
        buffer.clear();
        co_await c->ws.async_read(buffer, asio::redirect_error(asio::use_awaitable, ec));
        if (c->ending) break;
        if (ec) {
            end(*c, ending_of_read_error(*c, ec));
            break;
        }
        c->heard = SteadyClock::now();
        c->pinged = false;
        if (!c->ws.got_text()) {
            report_.error("a binary Pusher frame: dropped");
            continue;
        }
        on_frame(c, beast::buffers_to_string(buffer.data()));
    }
    co_return *c->ending;
}


// connection_established within its deadline; then, whenever the server has been
// silent for activity_timeout, our own ping, and the end of the connection when
// that brings nothing back either. Subscriptions not confirmed in time are reported.
awaitable<void> KickBridge::watch(std::shared_ptr<Connection> c) {
    beast::error_code ec;
    c->watch.expires_after(ESTABLISHED_TIMEOUT);
    co_await c->watch.async_wait(asio::redirect_error(asio::use_awaitable, ec));  // on_established cancels it
    if (c->ending) co_return;
    if (!c->established) co_return end(*c, {PusherNext::Backoff, "no connection_established from Pusher"});
    for (;;) {
        auto now = SteadyClock::now();
        auto activity = std::chrono::seconds(c->activity_s);
        auto pong_wait = std::chrono::seconds(std::min(c->activity_s, MAX_PONG_WAIT_S));
        if (c->pinged && now - c->heard >= activity + pong_wait)
            co_return end(*c, {PusherNext::Backoff, "Pusher is silent and did not answer our ping: reconnecting"});
        if (!c->pinged && now - c->heard >= activity) {
            c->pinged = true;
            send(c, kick_ping());
        }
        if (!c->subscribed && !c->subscribe_late_said && now - c->established_at >= SUBSCRIBE_TIMEOUT) {
            c->subscribe_late_said = true;
            report_.error("no subscription_succeeded from Pusher for chatroom " +
                          (c->pending.empty() ? std::string("?") : *c->pending.begin()));
        }
        auto next = c->heard + (c->pinged ? activity + pong_wait : activity);
        if (!c->subscribed && !c->subscribe_late_said) next = std::min(next, c->established_at + SUBSCRIBE_TIMEOUT);
        c->watch.expires_at(std::max(next, now + std::chrono::milliseconds(10)));
        co_await c->watch.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        if (c->ending) co_return;
    }
}

void KickBridge::send(const std::shared_ptr<Connection>& c, std::string frame) {
    if (c->ending) return;
    if (c->outbox.size() >= OUTBOX_MAX) return end(*c, {PusherNext::Backoff, "Pusher does not read what the bridge sends"});
    c->outbox.push_back(std::move(frame));
    if (c->writing) return;
    c->writing = true;
    asio::co_spawn(c->ws.get_executor(), write_out(c), asio::detached);
}

awaitable<void> KickBridge::write_out(std::shared_ptr<Connection> c) {
    while (!c->outbox.empty() && !c->ending) {
        beast::error_code ec;
        // deque keeps the front where it is while more frames are pushed behind it
        co_await c->ws.async_write(asio::buffer(c->outbox.front()), asio::redirect_error(asio::use_awaitable, ec));
        if (ec) {
            end(*c, {PusherNext::Backoff, "writing to Pusher failed: " + ec.message()});
            break;
        }
        c->outbox.pop_front();
    }
    c->writing = false;
}

// Ends the connection (the first reason wins): the socket closes under the reader
// and the writer, the watch's timer is cancelled.
void KickBridge::end(Connection& c, Ending ending) {
    if (c.ending) return;
    c.ending = std::move(ending);
    c.watch.cancel();
    beast::error_code ignored;
    beast::get_lowest_layer(c.ws).socket().close(ignored);
}

Ending KickBridge::ending_of_read_error(Connection& c, const beast::error_code& ec) {
    if (ec == websocket::error::closed) {
        std::string why;
        PusherNext next = kick_next_after(int64_t(c.ws.reason().code), &why);
        return {next, why};
    }
    if (ec == websocket::error::message_too_big)
        return {PusherNext::Backoff, "a Pusher frame over " + std::to_string(KICK_MAX_FRAME_BYTES) + " bytes"};
    return {PusherNext::Backoff, "the Pusher connection dropped: " + ec.message()};
}

void KickBridge::on_frame(const std::shared_ptr<Connection>& c, const std::string& text) {
    PusherFrame f;
    std::string error;
    if (!kick_parse_frame(text, &f, &error)) return report_.error(error);
    if (f.event == "pusher:connection_established") return on_established(c, f.data);
    if (f.event == "pusher:ping") return send(c, kick_pong());
    if (f.event == "pusher:pong") return;  // heard: the watch is content
    if (f.event == "pusher_internal:subscription_succeeded") return on_subscribed(*c, f.channel);
    if (f.event == "pusher:error") return on_error(*c, f.data);
    if (f.event == "pusher:subscription_error")
        return report_.error("Pusher refused the subscription to " + f.channel.substr(0, 64));
    on_chat(f);
}

void KickBridge::on_established(const std::shared_ptr<Connection>& c, const nlohmann::json& data) {
    if (c->established) return report_.error("a second connection_established: ignored");
    c->established = true;
    c->established_at = SteadyClock::now();
    c->activity_s = kick_activity_timeout(data);
    c->watch.cancel();  // the watch stops waiting for this and starts watching silence
    for (const std::string& id : chatrooms_) {
        c->pending.insert(id);
        send(c, kick_subscribe(id));
    }
}

void KickBridge::on_subscribed(Connection& c, const std::string& channel) {
    if (c.pending.erase(kick_chatroom_of(channel)) == 0 || !c.pending.empty() || c.subscribed) return;
    c.subscribed = true;
    report_.connected();
    backoff_.connected();
}

void KickBridge::on_error(Connection& c, const nlohmann::json& data) {
    std::optional<int64_t> code = kick_error_code(data);
    std::string message = data.is_object() && data.contains("message") && data["message"].is_string()
                              ? data["message"].get<std::string>().substr(0, 200)
                              : "";
    if (!code || *code < 4000 || *code > 4299)
        return report_.error("Pusher: error " + (code ? std::to_string(*code) + " " : "") + message);
    std::string why;
    PusherNext next = kick_next_after(*code, &why);
    end(c, {next, why + (message.empty() ? "" : ": " + message)});
}

void KickBridge::on_chat(const PusherFrame& f) {
    KickEvent e = kick_event(f, chatrooms_, int64_t(std::time(nullptr)));
    switch (e.kind) {
        case KickEvent::Kind::Message: store_chat(service_, report_, e.message); break;
        case KickEvent::Kind::Deleted: delete_chat(service_, report_, "kick", e.id); break;
        case KickEvent::Kind::Banned: ban_sender(service_, report_, "kick", e.id, e.seconds); break;
        case KickEvent::Kind::Cleared: clear_channel(service_, report_, "kick", e.chatroom); break;
        case KickEvent::Kind::Malformed: report_.error(e.why); break;
        case KickEvent::Kind::Ignored: break;
    }
}

}  // namespace

std::unique_ptr<Bridge> make_kick_bridge(ServiceCore& s, const BridgeOptions& options) {
    return std::make_unique<KickBridge>(s, options);
}

}  // namespace bridges
