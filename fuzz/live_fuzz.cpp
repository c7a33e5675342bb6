// The live-list reader, fed answer after answer so the remembered list matters.
#include <cstdint>
#include <string>

#include "fuzz_common.h"
#include "online/live.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_quiet();
    std::string body(reinterpret_cast<const char*>(data), size);
    if (previousFernOnline.size() > 1000) previousFernOnline.clear();
    std::vector<std::string> before = previousFernOnline;
    fetchFern_inner(body);
    std::vector<std::string> queued = live_take();
    // Only handles not listed before are announced.
    for (const std::string& handle : queued)
        for (const std::string& old : before) FUZZ_CHECK(handle != old);
    fetchFern_inner(body);
    std::vector<std::string> again = live_take();
    // The same answer again announces nothing when the first was read whole, and
    // exactly the same handles when it stopped half-way (nothing was remembered).
    FUZZ_CHECK(again.empty() || again == queued);
    return 0;
}
