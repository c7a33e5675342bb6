// Helpers of the bridge tests: child processes that die with the test, line
// sockets with deadlines, waiting on a condition, and the scripted Twitch server.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace bridge_test {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// Polls pred every 20 ms until it holds or seconds pass; whether it held.
inline bool wait_until(double seconds, const std::function<bool()>& pred) {
    auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (pred()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Reads one LF-ended line from fd into *line (CR LF removed); false at EOF, on an
// error or when seconds pass. *pending keeps bytes read past the line.
inline bool read_line_fd(int fd, std::string* pending, std::string* line, double seconds) {
    auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        size_t lf = pending->find('\n');
        if (lf != std::string::npos) {
            *line = pending->substr(0, lf);
            pending->erase(0, lf + 1);
            if (!line->empty() && line->back() == '\r') line->pop_back();
            return true;
        }
        int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) return false;
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        pending->append(buf, size_t(n));
    }
}

// A child process (argv[0] a path), its stdout readable by line; killed and
// reaped when this goes, also when a test fails half-way.
class Child {
public:
    explicit Child(const std::vector<std::string>& argv) {
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(out[1]);
        stdout_ = out[0];
    }
    ~Child() { kill(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool running() const { return pid_ > 0; }
    bool read_line(std::string* line, double seconds) { return read_line_fd(stdout_, &pending_, line, seconds); }
    void kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        if (stdout_ >= 0) close(stdout_), stdout_ = -1;
    }

private:
    pid_t pid_ = -1;
    int stdout_ = -1;
    std::string pending_;
};

// A TCP connection to 127.0.0.1:port that sends and reads lines.
class LineSocket {
public:
    explicit LineSocket(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) close(fd_), fd_ = -1;
    }
    ~LineSocket() {
        if (fd_ >= 0) close(fd_);
    }
    LineSocket(const LineSocket&) = delete;
    LineSocket& operator=(const LineSocket&) = delete;

    bool ok() const { return fd_ >= 0; }
    bool send_line(const std::string& line) {
        std::string data = line + "\r\n";
        return fd_ >= 0 && ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == ssize_t(data.size());
    }
    bool read_line(std::string* line, double seconds) { return fd_ >= 0 && read_line_fd(fd_, &pending_, line, seconds); }

private:
    int fd_ = -1;
    std::string pending_;
};

// service/tests/scripted/twitch_server.py as a child on a loopback port (0: any),
// its TLS certificate made by a throw-away CA in certs_dir (kept for restarts).
class ScriptedTwitch {
public:
    ScriptedTwitch(const std::string& certs_dir, int port = 0)
        : child_({"/usr/bin/python3", std::string(VIMO_SCRIPTED_DIR) + "/twitch_server.py", "--certs-dir", certs_dir,
                  "--port", std::to_string(port)}) {
        std::string first;
        if (!child_.read_line(&first, 30)) return;
        json j = json::parse(first, nullptr, false);
        if (!j.is_object()) return;
        port_ = j["port"];
        control_port_ = j["control"];
        ca_ = j["ca"];
        control_ = std::make_unique<LineSocket>(control_port_);
    }
    bool ok() const { return control_ && control_->ok(); }
    int port() const { return port_; }
    const std::string& ca() const { return ca_; }
    void kill() { child_.kill(); }

    // One control command and its answer ({} when the server did not answer).
    json control(const json& command) {
        std::string answer;
        if (!control_->send_line(command.dump()) || !control_->read_line(&answer, 60)) return json::object();
        return json::parse(answer, nullptr, false);
    }
    json state() { return control({{"cmd", "state"}}); }
    // The lines the first client sent ([] when no client is connected).
    std::vector<std::string> client_lines() {
        json s = state();
        if (!s.contains("clients") || s["clients"].empty()) return {};
        return s["clients"][0]["lines"].get<std::vector<std::string>>();
    }
    // Whether a client is connected that has joined every channel of want.
    bool joined(const std::vector<std::string>& want) {
        json s = state();
        if (!s.contains("clients")) return false;
        for (const json& c : s["clients"]) {
            auto have = c["channels"].get<std::vector<std::string>>();
            bool all = true;
            for (const std::string& w : want) all = all && std::find(have.begin(), have.end(), w) != have.end();
            if (all) return true;
        }
        return false;
    }
    int connections() { return state().value("connections", -1); }

private:
    Child child_;
    int port_ = 0, control_port_ = 0;
    std::string ca_;
    std::unique_ptr<LineSocket> control_;
};

}  // namespace bridge_test
