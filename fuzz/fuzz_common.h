// Shared by the fuzz targets.
#pragma once

#include <cstdio>
#include <cstdlib>

void fuzz_quiet();  // Send standard output to /dev/null (the readers print each body)

// A broken invariant: report and abort, which libFuzzer records as a crash.
#define FUZZ_CHECK(cond)                                                         \
    do {                                                                         \
        if (!(cond)) {                                                           \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                        \
        }                                                                        \
    } while (0)
