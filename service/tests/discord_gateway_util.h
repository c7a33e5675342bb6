// The scripted WebSocket servers (scripted/discord_gateway.py, kick_pusher.py)
// as child processes of a test or a benchmark, with the small helpers they share.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

namespace gateway_test {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// Polls cond until it holds or seconds pass; whether it held.
inline bool wait_for(const std::function<bool()>& cond, double seconds) {
    auto deadline = Clock::now() + std::chrono::milliseconds(int64_t(seconds * 1000));
    while (!cond()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

inline std::string read_file(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// A scripted server as a child process, its output in dir; killed when this ends.
struct ScriptedChild {
    std::string dir;  // its certificates, ready file, log and output
    pid_t pid = -1;

    // Spawns args (output to dir/out_name) and waits until it writes dir/ready.json;
    // its JSON in *ready, false on failure.
    bool spawn(std::vector<std::string> args, const std::string& out_name, json* ready) {
        std::string path = dir + "/ready.json";
        std::remove(path.c_str());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, (dir + "/" + out_name).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&files, 1, 2);
        int rc = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&files);
        if (rc != 0 || !wait_for([&] { return !read_file(path).empty(); }, 30)) return false;
        *ready = json::parse(read_file(path));
        return true;
    }
    void kill() {
        if (pid <= 0) return;
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    ~ScriptedChild() { kill(); }

    std::vector<json> log() const {
        std::vector<json> lines;
        std::istringstream in(read_file(dir + "/log.jsonl"));
        for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line, nullptr, false));
        return lines;
    }
    // The script's closing line, once written.
    json done() const {
        for (const json& j : log())
            if (j.is_object() && j.contains("done")) return j;
        return nullptr;
    }
};

// The scripted Discord gateway.
struct ScriptedGateway : ScriptedChild {
    int port = 0, resume_port = 0, control_port = 0;
    std::string ca;

    // Starts it (port 0: any free one) and waits until it listens; false on failure.
    bool start(const std::string& scenario, std::vector<std::string> extra = {}, int at_port = 0, int at_resume = 0) {
        std::vector<std::string> args = {"/usr/bin/python3", VIMO_SCRIPTED_DIR "/discord_gateway.py",
                                         "--certs-dir", dir + "/certs",
                                         "--scenario", scenario,
                                         "--port", std::to_string(at_port),
                                         "--resume-port", std::to_string(at_resume),
                                         "--ready-file", dir + "/ready.json",
                                         "--log", dir + "/log.jsonl"};
        args.insert(args.end(), extra.begin(), extra.end());
        json r;
        if (!spawn(args, "gateway.out", &r)) return false;
        port = r["port"];
        resume_port = r["resume_port"];
        control_port = r.value("control_port", 0);
        ca = r["ca"];
        return true;
    }
    // The serve scenario's control port: one order, answered "ok" once sent to the bridge.
    bool order(const json& o) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(control_port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::string line = o.dump() + "\n", answer;
        bool sent = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                    send(fd, line.data(), line.size(), MSG_NOSIGNAL) == ssize_t(line.size());
        char c = 0;
        pollfd p{fd, POLLIN, 0};
        while (sent && poll(&p, 1, 10000) > 0 && read(fd, &c, 1) == 1 && c != '\n') answer += c;
        close(fd);
        return answer == "ok";
    }
    std::string url() const { return "wss://127.0.0.1:" + std::to_string(port) + "/?v=10&encoding=json"; }
};

// The scripted Pusher server Kick's chat is read from, playing a JSON script
// (kick_pusher.py's docstring lists its steps).
struct ScriptedPusher : ScriptedChild {
    int port = 0;
    std::string ca;

    bool start(const json& script) {
        std::ofstream(dir + "/script.json") << script.dump();
        json r;
        if (!spawn({"/usr/bin/python3", VIMO_SCRIPTED_DIR "/kick_pusher.py", "--certs-dir", dir + "/certs", "--script",
                    dir + "/script.json", "--ready-file", dir + "/ready.json", "--log", dir + "/log.jsonl"},
                   "pusher.out", &r))
            return false;
        port = r["port"];
        ca = r["ca"];
        return true;
    }
    std::string url() const {
        return "wss://127.0.0.1:" + std::to_string(port) + "/app/32cbd69e4b950bf97679?protocol=7&client=js";
    }
};

}  // namespace gateway_test
