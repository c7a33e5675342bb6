// Names that pass for the streamer's handle "quelmara" on a desktop, in every
// way a platform lets a sender spell them, and the check that a name served to
// the companions is none of them. The bridges' and sign-in's scenarios send
// each of these and assert what comes out.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "text/text.h"

namespace lookalike_test {

// "quelmara" with every letter moved to the block whose 'a' is at `a`.
inline std::string streamer_shifted(char32_t a) {
    std::string out;
    for (char c : std::string("quelmara")) {
        char32_t cp = a + char32_t(c - 'a');
        // UTF-8 of cp (at most four bytes).
        if (cp < 0x800) out += {char(0xC0 | (cp >> 6)), char(0x80 | (cp & 0x3F))};
        else if (cp < 0x10000) out += {char(0xE0 | (cp >> 12)), char(0x80 | ((cp >> 6) & 0x3F)), char(0x80 | (cp & 0x3F))};
        else out += {char(0xF0 | (cp >> 18)), char(0x80 | ((cp >> 12) & 0x3F)), char(0x80 | ((cp >> 6) & 0x3F)), char(0x80 | (cp & 0x3F))};
    }
    return out;
}

// Each spelling with what makes it pass for the handle.
inline std::vector<std::pair<std::string, const char*>> streamer_lookalikes() {
    return {
        {"quelmara", "the handle itself"},
        {"Quelmara", "capital"},
        {"QUELMARA", "all capitals"},
        {"  quelmara ", "spaces around"},
        {streamer_shifted(0xFF41), "full-width"},
        {streamer_shifted(0x1D41A), "mathematical bold"},
        {streamer_shifted(0x1D5EE), "mathematical sans-serif bold"},
        {streamer_shifted(0x24D0), "circled letters"},
        {"qu\u0435lmara", "Cyrillic e"},
        {"quelm\u0430r\u0430", "Cyrillic a"},
        {"quelm\u03b1ra", "Greek alpha"},
        {"q\u057delmara", "Armenian se for u"},
        {"quel\u200bmara", "zero-width space inside"},
        {"quel\u200dmara", "zero-width joiner inside"},
        {"que\u200clmara", "zero-width non-joiner inside"},
        {"quel\u00admara", "soft hyphen inside"},
        {"q\u2060uelmara", "word joiner inside"},
        {"quel\u180emara", "Mongolian vowel separator inside"},
        {"q\ufe0fuelmara", "variation selector after a letter"},
        {"quelmara\U000E0071", "tag character"},
        {"\u202earamleuq", "right-to-left override, reversed"},
        {"\u202earamleuq\u202c", "right-to-left override closed, reversed"},
        {"\u2066quelmara", "unclosed left-to-right isolate"},
        {"\u2067aramleuq", "unclosed right-to-left isolate, reversed"},
        {"quelmara\u200f", "right-to-left mark"},
        {"quelmara.", "a trailing dot"},
        {"\u00abquelmara!\u00bb", "punctuation around"},
        {"qu\u00e9lmara", "an accented letter"},
        {"que\u0301lmara", "a combining accent"},
        {"quel\u0336\u0332mara", "stroke and underline"},
        {"quelrnara", "rn for m"},
        {"que1mara", "1 for l"},
        {"queImara", "capital I for l"},
        {"qu elmara", "a space inside"},
        {"quel\u3164mara", "Hangul filler inside"},
        {"quel\u3000mara", "ideographic space inside"},
    };
}

// Whether a served name passes for the handle or hides anything: its key is not
// the streamer's, and it holds no invisible character but the plain space.
inline void expect_not_streamer(const std::string& shown, const std::string& context) {
    NameKeys streamer = name_keys("quelmara"), keys = name_keys(shown);
    EXPECT_NE(keys.key, streamer.key) << context << " served as " << shown;
    EXPECT_NE(keys.base, streamer.base) << context << " served as " << shown;
    for (size_t i = 0; i < shown.size();) {
        unsigned char b = static_cast<unsigned char>(shown[i]);
        size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        char32_t cp = len == 1 ? b : b & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
        for (size_t k = 1; k < len && i + k < shown.size(); ++k) cp = (cp << 6) | (shown[i + k] & 0x3F);
        i += len;
        EXPECT_TRUE(cp == U' ' || !text_invisible(cp)) << context << " served with U+" << std::hex << unsigned(cp);
    }
}

}  // namespace lookalike_test
