// What both implementations of platform.h share.
#include "platform/platform.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

bool starts_with_nocase(const std::string& s, const char* prefix) {
    size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= s.size()) return false;
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

}  // namespace

bool platform_url_is_web(const std::string& url) {
    if (!starts_with_nocase(url, "http://") && !starts_with_nocase(url, "https://")) return false;
    // Control characters and spaces have no place in an address we hand to the desktop.
    for (unsigned char c : url)
        if (c <= ' ' || c == 0x7f) return false;
    return true;
}

// ---- Log file -----------------------------------------------------------------------------

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
