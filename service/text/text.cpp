// Visibility, case-free keys and blocked words of the community service.
#include "text/text.h"

#include <locale.h>
#include <wctype.h>

#include <unicode/uchar.h>

#include "text/confusables.h"

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

bool bidi_control(char32_t c) {
    return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F || c == 0x061C;
}

// NFKC case-folded, without generic marks, format characters dropped, each run of
// space-like characters one space, framed by a space on each side.
icu::UnicodeString match_key(const std::string& text) {
    icu::UnicodeString folded = confusables::nfkc_folded(confusables::from_utf8(text)), out(u' ');
    for (int32_t i = 0; i < folded.length(); i = folded.moveIndex32(i, 1)) {
        UChar32 c = folded.char32At(i);
        if (space_like(char32_t(c))) {
            if (out[out.length() - 1] != u' ') out.append(u' ');
        } else if (!text_invisible(char32_t(c))) {
            out.append(c);
        }
    }
    out = confusables::without_marks(out, true);
    if (out[out.length() - 1] != u' ') out.append(u' ');
    return out;
}

// A word of a text for the skeleton comparison: a run of letters, digits and marks.
struct Token {
    std::string text;      // as in the match key
    bool mixed = false;    // mixes scripts beyond "highly restrictive" (Latin with Cyrillic, ...)
    std::string skeleton;  // only when mixed (the list's own tokens: always)
};

