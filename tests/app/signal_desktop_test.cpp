// SIGINT: the handler's line, one run of the shutdown sequence and exit
// status 2, in a child process with a real window; and the real companion
// binary interrupted the same way.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/app.h"
#include "app/companion_helpers.h"
#include "element/element.h"
#include "physics/physics.h"

namespace {

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

    Child child = app.run({}, {{"DISPLAY", display}});
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
