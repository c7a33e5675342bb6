// The colour string parser, and its round trip through ColorToHex.
#include <cstdint>
#include <string>

#include "draw/draw.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    Color c = ColorFromHex(text);
    std::string hex = ColorToHex(c);
    FUZZ_CHECK(hex.size() == 9 && hex[0] == '#');
    Color back = ColorFromHex(hex);
    FUZZ_CHECK(back.r == c.r && back.g == c.g && back.b == c.b && back.a == c.a);
    return 0;
}
