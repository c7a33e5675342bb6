// The Discord bridge: a bot's connection to Discord's gateway (WebSocket over
// TLS), reading the configured channels' messages and deletions into the service.
//
// Threads: start() and stop() run on the thread that owns the Service; all the
// rest runs on the bridge's own thread, inside its event loop (loop_bridge.h) with
// three coroutines per connection: the reader (connect, handshake, every frame),
// the heart (Hello's deadline, then heartbeats) and the writer (one frame on the
// wire at a time). stop() stops the event loop itself, so it returns at once
// whatever the connection is doing; what is still waiting is destroyed on the
// bridge thread.
//
// A connection's life: TCP, TLS (the certificate always verified), the WebSocket
// handshake, Hello, then Identify (a new session) or Resume (the session kept from
// READY, at its resume_gateway_url with the last sequence number seen). READY or
// RESUMED make it connected. It ends on an error, a close code, a missed heartbeat
// ACK (a zombie), Reconnect (op 7) or Invalid Session (op 9); how it ended decides
// whether the next one Resumes or Identifies and how long to wait before it.
#include <cstdio>
#include <deque>
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
#include "bridges/discord/gateway.h"
#include "bridges/loop_bridge.h"
#include "bridges/sink.h"
#include "bridges/wss.h"
#include "outbound/tls.h"
#include "core/state.h"

namespace bridges {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using outbound::awaitable;

constexpr auto HELLO_TIMEOUT = std::chrono::seconds(20);      // from the upgrade to op 10
constexpr double INVALID_SESSION_MIN_S = 1, INVALID_SESSION_MAX_S = 5;  // wait before a fresh Identify
constexpr int RESUME_URL_TRIES = 3;     // failed connections to a resume URL before the gateway is used
constexpr size_t OUTBOX_MAX = 64;       // frames waiting to be written; more means the peer is not reading

// How a connection ended, and so what comes next.
struct Ending {
    enum class Next {
        Backoff,         // a failure or a drop: wait Backoff's delay, then Resume if a session is kept
        AtOnce,          // the gateway asked for a reconnect: no wait
        InvalidSession,  // wait 1-5 s, then a fresh Identify
        Fail,            // a setting is wrong: the bridge stops
    } next = Next::Backoff;
    std::string why;              // for the report; "" when nothing went wrong
    bool forget_session = false;  // the next connection Identifies
};

// One connection to the gateway. Shared by its three coroutines; the last to end frees it.
struct Connection {
    Connection(const asio::any_io_executor& ex, asio::ssl::context& tls) : ws(ex, tls), beat(ex) {}
    WssStream ws;
    asio::steady_timer beat;           // Hello's deadline, then the next heartbeat
    std::deque<std::string> outbox;    // frames to write, oldest first
    bool writing = false;              // the writer coroutine is running
    bool hello = false;                // op 10 came: heartbeats run
    bool ready = false;                // READY or RESUMED came on this connection
    bool resuming = false;             // Resume (not Identify) answers Hello
    bool acked = true;                 // the last heartbeat was acknowledged
    int64_t interval_ms = 0;           // Hello's heartbeat interval
    std::optional<Ending> ending;      // set once, by whoever ends the connection first
};

class DiscordBridge : public LoopBridge {
public:
    DiscordBridge(ServiceCore& s, const BridgeOptions& o);
    ~DiscordBridge() override { stop(); }

private:
    bool prepare() override;
    awaitable<void> main_loop() override;
    awaitable<Ending> run_connection(std::shared_ptr<Connection> c);
    awaitable<void> beat_heart(std::shared_ptr<Connection> c);
    awaitable<void> write_out(std::shared_ptr<Connection> c);
    void send(const std::shared_ptr<Connection>& c, std::string frame);
    void end(Connection& c, Ending ending);
    Ending ending_of_read_error(Connection& c, const beast::error_code& ec);
    void on_frame(const std::shared_ptr<Connection>& c, const std::string& text);
    void on_hello(const std::shared_ptr<Connection>& c, const nlohmann::json& d);
    void on_dispatch(Connection& c, const GatewayFrame& f);
    void on_session_up(Connection& c);
    double random_between(double low, double high);

    ServiceCore& service_;
    const std::string token_, gateway_, tls_ca_;
    const std::vector<std::string> channels_;
    std::shared_ptr<asio::ssl::context> tls_;  // made by start()

    // The bridge thread's alone.
    GatewaySession session_;
    Backoff backoff_;
    int resume_url_failures_ = 0;  // connections to session_.resume_url that never said Hello
    std::mt19937_64 random_{std::random_device{}()};
};

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& p : parts) out += (out.empty() ? "" : ", ") + p;
    return out;
}

DiscordBridge::DiscordBridge(ServiceCore& s, const BridgeOptions& o)
    : LoopBridge("discord", "channels " + joined(o.discord_channels)),
      service_(s),
      token_(o.discord_token),
      gateway_(o.discord_gateway),
      tls_ca_(o.tls_ca),
      channels_(o.discord_channels) {}

