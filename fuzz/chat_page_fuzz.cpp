// The chat poll over fuzzed pages and user lookups: every blocking GET of the
// poll (chat pages and name lookups alike) takes its body from the input.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "fuzz_common.h"
#include "online/chat.h"
#include "online/chat_look.h"
#include "online/json_text.h"

// A message's look keeps only what a box can show: spans in order, apart,
// inside the text, pictures within the bound; every piece of its layout lies inside the box.
static void chat_look_check(const json& message, const std::string& name, const std::string& text) {
    if (!chat_look_present(message)) return;
    ChatLook look = chat_look_read(message, name, text);
    FUZZ_CHECK(look.badges.size() + look.emotes.size() <= CHAT_LOOK_MAX_IMAGES);
    size_t chars = utf8_split(text).size();
    for (size_t i = 0; i < look.emotes.size(); i++) {
        FUZZ_CHECK(look.emotes[i].start < look.emotes[i].end && look.emotes[i].end <= chars);
        if (i > 0) FUZZ_CHECK(look.emotes[i - 1].end <= look.emotes[i].start);
    }
    ChatLayout layout = chat_look_layout(look, nullptr);
    for (const ChatPiece& piece : layout.pieces)
        FUZZ_CHECK(piece.box.x >= 0 && piece.box.y >= 0 && piece.box.x + piece.box.width <= layout.size.x &&
                   piece.box.y + piece.box.height <= layout.size.y);
}

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
        std::string name = chatter_name(message, cache, get);
        std::string text = str(json_member(message, "text"));
        chat_look_check(message, name, text);
        return name + ": " + text;
    };
    ChatPoll poll = chat_poll_run(last_chat, get, to_chat);
    // At most 8 boxes, none without news, and the cursor only moves with news.
    FUZZ_CHECK(poll.texts.size() <= 8);
    if (!poll.news) FUZZ_CHECK(poll.texts.empty() && !poll.advance);
    if (poll.advance) FUZZ_CHECK(!poll.texts.empty() && poll.newest != last_chat);
    FUZZ_CHECK(gets <= 4 + 8);
    return 0;
}
