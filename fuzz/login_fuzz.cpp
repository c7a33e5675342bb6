// The login answer reader.
#include <cstdint>
#include <string>

#include "fuzz_common.h"
#include "online/json_text.h"
#include "online/login.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_quiet();
    std::string body(reinterpret_cast<const char*>(data), size);
    LoginAnswer answer = login_read(body);
    FUZZ_CHECK(body.empty() == (answer.kind == LoginAnswer::NOTHING));
    if (answer.kind != LoginAnswer::UNLINKED) FUZZ_CHECK(answer.url.empty() && answer.code.empty());
    // Whatever the body, the bubble only ever gets a short plain code.
    FUZZ_CHECK(answer.code.empty() || login_code_ok(answer.code));
    if (answer.kind == LoginAnswer::LINKED) (void)str(answer.user);
    return 0;
}
