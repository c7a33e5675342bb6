// A kept-alive HTTPS connection for a bridge's calls (see https_client.h).
//
// Each step is started asynchronously and the io_context is then run a tenth of
// a second at a time until it completes: between slices the stop flag and the
// step's deadline are looked at, and either one closes the socket, which ends
// the step at once. So the code reads in order and still never blocks a stop.
#include "outbound/https_client.h"

#include <cctype>

#include <boost/asio/connect.hpp>
#include <boost/beast/http.hpp>

#include "outbound/tls.h"

namespace bridges {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using boost::system::error_code;

namespace {

constexpr auto SLICE = std::chrono::milliseconds(100);  // how long a stop may wait unseen
constexpr size_t MAX_HEADER_BYTES = 16 * 1024;          // an answer's status line and headers

std::string describe(const char* step, const error_code& ec) {
    if (ec == asio::error::timed_out) return std::string(step) + ": timed out";
    return std::string(step) + ": " + ec.message();
}

bool is_loopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
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

HttpsClient::HttpsClient(std::shared_ptr<asio::ssl::context> tls, std::string host, std::string port,
                         const std::atomic<bool>& stopping, double connect_timeout_s)
    : tls_(std::move(tls)), host_(std::move(host)), port_(std::move(port)), stopping_(stopping),
      connect_timeout_s_(connect_timeout_s), resolver_(ioc_), timer_(ioc_) {
    std::string shown = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
    host_header_ = port_ == (tls_ ? "443" : "80") ? shown : shown + ":" + port_;
}

HttpsClient::~HttpsClient() { close(); }

template <class Start>
error_code HttpsClient::run(Start start, double timeout_s) {
    error_code result;
    bool done = false, cancelled = false, timed_out = false;
    start([&](error_code ec, auto&&...) {
        result = ec;
        done = true;
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    ioc_.restart();
    while (!done) {
        ioc_.run_one_for(SLICE);
        if (done || cancelled) continue;
        timed_out = std::chrono::steady_clock::now() >= deadline;
        if (stopping_ || timed_out) {
            cancel_all();  // the step ends with an error on the next slice
            cancelled = true;
        }
    }
    if (cancelled) return timed_out ? error_code(asio::error::timed_out) : error_code(asio::error::operation_aborted);
    return result;
}

void HttpsClient::cancel_all() {
    resolver_.cancel();
    timer_.cancel();
    error_code ignored;
    if (stream_) stream_->lowest_layer().close(ignored);
    if (plain_) plain_->close(ignored);
}

void HttpsClient::close() {
    cancel_all();
    stream_.reset();
    plain_.reset();
    buffer_.clear();
}

std::string HttpsClient::open() {
    close();
    asio::ip::tcp::resolver::results_type endpoints;
    error_code ec = run(
        [&](auto done) {
            resolver_.async_resolve(host_, port_, [&endpoints, done](error_code e, auto results) mutable {
                endpoints = results;
                done(e);
            });
        },
        connect_timeout_s_);
    if (ec) return describe(("looking up " + host_).c_str(), ec);
    if (!tls_) {
        plain_ = std::make_unique<asio::ip::tcp::socket>(ioc_);
        ec = run([&](auto done) { asio::async_connect(*plain_, endpoints, done); }, connect_timeout_s_);
        if (!ec) return "";
        close();
        return describe("connecting", ec) + " (" + host_header_ + ")";
    }
    stream_ = std::make_unique<Stream>(ioc_, *tls_);
    if (!prepare_tls(*stream_, host_)) {
        close();
        return "cannot set the TLS host name " + host_;
    }
    const char* step = "connecting";
    ec = run([&](auto done) { asio::async_connect(stream_->lowest_layer(), endpoints, done); }, connect_timeout_s_);
    if (!ec) {
        step = "TLS handshake";
        ec = run([&](auto done) { stream_->async_handshake(asio::ssl::stream_base::client, done); },
                 connect_timeout_s_);
    }
    if (!ec) return "";
    close();
    return describe(step, ec) + " (" + host_header_ + ")";
}

HttpsAnswer HttpsClient::get(const std::string& target, const std::string& token, double timeout_s,
                             size_t max_body) {
    return request(false, target, token, "", timeout_s, max_body);
}

HttpsAnswer HttpsClient::post_form(const std::string& target, const std::string& form, double timeout_s,
                                   size_t max_body) {
    return request(true, target, "", form, timeout_s, max_body);
}

HttpsAnswer HttpsClient::request(bool post, const std::string& target, const std::string& token,
                                 const std::string& form, double timeout_s, size_t max_body) {
    HttpsAnswer answer;
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool reused = stream_ != nullptr || plain_ != nullptr;
        if (!reused) {
            answer.error = open();
            if (!answer.error.empty()) return answer;
        }
        http::request<http::string_body> req{post ? http::verb::post : http::verb::get, target, 11};
        req.set(http::field::host, host_header_);
        if (!token.empty()) req.set(http::field::authorization, "Bearer " + token);
        req.set(http::field::accept, "application/json");
        req.set(http::field::user_agent, "vimo-service");
        if (post) {
            req.set(http::field::content_type, "application/x-www-form-urlencoded");
            req.body() = form;
            req.prepare_payload();
        }
        error_code ec = run([&](auto done) { on_stream([&](auto& st) { http::async_write(st, req, done); }); },
                            HTTPS_SEND_TIMEOUT_S);
        http::response_parser<http::string_body> parser;
        parser.header_limit(MAX_HEADER_BYTES);
        parser.body_limit(max_body);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
        if (!ec)
            ec = run([&](auto done) { on_stream([&](auto& st) { http::async_read_header(st, buffer_, parser, done); }); },
                     timeout_s);
        // The body is bounded before any of it is read: the string body would
        // otherwise reserve whatever Content-Length claims.
        if (!ec && parser.content_length() && *parser.content_length() > max_body) ec = http::error::body_limit;
        std::chrono::duration<double> left = deadline - std::chrono::steady_clock::now();
        if (!ec)
            ec = run([&](auto done) { on_stream([&](auto& st) { http::async_read(st, buffer_, parser, done); }); },
                     left.count());
        if (ec) {
            close();
            // A server may close a kept-alive connection while it idles: nothing of
            // an answer came, so asking again on a new one repeats nothing.
            bool idle_close = reused && !parser.got_some() && ec != asio::error::timed_out;
            if (idle_close && !post && !stopping_) continue;  // a POST may have been taken: never twice
            answer.error = describe("reading the answer", ec) + " (" + host_header_ + ")";
            return answer;
        }
        http::response<http::string_body>& res = parser.get();
        answer.status = int(res.result_int());
        answer.body = std::move(res.body());
        answer.retry_after = std::string(res[http::field::retry_after]);
        // Bytes past the answer were never asked for (requests are not pipelined):
        // the framing cannot be trusted, so the next call starts afresh.
        if (!res.keep_alive() || buffer_.size() > 0) close();
        return answer;
    }
    return answer;
}

bool HttpsClient::pause(double seconds) {
    timer_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds)));
    run([&](auto done) { timer_.async_wait(done); }, seconds + 1);
    return !stopping_;
}

}  // namespace bridges
