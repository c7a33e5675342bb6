#include "app/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <vector>

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
    // stdio rather than a stream: a read error (a directory, a vanished
    // disk) ends the content instead of throwing out of a stream iterator.
    FILE* file = std::fopen((cwd + path).c_str(), "rb");
    if (file == nullptr) return "";
    std::string content;
    char buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) content.append(buffer, n);
    std::fclose(file);
    return content;
}

// Write every byte of data to fd, resuming after short writes and signals.
static bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Flush the directory entry of a rename; failures are not fatal (some file
// systems refuse fsync on directories), the data itself is already on disk.
static void sync_directory(const std::string& file) {
    size_t slash = file.rfind('/');
    std::string dir = slash == std::string::npos ? "." : file.substr(0, slash + 1);
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

bool write(std::string path, std::string content) {
    const std::string target = cwd + path;
    std::string temp = target + ".tmp-XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return false;
    temp = name.data();

    // Owner only: the configuration holds the account's credential. The file
    // being replaced keeps its mode only where that is stricter (bits of 0600
    // the user took away stay away; group and others never get any).
    struct stat old;
    mode_t mode = ::stat(target.c_str(), &old) == 0 ? (old.st_mode & 0600) : 0600;
    (void)::fchmod(fd, mode);  // a mode it cannot set is no reason to lose the save
    bool ok = write_all(fd, content.data(), content.size()) && ::fsync(fd) == 0;
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0) ok = false;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    sync_directory(target);
    return true;
}

int remove_stale_temporaries(const std::string& path) {
    // The names write() gives its temporaries: path + ".tmp-" + six characters.
    const std::string target = cwd + path;
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    std::string prefix = (slash == std::string::npos ? target : target.substr(slash + 1)) + ".tmp-";
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr) return 0;
    int removed = 0;
    while (dirent* entry = ::readdir(listing)) {
        std::string name = entry->d_name;
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
        struct stat info;
        std::string full = dir + name;
        if (::lstat(full.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        if (::unlink(full.c_str()) == 0) removed++;
    }
    ::closedir(listing);
    return removed;
}
