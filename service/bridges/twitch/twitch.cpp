// The Twitch bridge: anonymous, read-only chat over IRC on TLS (Boost.Asio over
// OpenSSL, the certificate always verified). One connection at a time:
//
//   resolve -> TCP connect -> TLS handshake -> CAP REQ, NICK, USER, CAP END
//   -> 001 (welcome): connected, JOIN each channel -> read lines until the
//   server closes, asks to RECONNECT, or stays silent for twitch_silence_s
//   -> back off (Backoff) -> again.
//
// USER and CAP END are not needed by Twitch but are harmless there; a plain IRC
// server (ngircd) finishes registering only with both. JOIN waits for the
// welcome because such a server refuses it before. When the server has been
// quiet for half the silence bound the bridge sends its own PING, so that a
// healthy connection whose server pings about as seldom as the bound (Twitch:
// about every five minutes) is not taken for a dead one.
//
// Threads: start/stop on the Service's owning thread; everything else runs on the
// bridge's thread inside its event loop (loop_bridge.h), three coroutines per
// connection: the reader (resolve, connect, handshake, every line), the writer
// (one line on the wire at a time) and the tick (the welcome and silence checks,
// our PING). stop() stops the event loop itself, so it returns at once whatever
// the connection waits on; what is still waiting is destroyed on the bridge thread.
#include <utility>  // before Asio: Boost 1.74's awaitable.hpp uses std::exchange without it

#include <array>
#include <cstdio>
#include <deque>
#include <optional>
#include <random>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>

#include "outbound/tls.h"
#include "bridges/backoff.h"
#include "bridges/loop_bridge.h"
#include "bridges/twitch/chat.h"
#include "core/state.h"
#include "emotes/fetch.h"

namespace bridges {

namespace {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;

constexpr double CONNECT_TIMEOUT_S = 30;   // from the first try to the server's welcome
constexpr size_t MAX_QUEUED_LINES = 256;   // lines waiting to be written; more means the server does not read
constexpr size_t READ_CHUNK_BYTES = 16 * 1024;

std::chrono::nanoseconds seconds(double s) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(s));
}

std::string seconds_text(double s) {
    char out[32];
    std::snprintf(out, sizeof out, "%g s", s);
    return out;
}

using outbound::awaitable;

// One try at a connection, from resolving to its end. Shared by its three
// coroutines; the last to end frees it.
struct Connection {
    Connection(const asio::any_io_executor& ex, ssl::context& tls) : resolver(ex), stream(ex, tls), tick(ex) {}
    tcp::resolver resolver;
    ssl::stream<tcp::socket> stream;
    asio::steady_timer tick;                        // silence and welcome checks
    IrcLineReader reader;
    std::array<char, READ_CHUNK_BYTES> buffer{};
    std::deque<std::string> out;                    // lines to write, CR LF included; the front one is being written
    bool writing = false;                           // the writer coroutine is running
    bool welcomed = false;                          // 001 came: channels joined
    bool pinged = false;                            // our PING is out since the last line
    Clock::time_point opened, last_line;
    std::string nick;                               // justinfan + digits
    std::optional<std::string> ending;              // why it ended; set once, by whoever ends it first
};

class TwitchBridge final : public LoopBridge {
public:
    TwitchBridge(ServiceCore& s, const BridgeOptions& o);
    ~TwitchBridge() override { stop(); }

private:
    bool prepare() override;
    awaitable<void> main_loop() override;
    bool fail_to_start(const std::string& why);
    awaitable<void> read_lines(std::shared_ptr<Connection> c);
    awaitable<void> write_out(std::shared_ptr<Connection> c);
    awaitable<void> tick(std::shared_ptr<Connection> c);
    void end(Connection& c, const std::string& error);
    void on_line(const std::shared_ptr<Connection>& c, std::string_view line);
    void on_message(const std::shared_ptr<Connection>& c, const IrcMessage& m);
    void send(const std::shared_ptr<Connection>& c, std::string line);
    std::string new_nick();

    BridgeOptions options_;
    std::string host_, port_;
    std::shared_ptr<ssl::context> tls_;  // outlives the loop and every stream made from it
    // The bridge thread's alone.
    Backoff backoff_;
    TwitchDiagnostics diagnostics_{report_};
    TwitchChat chat_;
    std::mt19937_64 random_{std::random_device{}()};
    emotes::EmoteSets emote_sets_;                    // read by chat_, filled by fetcher_
    std::unique_ptr<emotes::EmoteFetcher> fetcher_;   // nullptr when third-party emotes are off
};

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names) out += (out.empty() ? "" : ", ") + n;
    return out;
}

// An option's text for a one-line message: control bytes as \xNN, at most 64 bytes.
std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text.substr(0, 64)) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        out += c < 0x20 || c == 0x7f ? std::string(hex) : std::string(1, char(c));
    }
    return out;
}

