// SIGINT: the handler's line, one run of the shutdown sequence and exit
// status 2, in a child process with a real window; and the real companion
// binary interrupted the same way.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "app/app.h"
#include "element/element.h"
#include "physics/physics.h"

namespace fs = std::filesystem;

namespace {

// A child process whose standard output the test reads.
struct Child {
    pid_t pid = -1;
    int out = -1;
    std::string output;

    // Read until text has appeared (or, with text empty, until end of output);
    // false when the deadline passed first.
    bool read_until(const std::string& text, std::chrono::seconds limit = std::chrono::seconds(20)) {
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
    // Wait up to ms for output and take what came; false once the output ended.
    bool pump(int ms) {
        pollfd p{out, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return true;
        char buffer[4096];
        ssize_t n = ::read(out, buffer, sizeof buffer);
        if (n <= 0) return false;
        output.append(buffer, n);
        return true;
    }
    // Exit status after its output ended; -1 when it was killed or hung.
    int finish() {
        bool ended = read_until("");
        if (!ended) kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        close(out);
        if (!ended || !WIFEXITED(status)) return -1;
        return WEXITSTATUS(status);
    }
};

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

void say(const char* text) {
    ssize_t n = ::write(STDOUT_FILENO, text, strlen(text));
    (void)n;
}
void destroyed(Element*) { say("destroyed\n"); }
void ready_once(Element* e, float, float) {
    say("ready\n");
    e->onUpdate = nullptr;
}

// Start-up as main does it, minus the configuration, the mascot and the network.
void open_world() {
    signal(SIGINT, handleSignal);
    SetConfigFlags(FLAG_WINDOW_TRANSPARENT | FLAG_WINDOW_ALWAYS_RUN);
    InitWindow(320, 240, "vimo signal test");
    InitPhysics();
    RESOLUTION = Vector2{(float)GetScreenWidth(), (float)GetScreenHeight()};
    SetTargetFPS(60);
    Element* e = newElement(0);
    e->size = {20, 20};
    enablePhysics(e);
    e->onDestroy = destroyed;
    e->onUpdate = ready_once;
}

TEST(Interrupt, EndsTheLoopShutsDownOnceAndExitsTwo) {
    Child child = start([] {
        open_world();
        std::exit(app_run());
    });
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(child.read_until("ready\n")) << child.output;
    kill(child.pid, SIGINT);
    EXPECT_EQ(child.finish(), 2) << child.output;
    EXPECT_EQ(count(child.output, "Interrupt signal (2) received.\n"), 1) << child.output;
    EXPECT_EQ(count(child.output, "destroyed\n"), 1) << child.output;  // elements destroyed by the one shutdown
    EXPECT_LT(child.output.find("Interrupt"), child.output.find("destroyed"));
}

TEST(Interrupt, AfterShutdownOnlyPrintsAndExitsTwo) {
    Child child = start([] {
        open_world();
        for (int i = 0; i < 3; i++) frame_run_once(0);
        cleanup();
        cleanup();  // a second call does nothing
        say("cleaned\n");
        for (;;) pause();  // as if main were still returning
    });
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(child.read_until("cleaned\n")) << child.output;
    kill(child.pid, SIGINT);
    EXPECT_EQ(child.finish(), 2) << child.output;
    EXPECT_EQ(count(child.output, "Interrupt signal (2) received.\n"), 1) << child.output;
    EXPECT_EQ(count(child.output, "destroyed\n"), 1) << child.output;
}

// The real program in a directory of its own (so its "config.json" lands
// there), interrupted once it has started.
TEST(Interrupt, TheCompanionWritesItsConfigurationAndExitsTwo) {
    fs::path build(VIMO_BUILD_DIR);
    if (!fs::exists(build / "vimo")) GTEST_SKIP() << "the vimo binary is not built";
    char name[] = "/tmp/vimo_sigint_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    fs::path dir = name;
    fs::copy_file(build / "vimo", dir / "vimo");
    fs::permissions(dir / "vimo", fs::perms::owner_all);
    fs::create_directory_symlink(build / "assets", dir / "assets");

    Child child = start([&] {
        if (chdir("/") != 0) _exit(98);  // the working directory must not matter
        execl((dir / "vimo").c_str(), "vimo", (char*)nullptr);
        _exit(97);
    });
    ASSERT_GT(child.pid, 0);
    bool started = child.read_until("config result: ");
    if (started) started = child.read_until("\n");
    // Give the loop a frame or more: wait until the configuration file exists.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (started && !fs::exists(dir / "config.json") && std::chrono::steady_clock::now() < deadline) {
        if (!child.pump(50)) break;  // also drains output, so the child never blocks on a full pipe
    }
    EXPECT_TRUE(fs::exists(dir / "config.json")) << "written at the first start";
    kill(child.pid, SIGINT);
    int status = child.finish();
    EXPECT_TRUE(started) << child.output;
    EXPECT_EQ(status, 2) << child.output;
    EXPECT_EQ(count(child.output, "Interrupt signal (2) received.\n"), 1) << child.output;
    std::ifstream config(dir / "config.json");
    std::stringstream text;
    text << config.rdbuf();
    EXPECT_NE(text.str().find("\"login_id\":\""), std::string::npos) << text.str();
    EXPECT_EQ(count(text.str(), "\n"), 0);  // compact form
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

}  // namespace