std::vector<Token> tokens(const icu::UnicodeString& key, bool skeletons) {
    std::vector<Token> out;
    int32_t start = -1;
    for (int32_t i = 0; i <= key.length(); i = i < key.length() ? key.moveIndex32(i, 1) : i + 1) {
        UChar32 c = i < key.length() ? key.char32At(i) : ' ';
        bool part = u_isalnum(c) || (U_GET_GC_MASK(c) & U_GC_M_MASK) != 0;
        if (part && start < 0) start = i;
        if (part || start < 0) continue;
        icu::UnicodeString word(key, start, i - start);
        Token t{confusables::to_utf8(word)};
        bool ascii = true;
        for (char b : t.text) ascii = ascii && static_cast<unsigned char>(b) < 0x80;
        t.mixed = !ascii && confusables::beyond_highly_restrictive(word);
        if (skeletons || t.mixed) t.skeleton = confusables::to_utf8(confusables::skeleton(word));
        out.push_back(std::move(t));
        start = -1;
    }
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

size_t text_length(const std::string& text) {
    size_t n = 0;
    for (unsigned char b : text) n += (b & 0xC0) != 0x80;
    return n;
}

std::string text_cut(const std::string& text, size_t chars) {
    size_t i = 0;
    for (size_t n = 0; i < text.size() && n < chars; ++n) next_cp(text, i);
    return text.substr(0, i);
}

// ---- Display names ----------------------------------------------------------------------

namespace {

// name_keys of a name already in NFKC (case folded, or not).
NameKeys keys_of(const icu::UnicodeString& folded) {
    icu::UnicodeString letters;
    for (int32_t i = 0; i < folded.length(); i = folded.moveIndex32(i, 1))
        if (!text_invisible(char32_t(folded.char32At(i)))) letters.append(folded.char32At(i));
    // Punctuation at either end does not make another name ("quelmara." is "quelmara").
    int32_t b = 0, e = letters.length();
    while (b < e && u_ispunct(letters.char32At(b))) b = letters.moveIndex32(b, 1);
    while (e > b && u_ispunct(letters.char32At(letters.moveIndex32(e, -1)))) e = letters.moveIndex32(e, -1);
    if (b < e) letters = icu::UnicodeString(letters, b, e - b);
    icu::UnicodeString key = confusables::nfc(confusables::skeleton(confusables::without_marks(letters, false)));
    return NameKeys{confusables::to_utf8(key), confusables::to_utf8(confusables::without_marks(key, true))};
}

}  // namespace

NameKeys name_keys(const std::string& name) { return keys_of(confusables::nfkc_folded(confusables::from_utf8(name))); }

bool names_alike(const NameKeys& taken, const NameKeys& wanted) {
    return wanted.key == taken.key || (wanted.marked() && wanted.base == taken.base);
}

namespace {

bool emoji_part(UChar32 c) {
    return u_hasBinaryProperty(c, UCHAR_EXTENDED_PICTOGRAPHIC) || u_hasBinaryProperty(c, UCHAR_EMOJI_MODIFIER);
}

// name's code points as shown: invisible ones left out, each run of space-like
// ones one space between visible characters. A zero-width joiner stays only
// between two emoji and a variation selector only after one, where they make
// one picture of several ("❤️‍🔥"); anywhere else they hide inside letters.
std::vector<char32_t> shown_code_points(const std::string& name) {
    std::vector<char32_t> in, out;
    for (size_t i = 0; i < name.size();) in.push_back(next_cp(name, i));
    bool space = false;
    for (size_t i = 0; i < in.size(); ++i) {
        char32_t c = in[i];
        bool keep = !text_invisible(c);
        if (c == 0x200D)
            keep = !out.empty() && (emoji_part(UChar32(out.back())) || out.back() == 0xFE0F) && i + 1 < in.size() &&
                   emoji_part(UChar32(in[i + 1]));
        else if (c == 0xFE0E || c == 0xFE0F)
            keep = !out.empty() && u_hasBinaryProperty(UChar32(out.back()), UCHAR_EMOJI);
        if (!keep) {
            space = space || space_like(c);
            continue;
        }
        if (space && !out.empty()) out.push_back(U' ');
        space = false;
        out.push_back(c);
    }
    return out;
}

}  // namespace

// Invisible characters are left out rather than refused: they show nothing, so
// the name without them is the one the sender's own community reads on the
// platform (a Persian name's zero-width non-joiner, a soft hyphen), and a name
// a platform sent cannot be typed again. Bidi controls are refused instead:
// they change the order letters show in, so no spelling without them is the one
// the platform shows ("U+202E aramleuq" reads "quelmara" there), and a person
// typing a name is told rather than silently given another one.
ShownName name_shown(const std::string& name, const NameGuard& guard) {
    ShownName out;
    for (size_t i = 0; i < name.size();)
        if (bidi_control(next_cp(name, i))) return out.refused = NameRefusal::Bidi, out;
    std::vector<char32_t> cps = shown_code_points(name);
    if (cps.size() > NAME_MAX_CHARS) {
        if (!guard.cut) return out.refused = NameRefusal::TooLong, out;
        cps.resize(NAME_MAX_CHARS);
        // A cut may leave a space or a joiner waiting for what came after.
        while (!cps.empty() && (cps.back() == U' ' || cps.back() == 0x200D)) cps.pop_back();
    }
    std::string shown;
    for (char32_t c : cps) append_utf8(shown, c);
    if (!text_visible(shown)) return out.refused = NameRefusal::Invisible, out;
    // The checks judge the name as desktops will show it, cut and cleaned.
    if (confusables::beyond_highly_restrictive(confusables::nfkc_folded(confusables::from_utf8(shown))))
        return out.refused = NameRefusal::MixedScripts, out;
    // The streamer's handle in every spelling: with or without marks, in any case, by
    // skeleton; and by the skeleton of the letters as written too, since folding the
    // case first hides a capital I passing for an l ("queImara").
    icu::UnicodeString unicode = confusables::from_utf8(shown);
    for (const NameKeys& keys : {keys_of(confusables::nfkc_folded(unicode)), keys_of(confusables::nfkc(unicode))})
        if (!guard.streamers_own && (keys.key == guard.streamer.key || keys.base == guard.streamer.base))
            return out.refused = NameRefusal::Streamer, out;
    out.name = std::move(shown);
    return out;
}

std::string name_refusal_text(NameRefusal refused) {
    switch (refused) {
        case NameRefusal::Bidi:
            return "A display name may not hold bidi controls (U+202A to U+202E, U+2066 to U+2069, U+200E, U+200F, "
                   "U+061C): they change the order its letters show in.";
        case NameRefusal::Invisible: return "A display name is 1 to 32 characters of visible text.";
        case NameRefusal::TooLong: return "A display name is at most 32 characters.";
        case NameRefusal::MixedScripts:
            return "A display name may not mix scripts such as Latin with Cyrillic, Greek or Armenian: their letters "
                   "pass for each other's.";
        case NameRefusal::Streamer: return "That name is the streamer's own. Choose another.";
        case NameRefusal::None: break;
    }
    return "";
}

// ---- Blocked words ----------------------------------------------------------------------

void WordList::set(const std::vector<std::string>& words) {
    words_.clear();
    for (const auto& w : words) {
        icu::UnicodeString k = match_key(w);
        if (k.length() <= 2) continue;
        std::string key = confusables::to_utf8(k);
        Word word{key.substr(1, key.size() - 2), {}, {}};  // without the framing spaces
        for (Token& t : tokens(k, true)) {
            word.tokens.push_back(std::move(t.text));
            word.skeletons.push_back(std::move(t.skeleton));
        }
        words_.push_back(std::move(word));
    }
}

bool WordList::matches(const std::string& text) const {
    if (words_.empty()) return false;
    icu::UnicodeString k = match_key(text);
    std::string key = confusables::to_utf8(k);
    for (const Word& word : words_) {
        const std::string& w = word.key;
        for (size_t at = key.find(w); at != std::string::npos; at = key.find(w, at + 1)) {
            size_t end = at + w.size();
            bool left_ok = !ascii_alnum(w.front()) || at == 0 || !ascii_alnum(key[at - 1]);
            bool right_ok = !ascii_alnum(w.back()) || end == key.size() || !ascii_alnum(key[end]);
            if (left_ok && right_ok) return true;
        }
    }
    // Lookalikes from other scripts: whole words of the text that mix scripts, compared by skeleton.
    std::vector<Token> said = tokens(k, false);
    bool any_mixed = false;
    for (const Token& t : said) any_mixed = any_mixed || t.mixed;
    if (!any_mixed) return false;
    for (const Word& word : words_) {
        size_t n = word.tokens.size();
        for (size_t i = 0; n > 0 && i + n <= said.size(); ++i) {
            bool same = true, mixed = false;
            for (size_t j = 0; same && j < n; ++j) {
                const Token& t = said[i + j];
                mixed = mixed || t.mixed;
                same = t.text == word.tokens[j] || (t.mixed && t.skeleton == word.skeletons[j]);
            }
            if (same && mixed) return true;
        }
    }
    return false;
}
