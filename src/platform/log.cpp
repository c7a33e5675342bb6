// The log file of a program without a console (platform.h,
// platform_log_append), shared by both systems. A file of its own so that a
// program that uses only the pure helpers of platform.cpp does not pull in
// the file functions (tests replace some platform calls by their own).
#include "platform/platform.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

std::filesystem::path utf8_path(const std::string& path) {
    return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

// Moves the older half of the file at path (content: all of it) into
// path + ".1" and keeps the newer half, cut after a line end so that both
// files hold whole lines where the text has any.
bool log_roll(const std::string& path, const std::string& content, size_t limit) {
    size_t keep = std::min(content.size() / 2, limit / 2);
    size_t cut = content.size() - keep;
    size_t newline = content.find('\n', cut == 0 ? 0 : cut - 1);
    if (newline != std::string::npos) cut = newline + 1;
    if (!platform_file_replace(path + ".1", content.substr(0, cut))) return false;
    return platform_file_replace(path, content.substr(cut));
}

}  // namespace

bool platform_log_append(const std::string& path, const char* data, size_t size, size_t limit) {
    if (limit < 2) return false;
    if (size >= limit / 2) {  // the newest part of an oversized piece, so the file stays below the limit
        size_t drop = size - (limit / 2 - 1);
        data += drop;
        size -= drop;
    }
    std::error_code error;
    const std::filesystem::path file = utf8_path(path);
    uintmax_t have = std::filesystem::file_size(file, error);
    if (error) have = 0;  // missing: created below
    if (have + size >= limit) {
        std::string content;
        if (!platform_file_read(path, &content) || !log_roll(path, content, limit)) return false;
    }
    std::ofstream out(file, std::ios::binary | std::ios::app);
    out.write(data, static_cast<std::streamsize>(size));
    out.close();
    return !out.fail();
}
