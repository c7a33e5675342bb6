// One companion per program directory, and the command line.
//
// The companion keeps config.json beside itself, so two of them started from
// one folder would each save over the other's. The first takes the lock of
// INSTANCE_LOCK_FILE beside the executable for its whole life; a later start
// finds it taken and leaves before it opens a window or touches config.json.
// `vimo --quit` asks the companion that holds the lock to end as Ctrl-C does.
//
// Threads: main thread, at start-up, after getCWD (the lock file is found
// through cwd).
#pragma once

extern const char* INSTANCE_LOCK_FILE;  // "vimo.lock", beside the executable; holds the holder's id as text

// Exit statuses of `vimo --quit`.
inline constexpr int QUIT_ENDED = 0;          // the running companion has ended (config.json saved)
inline constexpr int QUIT_NONE_RUNNING = 1;   // no companion runs from this folder; nothing was sent
inline constexpr int QUIT_NOT_ENDED = 3;      // it could not be asked, or still ran QUIT_WAIT_SECONDS later
inline constexpr double QUIT_WAIT_SECONDS = 5;  // how long --quit waits for the lock to be released

bool instance_quit_requested(int argc, char** argv);  // "--quit" among the arguments (the others are ignored)
// Take the lock for this process. False, after one line saying a companion
// already runs from this folder, when another process holds it. A lock that
// cannot be taken at all (a read-only folder) is reported and counts as taken.
bool instance_claim();
// `vimo --quit`: interrupt the companion that holds the lock and wait until it
// has ended; prints one line and returns one of the QUIT_ statuses.
int instance_quit();