std::vector<std::string> channel_names(const std::vector<std::string>& given) {
    std::vector<std::string> out;
    for (const std::string& g : given) {
        std::string name = twitch_channel_name(g);
        out.push_back(name.empty() ? printable(g) : name);
    }
    return out;
}

TwitchBridge::TwitchBridge(ServiceCore& s, const BridgeOptions& o)
    : LoopBridge("twitch", joined(channel_names(o.twitch_channels))), options_(o) {
    chat_.service = &s;
    chat_.report = &report_;
    chat_.diagnostics = &diagnostics_;
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "local-%016llx-", static_cast<unsigned long long>(random_()));
    chat_.local_id_prefix = prefix;
    chat_.emotes = &emote_sets_;
    chat_.on_room = [this](const std::string& room) {
        if (fetcher_) fetcher_->add_room(room);
    };
}

bool TwitchBridge::fail_to_start(const std::string& why) {
    std::fprintf(stderr, "vimo-service: twitch: %s\n", why.c_str());
    report_.failed(why);
    return false;
}

bool TwitchBridge::prepare() {
    if (!split_host_port(options_.twitch_server, &host_, &port_))
        return fail_to_start("--twitch-server must be HOST:PORT, not \"" + printable(options_.twitch_server) + "\"");
    for (const std::string& g : options_.twitch_channels) {
        std::string name = twitch_channel_name(g);
        if (name.empty()) return fail_to_start("\"" + printable(g) + "\" is not a Twitch channel name (1 to 25 of a-z, 0-9, _)");
        chat_.channels.push_back(name);
    }
    if (chat_.channels.empty()) return fail_to_start("no channel to read");
    if (!(options_.twitch_silence_s > 0)) return fail_to_start("the silence bound must be above 0 seconds");
    std::string error;
    tls_ = make_tls_context(options_.tls_ca, &error);
    if (!tls_) return fail_to_start(error);
    const EmoteOptions& emote_options = chat_.service->options.emotes;
    if (emote_options.third_party)
        fetcher_ = std::make_unique<emotes::EmoteFetcher>(emote_options, tls_, chat_.service->catalog.get(), emote_sets_);
    return true;
}

std::string TwitchBridge::new_nick() {
    return "justinfan" + std::to_string(10000 + random_() % 90000000);
}

// One connection after another, Backoff's delay between; only stop() ends it.
awaitable<void> TwitchBridge::main_loop() {
    // The emote sets are fetched beside the connections, on this same loop and thread.
    if (fetcher_) asio::co_spawn(co_await asio::this_coro::executor, fetcher_->run(), asio::detached);
    for (;;) {
        report_.connecting();
        auto c = std::make_shared<Connection>(co_await asio::this_coro::executor, *tls_);
        c->opened = c->last_line = Clock::now();
        c->nick = new_nick();
        // The tick starts with the try: the welcome's deadline covers resolving and the handshakes.
        asio::co_spawn(c->stream.get_executor(), tick(c), asio::detached);
        if (!prepare_tls(c->stream, host_))
            end(*c, "cannot set the TLS host name " + host_);
        else
            co_await read_lines(c);
        double delay = backoff_.next_delay();
        report_.backing_off(delay, c->ending.value_or(""));
        co_await outbound::sleep_for(delay);
    }
}

// The connection's reader, from resolving to its end; returns once it has ended.
awaitable<void> TwitchBridge::read_lines(std::shared_ptr<Connection> c) {
    error_code ec;
    auto to = asio::redirect_error(asio::use_awaitable, ec);
    auto found = co_await c->resolver.async_resolve(host_, port_, to);
    if (c->ending) co_return;
    if (ec) co_return end(*c, "cannot resolve " + host_ + ": " + ec.message());
    co_await asio::async_connect(c->stream.lowest_layer(), found, to);
    if (c->ending) co_return;
    if (ec) co_return end(*c, "cannot connect to " + options_.twitch_server + ": " + ec.message());
    co_await c->stream.async_handshake(ssl::stream_base::client, to);
    if (c->ending) co_return;
    if (ec) co_return end(*c, "TLS with " + options_.twitch_server + " failed: " + ec.message());
    // Tags give ids, names and user ids; commands give CLEARMSG, CLEARCHAT and RECONNECT.
    send(c, "CAP REQ :twitch.tv/tags twitch.tv/commands");
    send(c, "NICK " + c->nick);
    send(c, "USER " + c->nick + " 8 * :" + c->nick);
    send(c, "CAP END");
    while (!c->ending) {
        size_t n = co_await c->stream.async_read_some(asio::buffer(c->buffer), to);
        if (c->ending) break;
        if (ec == asio::error::eof || ec == ssl::error::stream_truncated)
            co_return end(*c, "the server closed the connection");
        if (ec) co_return end(*c, "reading from " + options_.twitch_server + ": " + ec.message());
        size_t overlong = c->reader.overlong();
        c->reader.feed(c->buffer.data(), n, [&](std::string_view line) { on_line(c, line); });
        if (c->reader.overlong() != overlong)
            diagnostics_.note("overlong", "dropped a line over " + std::to_string(IRC_MAX_LINE_BYTES) + " bytes");
    }
}

