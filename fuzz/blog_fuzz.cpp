// The blog feed reader.
#include <cstdint>
#include <string>

#include "fuzz_common.h"
#include "online/feeds.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_quiet();
    std::string body(reinterpret_cast<const char*>(data), size);
    fetchBlog_inner(body);
    if (body.empty()) return 0;
    size_t tags = 0;
    for (size_t pos = body.find("<guid>"); pos != std::string::npos; pos = body.find("<guid>", pos + 1)) tags++;
    FUZZ_CHECK(blogs.size() == std::min<size_t>(tags, 10000));
    for (const std::string& guid : blogs) FUZZ_CHECK(guid.size() <= 4096 && guid.size() <= body.size());
    return 0;
}
