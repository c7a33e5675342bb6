// A kept-alive HTTPS connection for a bridge's calls (Boost.Beast over Asio SSL):
// GET with a bearer token, answers bounded in size, every step bounded in time,
// and every wait given up within a tenth of a second once the owner's stop flag
// is set, even while a long poll is open.
//
// Threads: one HttpsClient belongs to one bridge thread; only the stop flag it
// watches is written by others.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
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

class HttpsClient {
public:
    // Connects lazily to host:port, verifying the certificate against tls and host.
    HttpsClient(std::shared_ptr<boost::asio::ssl::context> tls, std::string host, std::string port,
                const std::atomic<bool>& stopping);
    ~HttpsClient();
    HttpsClient(const HttpsClient&) = delete;
    HttpsClient& operator=(const HttpsClient&) = delete;

    // GET target ("/path?query") with "Authorization: Bearer token". The answer must
    // come within timeout_s; a body over max_body bytes is a fault, not an answer.
    // A kept-alive connection the server closed in between is opened again once.
    HttpsAnswer get(const std::string& target, const std::string& token, double timeout_s, size_t max_body);
    // Waits seconds; false when the stop flag ended the wait.
    bool pause(double seconds);
    // Drops the connection (the next get opens a new one).
    void close();

private:
    using Stream = boost::asio::ssl::stream<boost::asio::ip::tcp::socket>;
    template <class Start>
    boost::system::error_code run(Start start, double timeout_s);
    std::string open();  // "" or what failed
    void cancel_all();

    std::shared_ptr<boost::asio::ssl::context> tls_;
    std::string host_, port_, host_header_;
    const std::atomic<bool>& stopping_;
    boost::asio::io_context ioc_;
    boost::asio::ip::tcp::resolver resolver_;
    boost::asio::steady_timer timer_;
    std::unique_ptr<Stream> stream_;    // nullptr while not connected
    boost::beast::flat_buffer buffer_;  // bytes read past the last answer on stream_
};

}  // namespace bridges