// Ends the connection (the first reason wins): the socket closes under the reader
// and the writer, the tick and a look-up still running are cancelled. No TLS
// close_notify: the server may be gone.
void TwitchBridge::end(Connection& c, const std::string& error) {
    if (c.ending) return;
    c.ending = error;
    error_code ignored;
    c.tick.cancel();
    c.resolver.cancel();
    c.stream.lowest_layer().close(ignored);
}

void TwitchBridge::on_line(const std::shared_ptr<Connection>& c, std::string_view line) {
    if (c->ending) return;  // the rest of a read after RECONNECT
    c->last_line = Clock::now();
    c->pinged = false;
    IrcMessage m;
    IrcError e;
    if (irc_parse(line, &m, &e)) return on_message(c, m);
    if (e != IrcError::Empty)  // the line's bytes stay out of the log: they may be anything
        diagnostics_.note(irc_error_text(e), std::string("dropped ") + irc_error_text(e) + " (" +
                                                 std::to_string(line.size()) + " bytes)");
}

void TwitchBridge::on_message(const std::shared_ptr<Connection>& c, const IrcMessage& m) {
    if (twitch_chat_apply(chat_, m)) return;
    const std::string& cmd = m.command;
    if (cmd == "PING") {
        send(c, m.params.empty() ? "PONG" : "PONG :" + m.params.back());
    } else if (cmd == "001" && !c->welcomed) {
        c->welcomed = true;
        report_.connected();
        backoff_.connected();
        for (const std::string& channel : chat_.channels) send(c, "JOIN " + channel);
    } else if (cmd == "433" && !c->welcomed) {  // the nick is taken: another justinfan
        c->nick = new_nick();
        send(c, "NICK " + c->nick);
    } else if (cmd == "RECONNECT") {
        end(*c, "the server asked to reconnect");
    } else if (cmd.size() == 3 && (cmd[0] == '4' || cmd[0] == '5')) {  // a refusal (a JOIN, a command)
        diagnostics_.note("numeric " + cmd, "the server refused: " + cmd + " " + m.param(1).substr(0, 64) + " " +
                                                m.params.back().substr(0, 200));
    } else if (cmd == "NOTICE" && !c->welcomed) {  // Twitch's login errors come as NOTICE
        diagnostics_.note("notice", "the server said: " + m.param(1).substr(0, 200));
    }
}

void TwitchBridge::send(const std::shared_ptr<Connection>& c, std::string line) {
    if (c->ending) return;
    if (c->out.size() >= MAX_QUEUED_LINES) return end(*c, "the server does not read what the bridge sends");
    c->out.push_back(std::move(line) + "\r\n");
    if (c->writing) return;
    c->writing = true;
    asio::co_spawn(c->stream.get_executor(), write_out(c), asio::detached);
}

awaitable<void> TwitchBridge::write_out(std::shared_ptr<Connection> c) {
    while (!c->out.empty() && !c->ending) {
        error_code ec;
        // deque keeps the front where it is while more lines are pushed behind it
        co_await asio::async_write(c->stream, asio::buffer(c->out.front()), asio::redirect_error(asio::use_awaitable, ec));
        if (c->ending) break;
        if (ec) {
            end(*c, "writing to " + options_.twitch_server + ": " + ec.message());
            break;
        }
        c->out.pop_front();
    }
    c->writing = false;
}

// Every quarter of the silence bound (at most 5 s): no welcome in time, or no line
// for the whole bound, ends the connection; none for half of it sends our PING.
awaitable<void> TwitchBridge::tick(std::shared_ptr<Connection> c) {
    double silence = options_.twitch_silence_s;
    double welcome_s = std::min(CONNECT_TIMEOUT_S, silence);
    while (!c->ending) {  // our PING may have ended it (a full queue)
        error_code ec;
        c->tick.expires_after(seconds(std::min(5.0, silence / 4)));
        co_await c->tick.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        if (ec || c->ending) co_return;
        auto now = Clock::now();
        if (!c->welcomed && now - c->opened >= seconds(welcome_s))
            co_return end(*c, "no welcome from " + options_.twitch_server + " within " + seconds_text(welcome_s));
        if (now - c->last_line >= seconds(silence))
            co_return end(*c, "nothing from the server for " + seconds_text(silence));
        if (c->welcomed && !c->pinged && now - c->last_line >= seconds(silence / 2) && c->stream.lowest_layer().is_open()) {
            c->pinged = true;
            send(c, "PING :vimo");
        }
    }
}

}  // namespace

std::unique_ptr<Bridge> make_twitch_bridge(ServiceCore& s, const BridgeOptions& options) {
    return std::make_unique<TwitchBridge>(s, options);
}

}  // namespace bridges
