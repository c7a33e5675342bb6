// The program directory and the whole-file routines: cwd follows the
// executable, read returns files whole, write replaces atomically and never
// leaves a partial or temporary file behind.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <climits>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "base/files.h"

namespace fs = std::filesystem;

namespace {

// A path as the program's strings hold it: UTF-8, "/"-separated.
std::string utf8(const fs::path& path) {
    std::u8string text = path.generic_u8string();
    return std::string(text.begin(), text.end());
}

class FilesTest : public ::testing::Test {
protected:
    fs::path dir;
    std::string savedCwd;

    void SetUp() override {
        savedCwd = cwd;
        // A name outside ASCII: every path goes through as UTF-8.
        std::random_device random;
        std::string name = "vimo_files_\xc3\xa9\xe2\x98\x83_" + std::to_string(random());
        dir = fs::temp_directory_path() / fs::path(std::u8string(name.begin(), name.end()));
        ASSERT_TRUE(fs::create_directory(dir));
        cwd = utf8(dir) + "/";
    }
    void TearDown() override {
        cwd = savedCwd;
        std::error_code ignored;
        fs::permissions(dir, fs::perms::owner_all, ignored);
        fs::remove_all(dir, ignored);
    }
    void put(const std::string& name, const std::string& text) { std::ofstream(dir / name, std::ios::binary) << text; }
    std::string get(const std::string& name) {
        std::ifstream in(dir / name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Names in dir other than the expected files: leftovers of a save.
    int entries() {
        int n = 0;
        for (auto& entry : fs::directory_iterator(dir)) {
            (void)entry;
            n++;
        }
        return n;
    }
};

std::string exe_dir() {
#ifdef _WIN32
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return utf8(fs::path(std::wstring(path, n)).parent_path()) + "/";
#else
    return fs::canonical("/proc/self/exe").parent_path().string() + "/";
#endif
}

TEST_F(FilesTest, CwdIsTheExecutablesDirectoryWhateverTheWorkingDirectory) {
    getCWD();
    EXPECT_EQ(cwd, exe_dir());
    EXPECT_EQ(cwd.back(), '/');

#ifdef _WIN32
    GTEST_SKIP() << "the child started elsewhere is forked: Linux only";
#else
    // A child started elsewhere gets the same prefix.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        if (chdir("/") != 0) _exit(3);
        cwd.clear();
        getCWD();
        ssize_t n = ::write(fds[1], cwd.data(), cwd.size());
        _exit(n == static_cast<ssize_t>(cwd.size()) ? 0 : 4);
    }
    close(fds[1]);
    std::string got;
    char buffer[512];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) got.append(buffer, n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(got, exe_dir());
#endif
}

TEST_F(FilesTest, ReadReturnsTheWholeFileOrNothing) {
    const std::string text = "{\n  \"login_id\": \"1:2:3\",\r\n\t\"x\": [1, 2]\n}\n\n";
    put("config.json", text);
    EXPECT_EQ(read("config.json"), text);
    std::string binary("a\0b\xff", 4);
    put("bin", binary);
    EXPECT_EQ(read("bin"), binary);

    EXPECT_EQ(read("missing.json"), "");
    EXPECT_FALSE(fs::exists(dir / "missing.json"));  // reading creates nothing
    EXPECT_EQ(read(""), "");                         // the directory itself
}

TEST_F(FilesTest, WriteCreatesAndReplacesWithoutLeftovers) {
    EXPECT_TRUE(write("config.json", "{\"login_id\":\"1:2:3\"}"));
    EXPECT_EQ(get("config.json"), "{\"login_id\":\"1:2:3\"}");
    EXPECT_TRUE(write("config.json", "{}"));  // shorter: no tail of the old content
    EXPECT_EQ(get("config.json"), "{}");
    EXPECT_TRUE(write("config.json", ""));
    EXPECT_EQ(get("config.json"), "");
    EXPECT_EQ(entries(), 1);  // no temporary file left beside it

#ifndef _WIN32
    // Owner only from the start (Windows has no mode bits: an access list there).
    EXPECT_EQ(fs::status(dir / "config.json").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
#endif
    // A replaced file keeps a stricter mode (on Windows: read-only), and is replaced all the same.
    fs::permissions(dir / "config.json", fs::perms::owner_read, fs::perm_options::replace);
    EXPECT_TRUE(write("config.json", "{\"a\":1}"));
    EXPECT_EQ(get("config.json"), "{\"a\":1}");
    EXPECT_EQ(fs::status(dir / "config.json").permissions() & fs::perms::owner_write, fs::perms::none);
#ifndef _WIN32
    EXPECT_EQ(fs::status(dir / "config.json").permissions() & fs::perms::all, fs::perms::owner_read);
#endif
    fs::permissions(dir / "config.json", fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(entries(), 1);
}

TEST_F(FilesTest, FailedWriteKeepsTheOldFileAndReportsIt) {
    put("config.json", "{\"login_id\":\"old\"}");

    // Into a directory that does not exist.
    EXPECT_FALSE(write("nowhere/config.json", "{}"));

    // Over a directory: the rename fails, the temporary is removed.
    fs::create_directory(dir / "taken");
    EXPECT_FALSE(write("taken", "{}"));
    EXPECT_TRUE(fs::is_directory(dir / "taken"));

#ifndef _WIN32  // fork, file size limits and mode bits on folders are Linux's
    // A full disk, simulated with a file size limit in a child process: the
    // write stops half-way, and the old content must survive whole.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {16, 16};
        setrlimit(RLIMIT_FSIZE, &limit);
        bool ok = write("config.json", std::string(4096, 'x'));
        _exit(ok ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a write cut short must report failure";
    EXPECT_EQ(get("config.json"), "{\"login_id\":\"old\"}");

    // A read-only directory (meaningful only without root's override).
    if (geteuid() != 0) {
        fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_FALSE(write("config.json", "{}"));
        fs::permissions(dir, fs::perms::owner_all);
        EXPECT_EQ(get("config.json"), "{\"login_id\":\"old\"}");
    }
#endif
    EXPECT_EQ(get("config.json"), "{\"login_id\":\"old\"}");
    EXPECT_EQ(entries(), 2);  // config.json and taken/: no temporary left anywhere
}

TEST_F(FilesTest, StaleTemporariesOfOneFileAreRemovedAndNothingElse) {
    put("config.json", "{}");
    put("config.json.tmp-a1B2c3", "half");  // an interrupted save's
    put("config.json.tmp-toolong", "x");    // not a name a save gives
    put("other.json.tmp-a1B2c3", "x");      // another file's
    fs::create_directory(dir / "config.json.tmp-Dir123");
    EXPECT_EQ(remove_stale_temporaries("config.json"), 1);
    EXPECT_FALSE(fs::exists(dir / "config.json.tmp-a1B2c3"));
    EXPECT_EQ(get("config.json"), "{}");
    EXPECT_EQ(entries(), 4);
    EXPECT_EQ(remove_stale_temporaries("config.json"), 0);
}

}  // namespace