bool DiscordBridge::prepare() {
    std::string error;
    GatewayUrl url;
    if (!discord_parse_url(gateway_, &url, &error)) {
        report_.failed(error);
        return false;
    }
    if (channels_.empty() || token_.empty()) {
        report_.failed("a bot token and at least one channel id are needed");
        return false;
    }
    tls_ = make_tls_context(tls_ca_, &error);
    if (!tls_) {
        report_.failed(error);
        return false;
    }
    return true;
}

double DiscordBridge::random_between(double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(random_);
}

// One connection after another until a setting proves wrong (or stop() stops the loop).
awaitable<void> DiscordBridge::main_loop() {
    for (;;) {
        report_.connecting();
        auto c = std::make_shared<Connection>(co_await asio::this_coro::executor, *tls_);
        Ending e = co_await run_connection(c);
        if (e.next == Ending::Next::Fail) {
            report_.failed(e.why);
            std::fprintf(stderr, "vimo-service: discord: %s\n", e.why.c_str());
            co_return;
        }
        if (e.forget_session) session_.forget();
        // A gateway that asks for reconnects before any session is up gets them no faster than failures.
        if (e.next == Ending::Next::AtOnce && !c->ready)
            e = {Ending::Next::Backoff, "the gateway asked for a reconnect before a session was up"};
        double wait = 0;
        if (e.next == Ending::Next::Backoff) wait = backoff_.next_delay();
        if (e.next == Ending::Next::InvalidSession) wait = random_between(INVALID_SESSION_MIN_S, INVALID_SESSION_MAX_S);
        if (wait > 0) {
            report_.backing_off(wait, e.why);
            co_await outbound::sleep_for(wait);
        }
    }
}

awaitable<Ending> DiscordBridge::run_connection(std::shared_ptr<Connection> c) {
    c->resuming = session_.resumable();
    bool to_resume_url = c->resuming && !session_.resume_url.empty();
    GatewayUrl url;
    std::string error;
    if (!discord_parse_url(to_resume_url ? session_.resume_url : gateway_, &url, &error)) co_return Ending{
        Ending::Next::Backoff, error};
    if (auto failure = co_await wss_open(c->ws, url, DISCORD_MAX_FRAME_BYTES)) {
        // A resume address that keeps failing is given up for the gateway we know.
        if (to_resume_url && ++resume_url_failures_ >= RESUME_URL_TRIES) session_.resume_url.clear();
        co_return Ending{Ending::Next::Backoff, *failure};
    }
    asio::co_spawn(c->ws.get_executor(), beat_heart(c), asio::detached);
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
        if (!c->ws.got_text()) {
            report_.error("a binary gateway frame (compression is not asked for): dropped");
            continue;
        }
        on_frame(c, beast::buffers_to_string(buffer.data()));
    }
    if (c->hello) resume_url_failures_ = 0;
    co_return *c->ending;
}


// Waits for Hello (bounded), then beats every interval, the first after a random
// part of it; a beat whose predecessor was not acknowledged ends the connection.
awaitable<void> DiscordBridge::beat_heart(std::shared_ptr<Connection> c) {
    beast::error_code ec;
    if (!c->hello) {
        c->beat.expires_after(HELLO_TIMEOUT);
        co_await c->beat.async_wait(asio::redirect_error(asio::use_awaitable, ec));  // on_hello cancels it
        if (c->ending) co_return;
        if (!c->hello) {
            end(*c, {Ending::Next::Backoff, "no Hello from the gateway"});
            co_return;
        }
    }
    auto wait = std::chrono::milliseconds(int64_t(c->interval_ms * random_between(0, 1)));
    for (;;) {
        c->beat.expires_after(wait);
        co_await c->beat.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        if (c->ending) co_return;
        if (!c->acked) {
            end(*c, {Ending::Next::Backoff, "no heartbeat ACK from the gateway: reconnecting"});
            co_return;
        }
        c->acked = false;
        send(c, discord_heartbeat(session_));
        wait = std::chrono::milliseconds(c->interval_ms);
    }
}

void DiscordBridge::send(const std::shared_ptr<Connection>& c, std::string frame) {
    if (c->ending) return;
    if (c->outbox.size() >= OUTBOX_MAX) {
        end(*c, {Ending::Next::Backoff, "the gateway does not read what the bridge sends"});
        return;
    }
    c->outbox.push_back(std::move(frame));
    if (c->writing) return;
    c->writing = true;
    asio::co_spawn(c->ws.get_executor(), write_out(c), asio::detached);
}

awaitable<void> DiscordBridge::write_out(std::shared_ptr<Connection> c) {
    while (!c->outbox.empty() && !c->ending) {
        beast::error_code ec;
        // deque keeps the front where it is while more frames are pushed behind it
        co_await c->ws.async_write(asio::buffer(c->outbox.front()), asio::redirect_error(asio::use_awaitable, ec));
        if (ec) {
            end(*c, {Ending::Next::Backoff, "writing to the gateway failed: " + ec.message()});
            break;
        }
        c->outbox.pop_front();
    }
    c->writing = false;
}

