// One companion per program folder: a second start leaves at once without
// touching config.json, and "vimo --quit" ends the running one as Ctrl-C
// does. The real binary, run from a folder of its own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>

#include "app/companion_helpers.h"

namespace fs = std::filesystem;

namespace {

std::set<std::string> listing(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

timespec modified(const fs::path& file) {
    struct stat info{};
    stat(file.c_str(), &info);
    return info.st_mtim;
}

}  // namespace

TEST(OneInstance, SecondStartLeavesEverythingAloneAndQuitEndsTheRunningOneLikeCtrlC) {
    Installed app;
    if (!app.ok) GTEST_SKIP() << "the vimo binary is not built";
    SilentService silent;
    ASSERT_GT(silent.port, 0);
    app.put_config(hand_written_config(silent.origin()));
    const auto before_any = listing(app.dir);

    // Nothing runs yet: --quit says so, signals nobody and leaves no file behind.
    Child none = app.run({"--quit"});
    EXPECT_EQ(none.finish(), 1) << none.output;
    EXPECT_EQ(none.output, "No companion is running from this folder.\n");
    EXPECT_EQ(listing(app.dir), before_any);

    // The first start, in a Wayland session (the X server is still Xvfb's).
    Child first = app.run({}, {{"XDG_SESSION_TYPE", "wayland"}, {"WAYLAND_DISPLAY", ""}});
    ASSERT_GT(first.pid, 0);
    // Frames run once the chat poll's first request (3 s after start) is out.
    ASSERT_TRUE(first.read_until("[curl] Sending request to: " + silent.origin() + "/api/chat?count=1\n"))
        << first.output;
    EXPECT_EQ(count(first.output, "Wayland session: running through XWayland; everything works except walls around "
                                  "native Wayland windows, which X11 programs cannot see.\n"),
              1)
        << first.output;

    // A second start, also with an unknown argument: one line, status 0, and
    // config.json, its time and the folder's files exactly as they were.
    const std::string config = app.config();
    const timespec mtime = modified(app.dir / "config.json");
    const auto files = listing(app.dir);
    Child second = app.run({"--unknown"}, {{"XDG_SESSION_TYPE", "wayland"}});
    EXPECT_EQ(second.finish(), 0) << second.output;
    EXPECT_EQ(second.output, "vimo is already running from this folder (pid " + std::to_string(first.pid) +
                                 "); \"vimo --quit\" ends it.\n");
    EXPECT_EQ(app.config(), config);
    const timespec after = modified(app.dir / "config.json");
    EXPECT_TRUE(after.tv_sec == mtime.tv_sec && after.tv_nsec == mtime.tv_nsec);
    EXPECT_EQ(listing(app.dir), files);

    // --quit: the running one prints Ctrl-C's line, saves and exits with 2;
    // --quit itself returns once it has gone.
    Child quit = app.run({"--quit"});
    EXPECT_EQ(quit.finish(), 0) << quit.output;
    EXPECT_EQ(quit.output,
              "Asked the running companion (pid " + std::to_string(first.pid) + ") to end; it has ended.\n");
    EXPECT_EQ(first.finish(), 2) << first.output;
    EXPECT_EQ(count(first.output, "Interrupt signal (2) received.\n"), 1) << first.output;
    expect_saved(app.config());

    // The lock file still names the ended one: that id is never signalled.
    Child again = app.run({"--quit"});
    EXPECT_EQ(again.finish(), 1) << again.output;
}
