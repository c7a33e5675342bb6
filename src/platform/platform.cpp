// What both implementations of platform.h share.
#include "platform/platform.h"

namespace {

bool starts_with_nocase(const std::string& s, const char* prefix) {
    size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= s.size()) return false;
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

}  // namespace

bool platform_url_is_web(const std::string& url) {
    if (!starts_with_nocase(url, "http://") && !starts_with_nocase(url, "https://")) return false;
    // Control characters and spaces have no place in an address we hand to the desktop.
    for (unsigned char c : url)
        if (c <= ' ' || c == 0x7f) return false;
    return true;
}
