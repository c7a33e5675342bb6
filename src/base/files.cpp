#include "base/files.h"

#include "platform/platform.h"

std::string cwd;

void getCWD() {
    std::string path = platform_executable_path();
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    size_t slash = path.rfind('/');
    if (slash != std::string::npos) path.erase(slash);
    if (path.empty() || path.back() != '/') path += '/';
    cwd = path;
}

std::string read(std::string path) {
    std::string content;
    platform_file_read(cwd + path, &content);
    return content;
}

bool write(std::string path, std::string content) {
    return platform_file_replace(cwd + path, content);
}

int remove_stale_temporaries(const std::string& path) {
    return platform_file_remove_temporaries(cwd + path);
}
