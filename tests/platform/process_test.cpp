// Process, clock and browser calls of the platform layer.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace {

// Waits for cond up to a deadline, re-checking every few milliseconds.
template <class Cond>
bool wait_until(Cond cond, double seconds = 10.0) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

// Children of this process, running or ended but not reaped (zombies).
int child_processes() {
    int children = 0;
    DIR* proc = opendir("/proc");
    if (!proc) return -1;
    while (dirent* entry = readdir(proc)) {
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        long ppid = 0;
        rest >> state >> ppid;
        if (ppid == (long)getpid()) children++;
    }
    closedir(proc);
    return children;
}

std::string read_all(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A temporary directory holding a stand-in xdg-open that records its arguments.
struct FakeBrowser {
    std::string dir;
    std::string out;
    std::string oldPath;
    FakeBrowser() {
        char tmpl[] = "/tmp/vimo-xdg-XXXXXX";
        dir = mkdtemp(tmpl);
        out = dir + "/opened.txt";
        std::ofstream script(dir + "/xdg-open");
        // Written to a temporary name and moved, so the file appears complete.
        script << "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > '" << out << ".tmp' && mv '" << out << ".tmp' '" << out
               << "'\n";
        script.close();
        chmod((dir + "/xdg-open").c_str(), 0755);
        oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
        setenv("PATH", (dir + ":" + oldPath).c_str(), 1);
    }
    ~FakeBrowser() {
        setenv("PATH", oldPath.c_str(), 1);
        std::remove(out.c_str());
        std::remove((dir + "/xdg-open").c_str());
        rmdir(dir.c_str());
    }
};

}  // namespace

TEST(PlatformProcess, ExecutablePathIsThisTestBinary) {
    std::string path = platform_executable_path();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path[0], '/');
    EXPECT_EQ(path.substr(path.rfind('/') + 1), "test_platform");
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
}

TEST(PlatformClock, MonotonicNanosecondCounter) {
    EXPECT_EQ(platform_clock_frequency(), 1000000000LL);
    int64_t start = platform_clock_counter();
    int64_t previous = start;
    for (int i = 0; i < 100000; i++) {
        int64_t now = platform_clock_counter();
        ASSERT_GE(now, previous);
        previous = now;
    }
    // It runs with real time: wait on steady_clock and see the counter move by at least as much.
    auto begin = std::chrono::steady_clock::now();
    int64_t c0 = platform_clock_counter();
    ASSERT_TRUE(wait_until([&] { return std::chrono::steady_clock::now() - begin >= std::chrono::milliseconds(20); }));
    EXPECT_GE(platform_clock_counter() - c0, 20000000LL);
}

TEST(PlatformBrowser, StartsXdgOpenWithTheUrlAsOneArgumentAndReapsIt) {
    FakeBrowser fake;
    // Shell syntax must reach the browser untouched, as one argument.
    const std::string url = "https://example.com/a b?x=1&y='2'$(touch /tmp/vimo-pwned);`id`";
    ASSERT_TRUE(platform_open_url(url));
    ASSERT_TRUE(wait_until([&] { return !read_all(fake.out).empty(); }));
    EXPECT_EQ(read_all(fake.out), "1|" + url);
    struct stat st;
    EXPECT_NE(stat("/tmp/vimo-pwned", &st), 0);
    // The child ends and is reaped without anyone waiting for it here: an
    // unreaped one would stay listed as a zombie child for good.
    EXPECT_TRUE(wait_until([] { return child_processes() == 0; }));
}

TEST(PlatformBrowser, ReportsFailureWhenXdgOpenIsMissing) {
    std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", "/nonexistent", 1);
    EXPECT_FALSE(platform_open_url("https://example.com/"));
    setenv("PATH", oldPath.c_str(), 1);
}
