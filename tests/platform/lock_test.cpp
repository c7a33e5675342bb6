// The one-instance lock, interrupting another process, and telling a Wayland
// session. The lock is per process, so a second process (a fork) plays the
// running companion.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        char name[] = "/tmp/vimo_lock_XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

// A child that takes the lock of path, reports the result through a pipe and
// then waits to be killed.
struct Holder {
    pid_t pid = -1;
    int taken = -1;  // the child's PlatformLock result
    explicit Holder(const std::string& path) {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid = fork();
        if (pid == 0) {
            close(fds[0]);
            char result = static_cast<char>(platform_lock_take(path));
            if (::write(fds[1], &result, 1) != 1) _exit(1);
            for (;;) pause();
        }
        close(fds[1]);
        char result = 0;
        if (::read(fds[0], &result, 1) == 1) taken = result;  // blocks until the child has taken it
        close(fds[0]);
    }
    int kill_and_reap(int sig) {
        kill(pid, sig);
        int status = 0;
        waitpid(pid, &status, 0);
        return status;
    }
};

// Runs body in a child process and returns its wait status.
template <class Body>
int in_child(Body body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

std::string read_all(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(InstanceLock, HeldByOneProcessUntilItDiesEvenByKill) {
    TempDir dir;
    const std::string path = (dir.path / "vimo.lock").string();
    // Asking about a folder where nothing ran finds no holder and creates nothing.
    EXPECT_EQ(platform_lock_holder(path), 0);
    EXPECT_FALSE(fs::exists(path));

    Holder first(path);
    ASSERT_GT(first.pid, 0);
    ASSERT_EQ(first.taken, PLATFORM_LOCK_TAKEN);
    EXPECT_EQ(platform_lock_holder(path), first.pid);
    EXPECT_EQ(read_all(path), std::to_string(first.pid) + "\n");
    // Another process is refused, and its attempt leaves the holder's id alone.
    int refused = in_child([&] { return static_cast<int>(platform_lock_take(path)); });
    EXPECT_TRUE(WIFEXITED(refused) && WEXITSTATUS(refused) == PLATFORM_LOCK_BUSY) << refused;
    EXPECT_EQ(platform_lock_holder(path), first.pid);
    EXPECT_EQ(read_all(path), std::to_string(first.pid) + "\n");

    // SIGKILL runs no code of the holder's, yet the lock goes with it; the id
    // left in the file names nobody.
    int status = first.kill_and_reap(SIGKILL);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(platform_lock_holder(path), 0);
    Holder second(path);
    ASSERT_GT(second.pid, 0);
    EXPECT_EQ(second.taken, PLATFORM_LOCK_TAKEN);
    EXPECT_EQ(platform_lock_holder(path), second.pid);
    EXPECT_EQ(read_all(path), std::to_string(second.pid) + "\n");
    second.kill_and_reap(SIGKILL);

    EXPECT_EQ(platform_lock_take((dir.path / "missing" / "vimo.lock").string()), PLATFORM_LOCK_FAILED);
}

TEST(InstanceLock, InterruptReachesOnlyTheNamedProcess) {
    TempDir dir;
    Holder holder((dir.path / "vimo.lock").string());
    ASSERT_GT(holder.pid, 0);
    EXPECT_TRUE(platform_interrupt_process(holder.pid));
    int status = 0;
    waitpid(holder.pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    // 0 would be the caller's own process group: refused (a child in a group
    // of its own, so a mistake ends only the child).
    status = in_child([] {
        setpgid(0, 0);
        signal(SIGINT, SIG_DFL);
        return platform_interrupt_process(0) ? 1 : 0;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(Session, WaylandFromEitherVariable) {
    const char* names[] = {"WAYLAND_DISPLAY", "XDG_SESSION_TYPE"};
    std::string saved[2];
    bool had[2];
    for (int i = 0; i < 2; i++) {
        const char* value = std::getenv(names[i]);
        had[i] = value != nullptr;
        if (had[i]) saved[i] = value;
        unsetenv(names[i]);
    }
    EXPECT_FALSE(platform_session_is_wayland());
    setenv("XDG_SESSION_TYPE", "x11", 1);
    setenv("WAYLAND_DISPLAY", "", 1);  // set but empty names no compositor
    EXPECT_FALSE(platform_session_is_wayland());
    setenv("WAYLAND_DISPLAY", "wayland-0", 1);
    EXPECT_TRUE(platform_session_is_wayland());
    unsetenv("WAYLAND_DISPLAY");
    setenv("XDG_SESSION_TYPE", "wayland", 1);
    EXPECT_TRUE(platform_session_is_wayland());
    for (int i = 0; i < 2; i++) {
        if (had[i])
            setenv(names[i], saved[i].c_str(), 1);
        else
            unsetenv(names[i]);
    }
}
