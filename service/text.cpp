// Visibility, case-free keys and blocked words of the community service.
#include "text.h"

#include <locale.h>
#include <wctype.h>

namespace {

// Decode one code point at text[i] (the text is well-formed UTF-8) and advance i.
char32_t next_cp(const std::string& text, size_t& i) {
    auto b = [&](size_t k) { return char32_t(static_cast<unsigned char>(text[k])); };
    char32_t c = b(i);
    size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (len > 1) c &= len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07;
    for (size_t k = 1; k < len && i + k < text.size(); ++k) c = (c << 6) | (b(i + k) & 0x3F);
    i += len;
    return c;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// C.UTF-8 gives towlower the whole of Unicode's simple case mapping; without
// it only ASCII is folded.
locale_t utf8_locale() {
    static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    return loc;
}

char32_t fold(char32_t c) {
    if (c < 0x80) return c >= 'A' && c <= 'Z' ? c + 32 : c;
    locale_t loc = utf8_locale();
    return loc ? char32_t(towlower_l(wint_t(c), loc)) : c;
}

bool ascii_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

}  // namespace

bool text_invisible(char32_t c) {
    struct Range {
        char32_t lo, hi;
    };
    // Zs white space, Cc controls, Cf format characters, and the characters
    // that render blank though they are letters or marks.
    static const Range RANGES[] = {
        {0x0000, 0x0020}, {0x007F, 0x00A0}, {0x00AD, 0x00AD}, {0x034F, 0x034F}, {0x061C, 0x061C},
        {0x0600, 0x0605}, {0x06DD, 0x06DD}, {0x070F, 0x070F}, {0x115F, 0x1160}, {0x1680, 0x1680},
        {0x17B4, 0x17B5}, {0x180B, 0x180F}, {0x2000, 0x200F}, {0x2028, 0x202F}, {0x205F, 0x206F},
        {0x2800, 0x2800}, {0x3000, 0x3000}, {0x3164, 0x3164}, {0xFE00, 0xFE0F}, {0xFEFF, 0xFEFF},
        {0xFFA0, 0xFFA0}, {0xFFF0, 0xFFFB}, {0x110BD, 0x110BD}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
        {0xE0000, 0xE0FFF},
    };
    for (const Range& r : RANGES)
        if (c >= r.lo && c <= r.hi) return true;
    return false;
}

namespace {

// The invisible characters that separate words rather than join them.
bool space_like(char32_t c) {
    return c <= 0x20 || (c >= 0x7F && c <= 0xA0) || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
           c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x2800 || c == 0x3000 || c == 0x3164 || c == 0xFFA0 ||
           c == 0x115F || c == 0x1160;
}

// Lower-cased, format characters removed, each run of space-like characters one space.
std::string match_key(const std::string& text) {
    std::string out = " ";
    out.reserve(text.size() + 2);
    for (size_t i = 0; i < text.size();) {
        char32_t c = next_cp(text, i);
        if (space_like(c)) {
            if (out.back() != ' ') out += ' ';
        } else if (!text_invisible(c)) {
            append_utf8(out, fold(c));
        }
    }
    if (out.back() != ' ') out += ' ';
    return out;
}

}  // namespace

bool text_visible(const std::string& text) {
    for (size_t i = 0; i < text.size();)
        if (!text_invisible(next_cp(text, i))) return true;
    return false;
}

std::string text_key(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t c = next_cp(text, i);
        if (!text_invisible(c)) append_utf8(out, fold(c));
    }
    return out;
}

void WordList::set(const std::vector<std::string>& words) {
    words_.clear();
    for (const auto& w : words) {
        std::string k = match_key(w);
        if (k.size() > 2) words_.push_back(k.substr(1, k.size() - 2));  // without the framing spaces
    }
}

bool WordList::matches(const std::string& text) const {
    if (words_.empty()) return false;
    std::string key = match_key(text);
    for (const std::string& w : words_) {
        for (size_t at = key.find(w); at != std::string::npos; at = key.find(w, at + 1)) {
            size_t end = at + w.size();
            bool left_ok = !ascii_alnum(w.front()) || at == 0 || !ascii_alnum(key[at - 1]);
            bool right_ok = !ascii_alnum(w.back()) || end == key.size() || !ascii_alnum(key[end]);
            if (left_ok && right_ok) return true;
        }
    }
    return false;
}
