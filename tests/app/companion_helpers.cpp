#include "app/companion_helpers.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

bool Child::read_until(const std::string& text, std::chrono::seconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (text.empty() || output.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{out, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[4096];
        ssize_t n = ::read(out, buffer, sizeof buffer);
        if (n <= 0) return text.empty();  // end of output: the child is gone
        output.append(buffer, n);
    }
    return true;
}

bool Child::pump(int ms) {
    pollfd p{out, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return true;
    char buffer[4096];
    ssize_t n = ::read(out, buffer, sizeof buffer);
    if (n <= 0) return false;
    output.append(buffer, n);
    return true;
}

int Child::finish() {
    bool ended = read_until("");
    if (!ended) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    close(out);
    if (!ended || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

Child start(const std::function<void()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        body();
        _exit(99);  // body must not return
    }
    close(fds[1]);
    return Child{pid, fds[0], ""};
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

Installed::Installed() {
    fs::path build(VIMO_BUILD_DIR);
    if (!fs::exists(build / "vimo")) return;
    char name[] = "/tmp/vimo_sigint_XXXXXX";
    if (mkdtemp(name) == nullptr) return;
    dir = name;
    fs::copy_file(build / "vimo", dir / "vimo");
    fs::permissions(dir / "vimo", fs::perms::owner_all);
    fs::create_directory_symlink(build / "assets", dir / "assets");
    ok = true;
}

Installed::~Installed() {
    std::error_code ignored;
    if (!dir.empty()) fs::remove_all(dir, ignored);
}

void Installed::put_config(const std::string& text) {
    std::ofstream(dir / "config.json") << text;
}

std::string Installed::config() {
    std::ifstream in(dir / "config.json");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

Child Installed::run(const std::vector<std::string>& args, const std::vector<std::pair<std::string, std::string>>& env) {
    std::string exe = (dir / "vimo").string();
    return start([exe, args, env] {
        if (chdir("/") != 0) _exit(98);  // the working directory must not matter
        for (const auto& [name, value] : env) {
            if (value.empty())
                unsetenv(name.c_str());
            else
                setenv(name.c_str(), value.c_str(), 1);
        }
        std::vector<char*> argv{const_cast<char*>("vimo")};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(97);
    });
}

SilentService::SilentService() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, (sockaddr*)&addr, len) != 0 || listen(fd, 64) != 0) return;
    getsockname(fd, (sockaddr*)&addr, &len);
    port = ntohs(addr.sin_port);
}

SilentService::~SilentService() {
    close(fd);
}

std::string SilentService::origin() const {
    return "http://127.0.0.1:" + std::to_string(port);
}

std::string hand_written_config(const std::string& origin) {
    return "{\n  \"login_id\": \"1:2:3\",\n  \"keep\": [1, 2],\n  \"service_origin\": \"" + origin +
           "\",\n  \"bluesky_origin\": \"" + origin + "\"\n}\n";
}

void expect_saved(const std::string& text) {
    EXPECT_EQ(count(text, "\n"), 0) << text;  // rewritten in the compact form
    EXPECT_NE(text.find("\"login_id\":\"1:2:3\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"keep\":[1,2]"), std::string::npos) << text;
}
