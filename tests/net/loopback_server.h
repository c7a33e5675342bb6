// A small HTTP/1.1 server on 127.0.0.1 and a free port for the transport
// tests, on POSIX sockets and Winsock alike (Debian's cpp-httplib keeps its
// code in a Linux library, which the Windows build cannot link). One request
// per connection ("Connection: close"), each connection on a thread of its
// own; handlers write the answer themselves, so they can stall, stream or
// answer nothing.
//
// Connection sockets are non-blocking and every wait on them is a bounded
// select, so a connection thread always ends: when its client is gone, and
// when stop() is called while its client is still there but no longer reads.
// A blocking send is not enough under Wine 8: when the client resets the
// connection (it closed with our answer unread, as a transport does past its
// size cap) while the send waits for room, the wineserver can miss the reset
// and the send never returns; stop() then waited for that thread for ever.
#pragma once

#ifdef _WIN32
// Sockets only: without GDI's declarations, whose Rectangle() would shadow the
// graphics layer's struct in the files that include both.
#ifndef NOGDI
#define NOGDI
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace loopback {

#ifdef _WIN32
using Socket = SOCKET;
inline void close_socket(Socket s) { closesocket(s); }
inline bool valid(Socket s) { return s != INVALID_SOCKET; }
constexpr int SEND_FLAGS = 0;
inline void set_nonblocking(Socket s) {
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
}
// The last call found no data or no room yet (not an error).
inline bool would_block() { return WSAGetLastError() == WSAEWOULDBLOCK; }
// Winsock wants starting once per process; the tests never stop it.
inline void start_sockets() {
    static bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}
#else
using Socket = int;
inline void close_socket(Socket s) { close(s); }
inline bool valid(Socket s) { return s >= 0; }
constexpr int SEND_FLAGS = MSG_NOSIGNAL;  // a client gone away must not raise SIGPIPE
inline void start_sockets() {}
inline void set_nonblocking(Socket s) { fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK); }
inline bool would_block() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }
#endif

// A bound socket on 127.0.0.1 and a free port, listening when backlog > 0.
inline Socket bound_socket(int* port, int backlog) {
    start_sockets();
    Socket s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (backlog > 0) listen(s, backlog);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return s;
}

// Wait until s can be read (or written, when write), has failed, or stop is
// set; false for stop. Each select lasts at most 20 ms, so stop is seen within
// that; a fresh select each time also looks at the socket anew where a single
// long wait could miss its reset (Wine).
inline bool wait_ready(Socket s, bool write, const std::atomic<bool>& stop) {
    while (!stop) {
        fd_set ready, failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(s, &ready);
        FD_SET(s, &failed);
        timeval tick{0, 20000};
        int n = select(static_cast<int>(s) + 1, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &tick);
        if (n != 0) return true;  // ready, failed, or select itself failed: the next call says which
    }
    return false;
}

// Up to size bytes from s into buffer: their count, 0 when the client closed,
// -1 on an error or when stop was set first.
inline int receive(Socket s, char* buffer, int size, const std::atomic<bool>& stop) {
    for (;;) {
        int n = recv(s, buffer, size, 0);
        if (n >= 0) return n;
        if (!would_block() || !wait_ready(s, false, stop)) return -1;
    }
}

struct Request {
    std::string method, path, query, body;
    std::map<std::string, std::string> headers;  // names in lower case
    bool has_header(const std::string& name) const { return headers.count(name) != 0; }
    std::string header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? "" : it->second;
    }
    // Value of name=value in the query string, "" when absent.
    std::string param(const std::string& name) const {
        size_t start = 0;
        while (start <= query.size()) {
            size_t end = query.find('&', start);
            if (end == std::string::npos) end = query.size();
            std::string pair = query.substr(start, end - start);
            if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
            start = end + 1;
        }
        return "";
    }
};

