// What a connection may cost the service straight at its port (no proxy in
// front): the listening socket's backlog, a pool of HTTP worker threads that
// grows while connections hold its threads, and a deadline for each request's
// headers in total (a client sending a byte a second is cut after 5 s instead
// of holding a thread for as long as it likes; cpp-httplib's own time-out is per
// read). service.cpp wires these into the httplib::Server.
//
// Threads: WorkerPool and HeaderDeadline are called from the listening thread
// (enqueue), the HTTP worker threads (request_read, answered) and the owning
// thread (start, stop, shutdown); each locks for itself.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <httplib.h>

namespace service_detail {

inline constexpr int LISTEN_BACKLOG = 512;  // connections the kernel holds before accept

// httplib's TaskQueue: `kept` threads always, and a new one (up to `most`) for a
// connection that would otherwise wait because every thread is held (keep-alive
// or slow clients). Threads beyond `kept` end after 10 s without work.
class WorkerPool : public httplib::TaskQueue {
public:
    WorkerPool(size_t kept, size_t most);
    ~WorkerPool() override;
    void enqueue(std::function<void()> fn) override;
    void shutdown() override;  // runs what is queued, then joins every thread

private:
    void work(int id);
    void reap();  // joins threads that have ended; mutex_ not held

    std::mutex mutex_;  // guards what follows
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    std::map<int, std::thread> threads_;
    std::vector<std::thread> ended_;  // to be joined
    size_t idle_ = 0;
    int next_id_ = 0;
    bool stopping_ = false;
    const size_t kept_, most_;
};

// Cuts connections whose request headers have not all arrived within `header`
// of the connection's start or of the previous answer, and requests whose body
// and answer take longer than `rest` after their headers. The HTTP library owns
// the sockets and gives no handle on them (connections.cpp says why): a sweep
// every 100 ms finds the service's connected sockets (this process's
// descriptors whose local port is the service's, one Linux-only function) and
// shuts down those past their deadline, which wakes the worker reading them.
class HeaderDeadline {
public:
    using Clock = std::chrono::steady_clock;
    HeaderDeadline(Clock::duration header, Clock::duration rest) : header_(header), rest_(rest) {}
    ~HeaderDeadline() { stop(); }
    void start(int port);  // sweeps on a thread of its own until stop
    void stop();
    // From the HTTP worker threads, by the client's address and port as httplib gives them.
    void request_read(const std::string& ip, int port);  // headers complete: the body and answer are due
    void answered(const std::string& ip, int port);      // the next request's headers are due
    // A request the service holds on purpose (the wake-up channel): its answer
    // is due `longer` later than an ordinary one's.
    void held(const std::string& ip, int port, Clock::duration longer);
    size_t cut() const { return cut_; }                   // connections cut so far

private:
    void sweep();
    void put(const std::string& ip, int port, Clock::duration within);

    const Clock::duration header_, rest_;
    int port_ = 0;
    std::mutex mutex_;  // guards what follows
    std::condition_variable wake_;
    std::map<std::string, Clock::time_point> due_;  // by "ip port"
    bool running_ = false;
    std::thread thread_;
    std::atomic<size_t> cut_{0};
};

// Raises the backlog of a listening socket (httplib listens with 5).
bool raise_backlog(int listening_fd, int backlog);

}  // namespace service_detail
