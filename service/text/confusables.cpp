// ICU's normalisation, TR39 skeletons and script-mixing levels (see confusables.h).
#include "text/confusables.h"

#include <stdexcept>

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/uscript.h>
#include <unicode/uspoof.h>

namespace confusables {

namespace {

void check(UErrorCode e, const char* what) {
    if (U_FAILURE(e)) throw std::runtime_error(std::string("ICU ") + what + ": " + u_errorName(e));
}

// A spoof checker testing only the restriction level; made once, read by every thread.
const USpoofChecker* restriction_checker(URestrictionLevel level) {
    UErrorCode e = U_ZERO_ERROR;
    USpoofChecker* sc = uspoof_open(&e);
    check(e, "uspoof_open");
    uspoof_setChecks(sc, USPOOF_RESTRICTION_LEVEL, &e);
    uspoof_setRestrictionLevel(sc, level);
    check(e, "uspoof_setChecks");
    return sc;
}

const USpoofChecker* moderate() {
    static const USpoofChecker* sc = restriction_checker(USPOOF_MODERATELY_RESTRICTIVE);
    return sc;
}

const USpoofChecker* high() {
    static const USpoofChecker* sc = restriction_checker(USPOOF_HIGHLY_RESTRICTIVE);
    return sc;
}

const icu::Normalizer2& normalizer(const char* which) {
    UErrorCode e = U_ZERO_ERROR;
    const icu::Normalizer2* n = nullptr;
    if (which[0] == 'k') n = icu::Normalizer2::getNFKCCasefoldInstance(e);
    else if (which[0] == 'K') n = icu::Normalizer2::getNFKCInstance(e);
    else if (which[0] == 'c') n = icu::Normalizer2::getNFCInstance(e);
    else n = icu::Normalizer2::getNFDInstance(e);
    check(e, "normalizer");
    return *n;
}

icu::UnicodeString normalize(const char* which, const icu::UnicodeString& text) {
    UErrorCode e = U_ZERO_ERROR;
    icu::UnicodeString out = normalizer(which).normalize(text, e);
    check(e, "normalize");
    return out;
}

bool fails(const USpoofChecker* sc, const icu::UnicodeString& text) {
    UErrorCode e = U_ZERO_ERROR;
    int32_t result = uspoof_check2UnicodeString(sc, text, nullptr, &e);
    check(e, "uspoof_check2");
    return (result & USPOOF_RESTRICTION_LEVEL) != 0;
}

}  // namespace

icu::UnicodeString from_utf8(const std::string& text) { return icu::UnicodeString::fromUTF8(text); }

std::string to_utf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

icu::UnicodeString nfkc_folded(const icu::UnicodeString& text) { return normalize("k", text); }
icu::UnicodeString nfkc(const icu::UnicodeString& text) { return normalize("K", text); }
icu::UnicodeString nfc(const icu::UnicodeString& text) { return normalize("c", text); }
icu::UnicodeString nfd(const icu::UnicodeString& text) { return normalize("d", text); }

bool generic_mark(UChar32 c) {
    int8_t type = u_charType(c);
    if (type != U_NON_SPACING_MARK && type != U_ENCLOSING_MARK) return false;
    UErrorCode e = U_ZERO_ERROR;
    UScriptCode script = uscript_getScript(c, &e);
    return U_SUCCESS(e) && (script == USCRIPT_INHERITED || script == USCRIPT_COMMON);
}

icu::UnicodeString without_marks(const icu::UnicodeString& text, bool every_mark) {
    icu::UnicodeString in = every_mark ? nfd(text) : nfc(text), out;
    for (int32_t i = 0; i < in.length(); i = in.moveIndex32(i, 1)) {
        UChar32 c = in.char32At(i);
        if (!generic_mark(c)) out.append(c);
    }
    return every_mark ? nfc(out) : out;
}

icu::UnicodeString skeleton(const icu::UnicodeString& text) {
    UErrorCode e = U_ZERO_ERROR;
    icu::UnicodeString out;
    uspoof_getSkeletonUnicodeString(moderate(), 0, text, out, &e);
    check(e, "uspoof_getSkeleton");
    return out.foldCase();
}

bool beyond_highly_restrictive(const icu::UnicodeString& text) { return fails(high(), text); }

}  // namespace confusables
