// Running the real companion binary from a folder of its own and reading what
// it prints, for the desktop tests of the application shell. Main thread only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// A child process whose standard output the test reads.
struct Child {
    pid_t pid = -1;
    int out = -1;            // read end of the child's standard output
    std::string output;      // everything read so far

    // Read until text has appeared (or, with text empty, until end of output);
    // false when the deadline passed first.
    bool read_until(const std::string& text, std::chrono::seconds limit = std::chrono::seconds(20));
    // Wait up to ms for output and take what came; false once the output ended.
    bool pump(int ms);
    // Exit status after its output ended; -1 when it was killed or hung.
    int finish();
};

// Fork a child with its standard output on a pipe and run body there (body
// must not return).
Child start(const std::function<void()>& body);
int count(const std::string& text, const std::string& what);  // Occurrences of what in text

// The real program in a directory of its own (so its "config.json" lands
// there), started from another working directory.
struct Installed {
    std::filesystem::path dir;  // the temporary program folder; removed with this
    bool ok = false;            // false when the binary is not built
    Installed();
    ~Installed();
    void put_config(const std::string& text);
    std::string config();
    // Run it with args; each env entry sets a variable (an empty value unsets it).
    Child run(const std::vector<std::string>& args = {},
              const std::vector<std::pair<std::string, std::string>>& env = {});
};

// A loopback port that takes connections and never answers a byte: every
// request to it hangs until the client gives up.
struct SilentService {
    int fd = -1;
    int port = 0;  // 0 when it could not listen
    SilentService();
    ~SilentService();
    std::string origin() const;
};

// An indented configuration with an extra key: only a save rewrites it compact.
std::string hand_written_config(const std::string& origin);
// text is that configuration after a save: compact, id and extra key kept.
void expect_saved(const std::string& text);
