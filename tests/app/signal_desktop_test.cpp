// SIGINT: the handler's line, one run of the shutdown sequence and exit
// status 2, in a child process with a real window; and the real companion
// binary interrupted the same way.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
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
// there), started from another working directory.
struct Installed {
    fs::path dir;
    bool ok = false;
    Installed() {
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
    ~Installed() {
        std::error_code ignored;
        if (!dir.empty()) fs::remove_all(dir, ignored);
    }
    void put_config(const std::string& text) { std::ofstream(dir / "config.json") << text; }
    std::string config() {
        std::ifstream in(dir / "config.json");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Run it; display (when not empty) replaces DISPLAY.
    Child run(const std::string& display = "") {
        std::string exe = (dir / "vimo").string();
        return start([exe, display] {
            if (chdir("/") != 0) _exit(98);  // the working directory must not matter
            if (!display.empty()) setenv("DISPLAY", display.c_str(), 1);
            execl(exe.c_str(), "vimo", (char*)nullptr);
            _exit(97);
        });
    }
};

// A loopback port that takes connections and never answers a byte: every
// request to it hangs until the client gives up.
struct SilentService {
    int fd = -1;
    int port = 0;
    SilentService() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(fd, (sockaddr*)&addr, len) != 0 || listen(fd, 64) != 0) return;
        getsockname(fd, (sockaddr*)&addr, &len);
        port = ntohs(addr.sin_port);
    }
    ~SilentService() { close(fd); }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port); }
};

// An indented configuration with an extra key: only a save rewrites it compact.
std::string hand_written_config(const std::string& origin) {
    return "{\n  \"login_id\": \"1:2:3\",\n  \"keep\": [1, 2],\n  \"service_origin\": \"" + origin +
           "\",\n  \"bluesky_origin\": \"" + origin + "\"\n}\n";
}

void expect_saved(const std::string& text) {
    EXPECT_EQ(count(text, "\n"), 0) << text;  // rewritten in the compact form
    EXPECT_NE(text.find("\"login_id\":\"1:2:3\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"keep\":[1,2]"), std::string::npos) << text;
}

// Every signal that ends the program, sent while the chat poll's request
// hangs: the program ends promptly (well before any transfer time-out), with
// the signal's number as its status and config.json saved.
TEST(Interrupt, EverySignalEndsTheCompanionPromptlyWithItsConfigurationSaved) {
    Installed app;
    if (!app.ok) GTEST_SKIP() << "the vimo binary is not built";
    SilentService silent;
    ASSERT_GT(silent.port, 0);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE("signal " + std::to_string(sig));
        app.put_config(hand_written_config(silent.origin()));
        Child child = app.run();
        ASSERT_GT(child.pid, 0);
        // The poll's first request goes out 3 s after start and never comes back.
        ASSERT_TRUE(child.read_until("[curl] Sending request to: " + silent.origin() + "/api/chat?count=1\n"))
            << child.output;
        auto sent = std::chrono::steady_clock::now();
        kill(child.pid, sig);
        int status = child.finish();
        auto took = std::chrono::steady_clock::now() - sent;
        EXPECT_EQ(status, sig) << child.output;
        EXPECT_LT(took, std::chrono::seconds(3)) << "a transfer time-out is 10 s";
        EXPECT_EQ(count(child.output, "Interrupt signal (" + std::to_string(sig) + ") received.\n"), 1)
            << child.output;
        expect_saved(app.config());
    }
}

// The X server goes away under the running companion (the session ended):
// an ordinary end with a line and status 1, config.json saved, no abort.
TEST(DisplayLost, TheCompanionSavesItsConfigurationAndExitsWithoutAborting) {
    Installed app;
    if (!app.ok) GTEST_SKIP() << "the vimo binary is not built";
    SilentService silent;
    app.put_config(hand_written_config(silent.origin()));

    // A private X server, which the test can kill.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t xvfb = fork();
    if (xvfb == 0) {
        close(fds[0]);
        int null = ::open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "640x480x24", "-nolisten", "tcp",
               (char*)nullptr);
        _exit(97);
    }
    close(fds[1]);
    Child server{xvfb, fds[0], ""};
    ASSERT_TRUE(server.read_until("\n")) << "Xvfb did not start";
    std::string display = ":" + server.output.substr(0, server.output.find('\n'));

    Child child = app.run(display);
    ASSERT_GT(child.pid, 0);
    // Frames are running once the chat poll has gone out.
    bool running = child.read_until("[curl] Sending request to: " + silent.origin() + "/api/chat?count=1\n");
    kill(xvfb, SIGKILL);
    waitpid(xvfb, nullptr, 0);
    close(server.out);
    int status = child.finish();
    ASSERT_TRUE(running) << child.output;
    EXPECT_EQ(status, 1) << child.output;  // exited, not killed by SIGABRT
    EXPECT_NE(child.output.find("The display is gone: saving the configuration and ending.\n"), std::string::npos)
        << child.output;
    EXPECT_EQ(child.output.find("terminate called"), std::string::npos) << child.output;
    expect_saved(app.config());
}

}  // namespace
