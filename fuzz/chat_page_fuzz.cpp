// The chat poll over fuzzed pages and user lookups: every blocking GET of the
// poll (chat pages and name lookups alike) takes its body from the input.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "fuzz_common.h"
#include "online/chat.h"
#include "online/json_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_quiet();
    FuzzedDataProvider in(data, size);
    json last_chat = json::parse(in.ConsumeRandomLengthString(64), nullptr, false);
    if (last_chat.is_discarded()) last_chat = "";
    int gets = 0;
    ChatGet get = [&](const std::string&) {
        gets++;
        return in.ConsumeRandomLengthString(2048);
    };
    std::map<std::string, std::string> cache;
    auto to_chat = [&](const json& message) {
        return chatter_name(message, cache, get) + ": " + str(json_member(message, "text"));
    };
    ChatPoll poll = chat_poll_run(last_chat, get, to_chat);
    // At most 8 boxes, none without news, and the cursor only moves with news.
    FUZZ_CHECK(poll.texts.size() <= 8);
    if (!poll.news) FUZZ_CHECK(poll.texts.empty() && !poll.advance);
    if (poll.advance) FUZZ_CHECK(!poll.texts.empty() && poll.newest != last_chat);
    FUZZ_CHECK(gets <= 4 + 8);
    return 0;
}