// Ends the connection (the first reason wins): the socket closes under the reader
// and the writer, the heart's timer is cancelled. No close frame: a plain drop
// keeps the session resumable, as the gateway wants for reconnects.
void DiscordBridge::end(Connection& c, Ending ending) {
    if (c.ending) return;
    c.ending = std::move(ending);
    c.beat.cancel();
    beast::error_code ignored;
    beast::get_lowest_layer(c.ws).socket().close(ignored);
}

Ending DiscordBridge::ending_of_read_error(Connection& c, const beast::error_code& ec) {
    if (ec == websocket::error::closed) {
        int code = int(c.ws.reason().code);
        std::string reason;
        CloseAction action = discord_close_action(code, &reason);
        if (action == CloseAction::Fail) return {Ending::Next::Fail, reason};
        std::string why = "the gateway closed the connection (code " + std::to_string(code) + ")";
        return {Ending::Next::Backoff, why, action == CloseAction::Identify};
    }
    if (ec == websocket::error::message_too_big)
        return {Ending::Next::Backoff, "a gateway frame over " + std::to_string(DISCORD_MAX_FRAME_BYTES) + " bytes"};
    return {Ending::Next::Backoff, "the gateway connection dropped: " + ec.message()};
}

void DiscordBridge::on_frame(const std::shared_ptr<Connection>& c, const std::string& text) {
    GatewayFrame f;
    std::string error;
    if (!discord_parse_frame(text, &f, &error)) {
        report_.error(error);
        return;
    }
    if (f.op == DISCORD_OP_DISPATCH && f.seq) session_.seq = *f.seq;
    switch (f.op) {
        case DISCORD_OP_HELLO: on_hello(c, f.d); break;
        case DISCORD_OP_HEARTBEAT: send(c, discord_heartbeat(session_)); break;  // asked for: at once
        case DISCORD_OP_HEARTBEAT_ACK: c->acked = true; break;
        case DISCORD_OP_RECONNECT: end(*c, {Ending::Next::AtOnce, ""}); break;
        case DISCORD_OP_INVALID_SESSION:
            // d true: the session lives, Resume at once; anything else: a new one, after a pause.
            if (f.d.is_boolean() && f.d.get<bool>())
                end(*c, {Ending::Next::AtOnce, ""});
            else
                end(*c, {Ending::Next::InvalidSession, "Discord ended the session: identifying again", true});
            break;
        case DISCORD_OP_DISPATCH: on_dispatch(*c, f); break;
        default: break;  // opcodes of other kinds of clients
    }
}

void DiscordBridge::on_hello(const std::shared_ptr<Connection>& c, const nlohmann::json& d) {
    std::optional<int64_t> interval = discord_hello_interval(d);
    if (c->hello || !interval) {
        report_.error(c->hello ? "a second Hello: ignored" : "a Hello without heartbeat_interval: ignored");
        return;
    }
    c->hello = true;
    c->interval_ms = *interval;
    c->beat.cancel();  // the heart stops waiting for Hello and starts beating
    send(c, c->resuming ? discord_resume(token_, session_) : discord_identify(token_));
}

void DiscordBridge::on_session_up(Connection& c) {
    if (c.ready) return;
    c.ready = true;
    report_.connected();
    backoff_.connected();
}

void DiscordBridge::on_dispatch(Connection& c, const GatewayFrame& f) {
    if (f.event == "READY") {
        // Once a session is up, a READY could only move the next Resume somewhere else.
        if (c.ready) return report_.error("a second READY on one connection: ignored");
        if (!discord_ready(f.d, gateway_, &session_)) return report_.error("READY without a session_id");
        on_session_up(c);
    } else if (f.event == "RESUMED") {
        on_session_up(c);
    } else if (f.event == "MESSAGE_CREATE") {
        ChatMessage m;
        std::string why;
        DiscordMessageKind kind = discord_message(f.d, channels_, &m, &why);
        if (kind == DiscordMessageKind::Chat) store_chat(service_, report_, m);
        if (kind == DiscordMessageKind::Malformed) report_.error(why);
    } else if (f.event == "MESSAGE_DELETE") {
        if (auto id = discord_deleted(f.d, channels_)) delete_chat(service_, report_, "discord", *id);
    } else if (f.event == "MESSAGE_DELETE_BULK") {
        for (const std::string& id : discord_deleted_bulk(f.d, channels_)) delete_chat(service_, report_, "discord", id);
    }
}

}  // namespace

std::unique_ptr<Bridge> make_discord_bridge(ServiceCore& s, const BridgeOptions& options) {
    return std::make_unique<DiscordBridge>(s, options);
}

}  // namespace bridges
