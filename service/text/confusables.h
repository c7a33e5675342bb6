// The Unicode machinery under the service's name and word rules (text.cpp):
// ICU's normalisation (NFKC with case folding, NFC, NFD), the confusable
// skeleton of Unicode TR39 and the script-mixing levels of ICU's spoof checker.
// Strings are ICU's UTF-16 UnicodeString; input is well-formed UTF-8.
//
// Threads: any. The normalisers and spoof checkers are made once, on first
// use, and then only read (ICU's const functions are thread-safe).
#pragma once

#include <string>

#include <unicode/unistr.h>

namespace confusables {

icu::UnicodeString from_utf8(const std::string& text);
std::string to_utf8(const icu::UnicodeString& text);

// NFKC with case folding: full-width and mathematical letters become plain
// ones, case goes, default-ignorable characters (zero-width spaces, joiners,
// bidi controls) are removed.
icu::UnicodeString nfkc_folded(const icu::UnicodeString& text);
icu::UnicodeString nfkc(const icu::UnicodeString& text);  // the same with case kept
icu::UnicodeString nfc(const icu::UnicodeString& text);
icu::UnicodeString nfd(const icu::UnicodeString& text);

// Whether c is a combining mark that belongs to no script of its own (the
// accents, strokes and underlines of U+0300..036F and the like). Marks of a
// script (Devanagari vowel signs, ...) are letters' parts and never count.
bool generic_mark(UChar32 c);
// text without its generic marks: text is first put in NFD (every mark) or NFC
// (only marks that make no precomposed letter, such as strokes, stacks, underlines).
icu::UnicodeString without_marks(const icu::UnicodeString& text, bool every_mark);

// The TR39 skeleton, lower-cased (its targets are sometimes capitals: "0" -> "O").
icu::UnicodeString skeleton(const icu::UnicodeString& text);
// Whether text is not single-script in ICU's "highly restrictive" sense (one
// script, or Latin with Han and Kana or Hangul or Bopomofo).
bool beyond_highly_restrictive(const icu::UnicodeString& text);

}  // namespace confusables