// The client's end of one connection, for a handler to answer on.
struct Connection {
    Socket socket;                    // non-blocking; closed by the server after the handler returns
    const std::atomic<bool>* stop;    // the server's stopping flag: a send waiting for room gives up
    // All of bytes, or false once the client is gone or the server stops.
    bool send(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            int n = ::send(socket, bytes.data() + done, static_cast<int>(bytes.size() - done), SEND_FLAGS);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n == 0 || !would_block() || !wait_ready(socket, true, *stop)) return false;
        }
        return true;
    }
    bool respond(int status, const std::string& body, const std::string& extra_headers = "") {
        return send("HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\nContent-Type: text/plain\r\nConnection: close\r\n" + extra_headers + "\r\n" + body);
    }
    bool start_chunks() {
        return send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n");
    }
    bool chunk(const std::string& data) {
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", data.size());
        return send(size + data + "\r\n");
    }
    bool end_chunks() { return send("0\r\n\r\n"); }
};

using Handler = std::function<void(const Request&, Connection&)>;

class Server {
public:
    // Routes: a request goes to the first whose method matches and whose path
    // is the path given or, for one ending in '/', begins with it.
    void route(const std::string& method, const std::string& path, Handler handler) {
        routes_.push_back({method, path, std::move(handler)});
    }
    int start() {
        listener_ = bound_socket(&port_, 64);
        acceptor_ = std::thread([this] { accept_loop(); });
        return port_;
    }
    void stop() {
        if (!acceptor_.joinable()) return;
        stopping_ = true;
        acceptor_.join();
        close_socket(listener_);
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> lock(m_);
            threads.swap(connections_);
        }
        for (std::thread& t : threads) t.join();
    }
    ~Server() { stop(); }
    int port() const { return port_; }

private:
    struct Route {
        std::string method, path;
        Handler handler;
    };
    std::vector<Route> routes_;
    Socket listener_{};
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex m_;
    std::vector<std::thread> connections_;

    void accept_loop() {
        while (!stopping_) {
            // A bounded wait, so stop() is seen: closing a socket another
            // thread waits in does not wake it everywhere.
            fd_set ready;
            FD_ZERO(&ready);
            FD_SET(listener_, &ready);
            timeval tick{0, 20000};
            if (select(static_cast<int>(listener_) + 1, &ready, nullptr, nullptr, &tick) <= 0) continue;
            Socket client = accept(listener_, nullptr, nullptr);
            if (!valid(client)) continue;
            std::lock_guard<std::mutex> lock(m_);
            connections_.emplace_back([this, client] { serve(client); });
        }
    }

    // Read the request head (and a body of Content-Length bytes), then hand it on.
    void serve(Socket client) {
        set_nonblocking(client);
        std::string data;
        char buffer[4096];
        size_t head_end;
        while ((head_end = data.find("\r\n\r\n")) == std::string::npos) {
            int n = receive(client, buffer, sizeof buffer, stopping_);
            if (n <= 0) {
                close_socket(client);
                return;
            }
            data.append(buffer, static_cast<size_t>(n));
        }
        Request req;
        size_t line_end = data.find("\r\n");
        std::string line = data.substr(0, line_end);
        size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
        req.method = line.substr(0, sp1);
        std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
        size_t q = target.find('?');
        req.path = target.substr(0, q);
        if (q != std::string::npos) req.query = target.substr(q + 1);
        for (size_t p = line_end + 2; p < head_end;) {
            size_t e = data.find("\r\n", p);
            std::string h = data.substr(p, e - p);
            size_t colon = h.find(':');
            if (colon != std::string::npos) {
                std::string name = h.substr(0, colon);
                for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                size_t v = h.find_first_not_of(' ', colon + 1);
                req.headers[name] = v == std::string::npos ? "" : h.substr(v);
            }
            p = e + 2;
        }
        req.body = data.substr(head_end + 4);
        size_t length = req.has_header("content-length") ? std::stoul(req.header("content-length")) : 0;
        while (req.body.size() < length) {
            int n = receive(client, buffer, sizeof buffer, stopping_);
            if (n <= 0) break;
            req.body.append(buffer, static_cast<size_t>(n));
        }
        Connection conn{client, &stopping_};
        for (const Route& r : routes_) {
            bool match = r.path.back() == '/' ? req.path.compare(0, r.path.size(), r.path) == 0 : req.path == r.path;
            if (r.method == req.method && match) {
                r.handler(req, conn);
                close_socket(client);
                return;
            }
        }
        conn.respond(404, "not found");
        close_socket(client);
    }
};

}  // namespace loopback
