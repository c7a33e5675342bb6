// Bounds on a chat box's text (text_bounds.cpp). A box shows at most this many
// characters (code points) of a message's text, and of its sender's name; its
// whole text ("name: text") at most their sum and ": ". Measuring, wrapping and
// drawing a box, and bursting it into letters, cost at most what this many
// characters cost, whatever a message holds.
//
// Threads: pure functions of their arguments, any thread.
#pragma once

#include <cstddef>
#include <string>

inline constexpr size_t CHAT_TEXT_MAX_CHARS = 500;
inline constexpr size_t CHAT_NAME_MAX_CHARS = 64;
inline constexpr size_t CHAT_BOX_MAX_CHARS = CHAT_NAME_MAX_CHARS + 2 + CHAT_TEXT_MAX_CHARS;
// Combining marks kept on one character; those after them are dropped (a
// character with thousands of marks measures and draws them all).
inline constexpr int CHAT_MARKS_MAX = 4;
// Whether code point cp is a combining mark (general category M, Unicode 14).
bool combining_mark(int cp);
// text with at most CHAT_MARKS_MAX combining marks after each character
// (marks at the very start count as on one character) and then at most
// max_chars characters: when more are left, the first max_chars - 1 and
// "…" (U+2026). Counts code points; never cuts inside a UTF-8 sequence (a stray
// byte counts as one character). Reads only as far as the bound; applied to
// its own result it changes nothing.
std::string text_bounded(const std::string& text, size_t max_chars);
