// The program directory and whole-file routines. Every file the program opens
// is found through cwd, the running executable's directory, never through the
// working directory the process was started from.
//
// Threads: main thread only. cwd is written once by getCWD at start-up and only
// read afterwards.
#pragma once

#include <string>

extern std::string cwd;  // executable's directory, "/"-separated, with a trailing "/"; "" before getCWD

void getCWD();                                      // Set cwd from the running executable's path
std::string read(std::string path);                 // Whole content of cwd + path, "" when it cannot be opened
// Replace cwd + path with content atomically: a temporary file beside it is
// written, flushed to disk and renamed over the old one, so a crash or a full
// disk leaves either the old or the new file, never a truncated one.
// Returns false (old file untouched, no temporary left) when it could not.
// The file is readable and writable by its owner only (mode 0600, or the
// replaced file's mode where that is stricter).
bool write(std::string path, std::string content);
// Remove the temporaries an interrupted write(path, ...) left beside cwd + path;
// returns how many were removed.
int remove_stale_temporaries(const std::string& path);
