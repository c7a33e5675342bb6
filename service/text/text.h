// Text rules of the community service that look past the bytes: what a reader
// can see of a name or message, how long it is, display names compared the way
// a reader would confuse them, and blocked words found in chat. Input is
// well-formed UTF-8 (checked before). ICU does the Unicode work (confusables.h).
//
// Threads: any; a WordList is read by many threads once set.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

inline constexpr size_t NAME_MAX_CHARS = 32;  // display names, in code points

// Whether c shows nothing on its own: white space, format and control
// characters (bidi overrides, zero-width spaces and joiners, soft hyphen, tag
// characters, variation selectors) and the blank "filler" letters.
bool text_invisible(char32_t c);
// Whether text has at least one character a reader can see.
bool text_visible(const std::string& text);
// The text's characters without the invisible ones, lower-cased (simple Unicode
// case mapping), as UTF-8: two names with the same key look alike to a reader.
std::string text_key(const std::string& text);
size_t text_length(const std::string& text);                      // in code points
std::string text_cut(const std::string& text, size_t chars);       // the first chars code points

// Display names are compared by keys: NFKC with case folded (full-width and
// mathematical letters are plain ones), invisible characters and punctuation at
// either end left out, marks that make no letter of their own (strokes,
// underlines, stacks) left out, then the TR39 skeleton (Cyrillic "а" is Latin
// "a", "rn" is "m") lower-cased. Accented letters stay letters of their own in
// `key` ("Élodie" is not "Elodie"); `base` leaves every generic mark out.
struct NameKeys {
    std::string key, base;
    bool marked() const { return key != base; }
};
NameKeys name_keys(const std::string& name);
// Whether wanted passes for taken: the same key, or wanted carries marks and
// without them is taken's base (an accent added to somebody's name copies it; the
// plain spelling of a name with accents stays free, as "Elodie" beside "Élodie").
bool names_alike(const NameKeys& taken, const NameKeys& wanted);
// Why a name may not reach a desktop: NameRefusal::None when it may.
enum class NameRefusal {
    None,
    Bidi,          // holds a bidi control (U+202A..202E, U+2066..2069, U+200E, U+200F, U+061C)
    Invisible,     // nothing visible once the invisible characters are left out
    TooLong,       // over NAME_MAX_CHARS characters (and not to be cut)
    MixedScripts,  // mixes scripts beyond ICU's "highly restrictive" level
    Streamer,      // passes for the streamer's reserved handle
};
// A name as every desktop shows it, by the one rule every path applies (typed,
// bridged, signed in).
struct ShownName {
    std::string name;                         // what desktops show; "" when refused
    NameRefusal refused = NameRefusal::None;  // why not
};
// Who a name may not pass for, and whether its sender may: the streamer's own
// platform ids (--streamer-ids) keep the streamer's name.
struct NameGuard {
    NameKeys streamer;            // name_keys of the reserved handle
    bool streamers_own = false;   // the sender is the streamer
    bool cut = false;             // a platform's longer name is cut to NAME_MAX_CHARS, a typed one refused
};
// The one rule for every name that reaches a desktop. Invisible characters are
// left out (a run of spaces is one space, none at either end; emoji joiners and
// variation selectors stay inside emoji), bidi controls refuse the name, then
// the length, scripts beyond "highly restrictive" (Latin with Cyrillic, Greek or
// Armenian) and the streamer's handle by name_keys are judged on the name as shown.
ShownName name_shown(const std::string& name, const NameGuard& guard);
// The sentence a page gives for refused (never called with None).
std::string name_refusal_text(NameRefusal refused);

// Blocked words or phrases, matched two ways; either blocks.
// - Folded: both sides NFKC with case folded (full-width and mathematical
//   letters are plain ones), generic combining marks left out ("bád" is
//   "bad"), format characters left out and each run of spaces one space. A word
//   matches where it appears in the message and, at an edge that is an ASCII
//   letter or digit, the message's neighbouring character is not one (so "ass"
//   does not block "class").
// - Lookalike: the message's words (runs of letters, digits and marks) that mix
//   scripts (Latin with Cyrillic, ...: ICU's "highly restrictive" level) are
//   compared whole by TR39 skeleton with the listed word's words ("bаd" with a
//   Cyrillic "а" is "bad"). A word of one script is that script's own word and
//   is never compared by skeleton, and a part of a word never matches: a
//   Cyrillic word whose letters look like a listed Latin word's is not blocked.
class WordList {
public:
    void set(const std::vector<std::string>& words);
    bool matches(const std::string& text) const;
    bool empty() const { return words_.empty(); }

private:
    struct Word {
        std::string key;                     // folded, without the framing spaces
        std::vector<std::string> tokens;     // its words, folded
        std::vector<std::string> skeletons;  // and their skeletons
    };
    std::vector<Word> words_;
};
