// The worker pool, the header deadline and the backlog of vimo-service (see connections.h).
#include "http/connections.h"

#include <dirent.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace service_detail {

// ---- WorkerPool -------------------------------------------------------------------------

WorkerPool::WorkerPool(size_t kept, size_t most) : kept_(kept), most_(std::max(kept, most)) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < kept_; ++i) {
        int id = next_id_++;
        threads_.emplace(id, std::thread([this, id] { work(id); }));
    }
}

WorkerPool::~WorkerPool() { shutdown(); }

void WorkerPool::enqueue(std::function<void()> fn) {
    reap();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(fn));
        if (idle_ < jobs_.size() && threads_.size() < most_) {
            int id = next_id_++;
            threads_.emplace(id, std::thread([this, id] { work(id); }));
            return;
        }
    }
    ready_.notify_one();
}

void WorkerPool::shutdown() {
    std::map<int, std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        threads.swap(threads_);
    }
    ready_.notify_all();
    for (auto& [id, t] : threads) t.join();
    reap();
}

void WorkerPool::work(int id) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        ++idle_;
        bool woke = ready_.wait_for(lock, std::chrono::seconds(10), [&] { return !jobs_.empty() || stopping_; });
        --idle_;
        if (jobs_.empty()) {
            if (stopping_) return;
            if (woke || threads_.size() <= kept_) continue;
            // An extra thread without work for 10 s: it ends, and the next enqueue joins it.
            auto it = threads_.find(id);
            if (it == threads_.end()) continue;
            ended_.push_back(std::move(it->second));
            threads_.erase(it);
            return;
        }
        std::function<void()> fn = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        fn();
        lock.lock();
    }
}

void WorkerPool::reap() {
    std::vector<std::thread> ended;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ended.swap(ended_);
    }
    for (std::thread& t : ended) t.join();
}

// ---- HeaderDeadline -----------------------------------------------------------------------

namespace {

// The local port and the peer ("ip port", numeric as httplib prints it) of a
// connected TCP socket; false for anything else.
bool socket_ends(int fd, int* local_port, std::string* peer) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return false;
    if (addr.ss_family == AF_INET) *local_port = ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    else if (addr.ss_family == AF_INET6) *local_port = ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
    else return false;
    len = sizeof addr;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return false;  // the listening socket
    char host[NI_MAXHOST], serv[NI_MAXSERV];
    if (getnameinfo(reinterpret_cast<sockaddr*>(&addr), len, host, sizeof host, serv, sizeof serv,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return false;
    *peer = std::string(host) + " " + serv;
    return true;
}

// The service's connected sockets now: (descriptor, peer) of every TCP socket of
// this process whose local port is port. This is the one place that knows
// sockets the HTTP library owns, and it is Linux's (/proc/self/fd): the
// library (Debian's cpp-httplib 0.11, a compiled library) keeps its connection
// loop and socket stream private and hands handlers a request without its
// socket, and its own time-outs bound each read, not a request's headers in
// total, so the deadline has no handle on a connection but its descriptor.
std::vector<std::pair<int, std::string>> connected_sockets(int port) {
    std::vector<std::pair<int, std::string>> open;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return open;
    int dir_fd = dirfd(dir);
    while (dirent* e = readdir(dir)) {
        char* end = nullptr;
        long fd = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || end == e->d_name || fd == dir_fd) continue;
        // Sockets only, told by the link's name ("socket:[inode]"): the
        // descriptor itself is the HTTP library's, touched as little as can be.
        char target[64] = {};
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) < 8 || std::strncmp(target, "socket:[", 8) != 0) continue;
        int local = 0;
        std::string peer;
        if (socket_ends(int(fd), &local, &peer) && local == port) open.emplace_back(int(fd), peer);
    }
    closedir(dir);
    return open;
}

}  // namespace

void HeaderDeadline::start(int port) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) return;
    port_ = port;
    running_ = true;
    thread_ = std::thread([this] {
        std::unique_lock<std::mutex> lock(mutex_);
        while (running_) {
            wake_.wait_for(lock, std::chrono::milliseconds(100));
            if (!running_) break;
            lock.unlock();
            sweep();
            lock.lock();
        }
    });
}

void HeaderDeadline::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_) return;
        running_ = false;
    }
    wake_.notify_all();
    thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    due_.clear();
}

void HeaderDeadline::put(const std::string& ip, int port, Clock::duration within) {
    std::lock_guard<std::mutex> lock(mutex_);
    due_[ip + " " + std::to_string(port)] = Clock::now() + within;
}

void HeaderDeadline::request_read(const std::string& ip, int port) { put(ip, port, rest_); }
void HeaderDeadline::answered(const std::string& ip, int port) { put(ip, port, header_); }
void HeaderDeadline::held(const std::string& ip, int port, Clock::duration longer) { put(ip, port, rest_ + longer); }


// One pass over the service's connections. A connection seen for the first time
// owes its headers from now; one past its deadline is shut down (its worker then
// reads the end and closes it); entries of connections gone are dropped.
void HeaderDeadline::sweep() {
    std::vector<std::pair<int, std::string>> open = connected_sockets(port_);
    Clock::time_point now = Clock::now();
    std::vector<std::pair<int, std::string>> late;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::map<std::string, Clock::time_point> seen;
        for (const auto& [fd, peer] : open) {
            auto it = due_.find(peer);
            Clock::time_point due = it == due_.end() ? now + header_ : it->second;
            if (due <= now) late.emplace_back(fd, peer);
            seen.emplace(peer, due);
        }
        due_.swap(seen);
    }
    for (const auto& [fd, peer] : late) {
        int local = 0;
        std::string again;
        // The descriptor may have been closed and reused since: only the same connection is cut.
        if (socket_ends(fd, &local, &again) && again == peer && local == port_ && ::shutdown(fd, SHUT_RDWR) == 0)
            ++cut_;
    }
}

// ---- Backlog -------------------------------------------------------------------------------

bool raise_backlog(int listening_fd, int backlog) { return listening_fd >= 0 && ::listen(listening_fd, backlog) == 0; }

}  // namespace service_detail
