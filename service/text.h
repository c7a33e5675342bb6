// Text rules of the community service that look past the bytes: what a reader
// can see of a name or message, names compared without regard to case, and
// blocked words found in chat. Input is well-formed UTF-8 (checked before).
#pragma once

#include <string>
#include <vector>

// Whether c shows nothing on its own: white space, format and control
// characters (bidi overrides, zero-width spaces and joiners, soft hyphen, tag
// characters, variation selectors) and the blank "filler" letters.
bool text_invisible(char32_t c);
// Whether text has at least one character a reader can see.
bool text_visible(const std::string& text);
// The text's characters without the invisible ones, lower-cased (simple Unicode
// case mapping), as UTF-8: two names with the same key look alike to a reader.
std::string text_key(const std::string& text);

// Blocked words or phrases. Both sides are compared lower-cased, without format
// characters and with each run of spaces as one space. A word matches where it
// appears in the message and, at an edge that is an ASCII letter or digit, the
// message's neighbouring character is not one (so "ass" does not block "class").
class WordList {
public:
    void set(const std::vector<std::string>& words);
    bool matches(const std::string& text) const;
    bool empty() const { return words_.empty(); }

private:
    std::vector<std::string> words_;
};
