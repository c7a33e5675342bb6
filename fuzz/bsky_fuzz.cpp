// The Bluesky feed reader.
#include <cstdint>
#include <string>

#include "fuzz_common.h"
#include "online/feeds.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_quiet();
    std::string body(reinterpret_cast<const char*>(data), size);
    std::string before = previousBskyDate;
    fetchBsky_inner(body);
    std::string after = previousBskyDate;
    fetchBsky_inner(body);
    FUZZ_CHECK(previousBskyDate == after);  // the same answer again changes nothing
    if (body.empty()) FUZZ_CHECK(after == before);
    return 0;
}
