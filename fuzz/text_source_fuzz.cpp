// The text source parser and the line breaking behind it, with a font that
// measures 8 pixels per byte (fuzz_stubs.cpp). Wrapping may only insert line
// breaks: the text itself must come back whole.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "draw/draw.h"
#include "fuzz_common.h"

static std::string without_breaks(std::string s) {
    std::string out;
    for (char c : s)
        if (c != '\n') out += c;
    return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Drawable d{};
    d.type = DRAWABLE_TEXT;
    d.size = {float(in.ConsumeIntegralInRange<int>(-16, 400)), 0};
    d.source = in.ConsumeRemainingBytesAsString();
    if (d.source.size() > 4096) return 0;  // wrapping is quadratic by design; long lines are not the question
    // Whatever path the source names is "loaded" already: no files are read.
    size_t colon = d.source.find(':');
    if (colon != std::string::npos) FONTS[d.source.substr(0, colon)] = Font{};
    TEXT_CACHE.clear();
    CompiledText compiled = compileText(nullptr, d);
    size_t second = colon == std::string::npos ? std::string::npos : d.source.find(':', colon + 1);
    if (second == std::string::npos) {
        FUZZ_CHECK(compiled.text.empty());
    } else if (!compiled.text.empty()) {
        FUZZ_CHECK(without_breaks(compiled.text) == without_breaks(d.source.substr(second + 1)));
    }
    CompiledText again = compileText(nullptr, d);
    FUZZ_CHECK(again.text == compiled.text);
    FONTS.clear();
    return 0;
}
