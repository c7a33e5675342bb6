#include "app/files.h"

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

    // Keep the permissions of the file being replaced; a new file gets the
    // usual rw-r--r-- instead of mkstemp's owner-only mode.
    struct stat old;
    mode_t mode = ::stat(target.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
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
