// A kept-alive HTTPS connection for a bridge's calls (see https_client.h).
//
// Each step is awaited in order. A watchdog timer bounds it: past its deadline
// the resolver is cancelled and the socket closed, which ends the step at once
// with an error, read as "timed out". A stop needs nothing of its own here: the
// loop's end destroys the waiting coroutine, and this client with it.
#include "outbound/https_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>
#include <chrono>

#include <boost/asio/connect.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/http.hpp>

#include "outbound/tls.h"

namespace bridges {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using boost::system::error_code;
using outbound::awaitable;

namespace {

constexpr size_t MAX_HEADER_BYTES = 16 * 1024;          // an answer's status line and headers

std::string describe(const char* step, const error_code& ec) {
    if (ec == asio::error::timed_out) return std::string(step) + ": timed out";
    return std::string(step) + ": " + ec.message();
}

// A parsed address in 127.0.0.0/8, ::1, or the name "localhost" itself: a
// name that merely starts with "127." ("127.0.0.1.nip.io") is resolved by DNS
// and may be any machine.
bool is_loopback(const std::string& host) {
    if (host == "localhost") return true;
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

}  // namespace

bool parse_base_url(const std::string& url, bool allow_loopback_http, BaseUrl* out, std::string* error) {
    std::string rest;
    if (url.rfind("https://", 0) == 0) {
        out->tls = true;
        rest = url.substr(8);
    } else if (allow_loopback_http && url.rfind("http://", 0) == 0) {
        out->tls = false;
        rest = url.substr(7);
    } else {
        *error = "must be https:// (secrets are never sent in the clear): " + url;
        return false;
    }
    size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    out->prefix = slash == std::string::npos ? "" : rest.substr(slash);
    while (!out->prefix.empty() && out->prefix.back() == '/') out->prefix.pop_back();
    std::string default_port = out->tls ? "443" : "80";
    bool ok;
    if (authority.find(':') == std::string::npos) {  // a name or IPv4 address alone
        out->host = authority;
        out->port = default_port;
        ok = !authority.empty();
    } else if (authority.front() == '[' && authority.back() == ']') {  // an IPv6 address alone
        out->host = authority.substr(1, authority.size() - 2);
        out->port = default_port;
        ok = !out->host.empty();
    } else {
        ok = split_host_port(authority, &out->host, &out->port) && !out->host.empty();
    }
    if (!ok) {
        *error = "cannot read the host and port of " + url;
        return false;
    }
    if (!out->tls && !is_loopback(out->host)) {
        *error = "plain http:// only to this machine (127.0.0.1, ::1, localhost): " + url;
        return false;
    }
    return true;
}

std::string url_encode(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// One step's deadline, shared with its watchdog handler, which may run after the
// step ended (both were ready in the same turn of the loop).
struct HttpsClient::Watch {
    bool done = false;   // the step ended: the watchdog does nothing
    bool fired = false;  // the watchdog ended the step
};

HttpsClient::HttpsClient(asio::any_io_executor executor, std::shared_ptr<asio::ssl::context> tls, std::string host,
                         std::string port, double connect_timeout_s)
    : executor_(executor), tls_(std::move(tls)), host_(std::move(host)), port_(std::move(port)),
      connect_timeout_s_(connect_timeout_s), resolver_(executor), watchdog_(executor) {
    std::string shown = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
    host_header_ = port_ == (tls_ ? "443" : "80") ? shown : shown + ":" + port_;
}

// The sockets and timers close with their members; a handler of theirs still
// queued finds its Watch done or its wait cancelled, and leaves this alone.
HttpsClient::~HttpsClient() = default;

std::shared_ptr<HttpsClient::Watch> HttpsClient::watch(double seconds) {
    auto w = std::make_shared<Watch>();
    watchdog_.expires_after(std::chrono::duration_cast<asio::steady_timer::duration>(std::chrono::duration<double>(seconds)));
    watchdog_.async_wait([this, w](error_code ec) {
        if (ec || w->done) return;
        w->fired = true;
        cancel_all();  // the step ends with an error at once
    });
    return w;
}

error_code HttpsClient::watched(Watch& w, error_code ec) {
    w.done = true;
    watchdog_.cancel();
    return w.fired ? error_code(asio::error::timed_out) : ec;
}

void HttpsClient::cancel_all() {
    resolver_.cancel();
    error_code ignored;
    if (stream_) stream_->lowest_layer().close(ignored);
    if (plain_) plain_->close(ignored);
}

void HttpsClient::close() {
    cancel_all();
    watchdog_.cancel();
    stream_.reset();
    plain_.reset();
    buffer_.clear();
}

awaitable<std::string> HttpsClient::open() {
    close();
    error_code ec;
    auto to = asio::redirect_error(asio::use_awaitable, ec);
    auto w = watch(connect_timeout_s_);
    auto endpoints = co_await resolver_.async_resolve(host_, port_, to);
    if ((ec = watched(*w, ec))) co_return describe(("looking up " + host_).c_str(), ec);
    if (!tls_) {
        plain_ = std::make_unique<asio::ip::tcp::socket>(executor_);
        w = watch(connect_timeout_s_);
        co_await asio::async_connect(*plain_, endpoints, to);
        if (!(ec = watched(*w, ec))) co_return "";
        close();
        co_return describe("connecting", ec) + " (" + host_header_ + ")";
    }
    stream_ = std::make_unique<Stream>(executor_, *tls_);
    if (!prepare_tls(*stream_, host_)) {
        close();
        co_return "cannot set the TLS host name " + host_;
    }
    const char* step = "connecting";
    w = watch(connect_timeout_s_);
    co_await asio::async_connect(stream_->lowest_layer(), endpoints, to);
    if (!(ec = watched(*w, ec))) {
        step = "TLS handshake";
        w = watch(connect_timeout_s_);
        co_await stream_->async_handshake(asio::ssl::stream_base::client, to);
        ec = watched(*w, ec);
    }
    if (!ec) co_return "";
    close();
    co_return describe(step, ec) + " (" + host_header_ + ")";
}

awaitable<HttpsAnswer> HttpsClient::get(const std::string& target, const std::string& token, double timeout_s,
                                        size_t max_body) {
    co_return co_await request(false, target, token, "", timeout_s, max_body);
}

awaitable<HttpsAnswer> HttpsClient::post_form(const std::string& target, const std::string& form, double timeout_s,
                                              size_t max_body) {
    co_return co_await request(true, target, "", form, timeout_s, max_body);
}

awaitable<HttpsAnswer> HttpsClient::request(bool post, const std::string& target, const std::string& token,
                                            const std::string& form, double timeout_s, size_t max_body) {
    HttpsAnswer answer;
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool reused = stream_ != nullptr || plain_ != nullptr;
        if (!reused) {
            answer.error = co_await open();
            if (!answer.error.empty()) co_return answer;
        }
        http::request<http::string_body> req{post ? http::verb::post : http::verb::get, target, 11};
        req.set(http::field::host, host_header_);
        if (!token.empty()) req.set(http::field::authorization, "Bearer " + token);
        req.set(http::field::accept, "application/json");
        req.set(http::field::user_agent, "vimo-service");
        for (const auto& [name, value] : headers_) req.set(name, value);
        if (post) {
            req.set(http::field::content_type, "application/x-www-form-urlencoded");
            req.body() = form;
            req.prepare_payload();
        }
        error_code ec;
        auto to = asio::redirect_error(asio::use_awaitable, ec);
        auto w = watch(HTTPS_SEND_TIMEOUT_S);
        co_await on_stream([&](auto& st) { return http::async_write(st, req, to); });
        ec = watched(*w, ec);
        http::response_parser<http::string_body> parser;
        parser.header_limit(MAX_HEADER_BYTES);
        parser.body_limit(max_body);
        if (!ec) {  // one deadline for the whole answer, headers and body
            w = watch(timeout_s);
            co_await on_stream([&](auto& st) { return http::async_read_header(st, buffer_, parser, to); });
            // The body is bounded before any of it is read: the string body would
            // otherwise reserve whatever Content-Length claims.
            if (!ec && parser.content_length() && *parser.content_length() > max_body) ec = http::error::body_limit;
            if (!ec) co_await on_stream([&](auto& st) { return http::async_read(st, buffer_, parser, to); });
            ec = watched(*w, ec);
        }
        if (ec) {
            close();
            // A server may close a kept-alive connection while it idles: nothing of
            // an answer came, so asking again on a new one repeats nothing.
            bool idle_close = reused && !parser.got_some() && ec != asio::error::timed_out;
            if (idle_close && !post) continue;  // a POST may have been taken: never twice
            answer.error = describe("reading the answer", ec) + " (" + host_header_ + ")";
            co_return answer;
        }
        http::response<http::string_body>& res = parser.get();
        answer.status = int(res.result_int());
        answer.body = std::move(res.body());
        answer.retry_after = std::string(res[http::field::retry_after]);
        // Bytes past the answer were never asked for (requests are not pipelined):
        // the framing cannot be trusted, so the next call starts afresh.
        if (!res.keep_alive() || buffer_.size() > 0) close();
        co_return answer;
    }
    co_return answer;
}

}  // namespace bridges
