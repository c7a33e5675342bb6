// The sender name of one message, with the user lookup's answer from the input.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "fuzz_common.h"
#include "online/chat.h"
#include "online/json_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_quiet();
    FuzzedDataProvider in(data, size);
    json message = json::parse(in.ConsumeRandomLengthString(512), nullptr, false);
    std::map<std::string, std::string> cache;
    int gets = 0;
    ChatGet get = [&](const std::string& url) {
        gets++;
        // The id is encoded: nothing from the feed may add query keys.
        FUZZ_CHECK(url.find('#') == std::string::npos && url.find(' ') == std::string::npos);
        return in.ConsumeRemainingBytesAsString();
    };
    try {
        std::string first = chatter_name(message, cache, get);
        std::string second = chatter_name(message, cache, get);
        // A name once found is cached: the second call asks nobody.
        if (!cache.empty()) FUZZ_CHECK(first == second && gets == 1);
    } catch (const std::exception&) {
        // A message of the wrong shape interrupts the poll; that is the contract.
    }
    return 0;
}
