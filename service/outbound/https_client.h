// A kept-alive HTTPS connection for a bridge's calls (Boost.Beast over Asio SSL):
// GET with a bearer token or POST of a form, answers bounded in size, every step
// bounded in time. Its calls are coroutines on the event loop of outbound/loop.h,
// so a stop of that loop ends them at once, even while a long poll is open.
// Without a TLS context it speaks plain HTTP: only for a provider on this
// machine (tests, a relay), as parse_base_url allows.
//
// Threads: one HttpsClient belongs to one event loop (a bridge's, or the one a
// sign-in's callback runs), and is used by one coroutine at a time.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "outbound/loop.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>

namespace bridges {

inline constexpr double HTTPS_CONNECT_TIMEOUT_S = 10;  // each of name look-up, TCP connect and TLS handshake
inline constexpr double HTTPS_SEND_TIMEOUT_S = 10;     // writing one request

struct HttpsAnswer {
    int status = 0;           // the HTTP status; 0 when no answer came (error says why)
    std::string body;         // at most the body limit given
    std::string retry_after;  // the Retry-After header, "" when absent
    std::string error;        // network, TLS or HTTP framing fault, "" when status is set
};

// An http(s) base address split for HttpsClient: "https://host[:port][/prefix]",
// or "http://" when the host is a loopback address (127.x, ::1, localhost), so a
// secret sent to it never crosses a network in the clear.
struct BaseUrl {
    bool tls = true;     // https
    std::string host;    // without brackets
    std::string port;    // "443" or "80" when not given
    std::string prefix;  // a path the API sits under, without a trailing "/" ("" at the root)
};
// false and *error (naming url) when url is not such an address.
bool parse_base_url(const std::string& url, bool allow_loopback_http, BaseUrl* out, std::string* error);
// Percent-encodes all but A-Z a-z 0-9 - . _ ~ (query values and form fields).
std::string url_encode(const std::string& text);

class HttpsClient {
public:
    // Connects lazily to host:port on the loop of executor, verifying the
    // certificate against tls and host; tls nullptr: plain HTTP (a loopback base,
    // see BaseUrl). Each connecting step (look-up, connect, handshake) must end
    // within connect_timeout_s.
    HttpsClient(boost::asio::any_io_executor executor, std::shared_ptr<boost::asio::ssl::context> tls,
                std::string host, std::string port, double connect_timeout_s = HTTPS_CONNECT_TIMEOUT_S);
    ~HttpsClient();
    HttpsClient(const HttpsClient&) = delete;
    HttpsClient& operator=(const HttpsClient&) = delete;

    // The calls read their arguments while they wait: co_await each in the
    // expression that makes it.
    //
    // GET target ("/path?query") with "Authorization: Bearer token". The answer must
    // come within timeout_s; a body over max_body bytes is a fault, not an answer.
    // A kept-alive connection the server closed in between is opened again once.
    outbound::awaitable<HttpsAnswer> get(const std::string& target, const std::string& token, double timeout_s,
                                         size_t max_body);
    // POST target with an application/x-www-form-urlencoded body (already encoded);
    // the same bounds as get.
    outbound::awaitable<HttpsAnswer> post_form(const std::string& target, const std::string& form, double timeout_s,
                                               size_t max_body);
    // Drops the connection (the next call opens a new one).
    void close();
    // A header sent with every later request (Helix's Client-Id).
    void add_header(std::string name, std::string value) { headers_.emplace_back(std::move(name), std::move(value)); }

private:
    using Stream = boost::asio::ssl::stream<boost::asio::ip::tcp::socket>;
    struct Watch;  // one step's deadline (https_client.cpp)
    outbound::awaitable<HttpsAnswer> request(bool post, const std::string& target, const std::string& token,
                                             const std::string& form, double timeout_s, size_t max_body);
    template <class F>
    auto on_stream(F f) {  // f on whichever connection is open
        return stream_ ? f(*stream_) : f(*plain_);
    }
    outbound::awaitable<std::string> open();  // "" or what failed
    std::shared_ptr<Watch> watch(double seconds);
    boost::system::error_code watched(Watch& w, boost::system::error_code ec);
    void cancel_all();

    boost::asio::any_io_executor executor_;
    std::shared_ptr<boost::asio::ssl::context> tls_;
    std::string host_, port_, host_header_;
    double connect_timeout_s_;  // seconds for each connecting step
    boost::asio::ip::tcp::resolver resolver_;
    boost::asio::steady_timer watchdog_;  // the running step's deadline: closes the connection under it
    std::unique_ptr<Stream> stream_;    // nullptr while not connected over TLS
    std::unique_ptr<boost::asio::ip::tcp::socket> plain_;  // nullptr while not connected in plain HTTP
    boost::beast::flat_buffer buffer_;  // bytes read past the last answer on stream_
    std::vector<std::pair<std::string, std::string>> headers_;  // add_header's, in order
};

}  // namespace bridges
