// The log file of a vimo.exe without a console (platform_log_append): it
// stays below its limit, the older half rolls into ".1" at a line end, and
// no line is lost or split between the two files. Runs on both systems.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

struct LogDir {
    fs::path dir;
    std::string log;  // UTF-8 path of the log file, with a non-ASCII folder name
    LogDir() {
        std::random_device random;
        std::string name = "vimo_log_\xc3\xa9_" + std::to_string(random());
        dir = fs::temp_directory_path() / fs::path(std::u8string(name.begin(), name.end()));
        fs::create_directory(dir);
        std::u8string text = (dir / "vimo.log").generic_u8string();
        log.assign(text.begin(), text.end());
    }
    ~LogDir() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    std::string read(const char* name) const {
        std::ifstream in(dir / name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

std::string numbered_line(int n) {
    std::string line = "line " + std::to_string(n) + " ";
    line.resize(99, '.');  // 100 bytes with the line end
    return line + "\n";
}

}  // namespace

TEST(LogFile, StaysBelowOneMebibyteAndRollsItsOlderHalfIntoDotOneAtALineEnd) {
    LogDir d;
    const size_t limit = PLATFORM_LOG_LIMIT;
    ASSERT_EQ(limit, 1u << 20);
    int rolls = 0;
    uintmax_t previous = 0;
    int n = 0;
    // Past two rolls: the second one replaces the first one's ".1".
    for (; rolls < 2; n++) {
        std::string line = numbered_line(n);
        ASSERT_TRUE(platform_log_append(d.log, line.data(), line.size()));
        uintmax_t size = fs::file_size(d.dir / "vimo.log");
        ASSERT_LT(size, limit) << "after line " << n;
        if (size < previous) {
            rolls++;
            // At the roll both files together hold every line since the
            // previous roll, in order, whole; ".1" about half the limit.
            std::string older = d.read("vimo.log.1"), newer = d.read("vimo.log");
            EXPECT_EQ(older.size() % 100, 0u);
            EXPECT_NEAR(static_cast<double>(older.size()), limit / 2.0, 200.0);
            EXPECT_EQ(newer.substr(newer.size() - line.size()), line);
            std::string both = older + newer;
            int first = std::stoi(both.substr(5));
            for (size_t at = 0, k = first; at < both.size(); at += 100, k++)
                ASSERT_EQ(both.substr(at, 100), numbered_line(static_cast<int>(k))) << "at byte " << at;
            EXPECT_EQ(first + static_cast<int>(both.size() / 100) - 1, n);
        }
        previous = size;
    }
    EXPECT_GT(n, static_cast<int>(limit / 100));
}

TEST(LogFile, OversizedPiecesAndAnOverfullOldFileStillEndBelowTheLimit) {
    LogDir d;
    const size_t limit = 4096;
    // A file left bigger than the limit (say by an older version) rolls at the first line.
    {
        std::ofstream old(d.dir / "vimo.log", std::ios::binary);
        for (int i = 0; i < 100; i++) old << numbered_line(i);
    }
    std::string line = numbered_line(100);
    ASSERT_TRUE(platform_log_append(d.log, line.data(), line.size(), limit));
    std::string now = d.read("vimo.log");
    EXPECT_LT(now.size(), limit);
    EXPECT_EQ(now.substr(now.size() - 100), line);
    EXPECT_EQ(now.substr(0, 5), "line ") << "the kept half starts at a line";
    EXPECT_EQ(d.read("vimo.log.1").substr(0, 100), numbered_line(0));

    // One piece longer than the limit: its newest part, the file below the limit.
    std::string flood(3 * limit, 'x');
    flood += "the end\n";
    ASSERT_TRUE(platform_log_append(d.log, flood.data(), flood.size(), limit));
    now = d.read("vimo.log");
    EXPECT_LT(now.size(), limit);
    EXPECT_EQ(now.substr(now.size() - 8), "the end\n");

    // A log that cannot be written (its folder is gone) says so.
    std::string lost = (d.dir / "gone" / "vimo.log").string();
    EXPECT_FALSE(platform_log_append(lost, line.data(), line.size(), limit));
}
