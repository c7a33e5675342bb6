// Reading a chat line's look and laying a box's content out from it. See
// online/chat_look.h.
#include "online/chat_look.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <string>

#include "draw/draw.h"

static const char* const CHAT_LOOK_FONT = "assets/neodgm.ttf";
static const char* const CHAT_IMAGE_PREFIX = "/api/emote/";
static const float CHAT_NAME_LIGHTEST = 200;  // perceived brightness (0..255) a name colour may have on white

bool chat_look_present(const json& message) {
    for (const char* key : {"color", "badges", "emotes"})
        if (!json_member(message, key).is_null()) return true;
    return false;
}

// A service path of a picture: the prefix and a key of [A-Za-z0-9_-]. It is
// appended to the service origin, so nothing else may pass.
static bool chat_image_path(const json& value) {
    if (!value.is_string()) return false;
    const std::string& path = value.get_ref<const std::string&>();
    const size_t prefix = std::char_traits<char>::length(CHAT_IMAGE_PREFIX);
    if (path.size() <= prefix || path.size() > CHAT_IMAGE_PATH_MAX || path.compare(0, prefix, CHAT_IMAGE_PREFIX) != 0)
        return false;
    for (size_t i = prefix; i < path.size(); i++) {
        char c = path[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-'))
            return false;
    }
    return true;
}

static bool chat_color_read(const json& value, Color* out) {
    if (!value.is_string()) return false;
    const std::string& hex = value.get_ref<const std::string&>();
    if (hex.size() != 7 || hex[0] != '#') return false;
    for (size_t i = 1; i < 7; i++)
        if (!std::isxdigit(static_cast<unsigned char>(hex[i]))) return false;
    unsigned long rgb = std::stoul(hex.substr(1), nullptr, 16);
    out->r = static_cast<unsigned char>(rgb >> 16);
    out->g = static_cast<unsigned char>(rgb >> 8);
    out->b = static_cast<unsigned char>(rgb);
    out->a = 255;
    // A name must stay readable on the white box: a colour this light is
    // darkened (perceived brightness, 0..255).
    float light = 0.299f * out->r + 0.587f * out->g + 0.114f * out->b;
    if (light > CHAT_NAME_LIGHTEST) {
        float k = CHAT_NAME_LIGHTEST / light * 0.75f;
        out->r = static_cast<unsigned char>(out->r * k);
        out->g = static_cast<unsigned char>(out->g * k);
        out->b = static_cast<unsigned char>(out->b * k);
    }
    return true;
}

// Code points of shown that stand for the message's own text, at the same
// places: the common start of the two (the cut's "…" is not the message's, and
// past a dropped combining mark the places no longer agree).
static size_t chat_text_kept(const json& message, const std::string& shown) {
    const json& text = json_member(message, "text");
    if (!text.is_string()) return 0;
    std::vector<std::string> a = utf8_split(shown);
    // A code point is at most 4 bytes: this prefix holds one more than shown has.
    std::vector<std::string> b = utf8_split(text.get_ref<const std::string&>().substr(0, 4 * (a.size() + 1)));
    size_t kept = 0;
    while (kept < a.size() && kept < b.size() && a[kept] == b[kept]) kept++;
    // A cut text ends in "…" in place of the rest: that place is not the message's.
    if (kept == a.size() && b.size() > a.size() && kept > 0) kept--;
    return kept;
}

// One "emotes" entry as a span; false when it is not one.
static bool chat_emote_read(const json& entry, size_t kept, ChatEmote* out) {
    const json& start = json_member(entry, "start");
    const json& end = json_member(entry, "end");
    const json& w = json_member(entry, "w");
    const json& h = json_member(entry, "h");
    if (!start.is_number_integer() || !end.is_number_integer() || !w.is_number_integer() || !h.is_number_integer())
        return false;
    if (!chat_image_path(json_member(entry, "image"))) return false;
    long long s = start.get<long long>(), e = end.get<long long>(), wi = w.get<long long>(), he = h.get<long long>();
    if (s < 0 || e <= s || e > (long long)kept) return false;
    if (wi < 1 || wi > CHAT_EMOTE_MAX_WIDTH || he < 1 || he > CHAT_EMOTE_MAX_HEIGHT) return false;
    out->start = size_t(s);
    out->end = size_t(e);
    out->image = json_member(entry, "image").get<std::string>();
    out->w = int(wi);
    out->h = int(he);
    out->zero_width = json_member(entry, "zero_width") == true;
    return true;
}

// The spans of "emotes" that stand: in text order, none overlapping another
// (both of an overlapping pair are dropped: neither can be trusted).
static std::vector<ChatEmote> chat_emotes_read(const json& emotes, size_t kept, size_t room) {
    std::vector<ChatEmote> spans;
    if (!emotes.is_array()) return spans;
    // Read only as many entries as could ever show, so a page of a million
    // spans costs what a box does.
    for (size_t i = 0; i < emotes.size() && i < 4 * CHAT_LOOK_MAX_IMAGES; i++) {
        ChatEmote span;
        if (chat_emote_read(emotes[i], kept, &span)) spans.push_back(std::move(span));
    }
    std::stable_sort(spans.begin(), spans.end(),
                     [](const ChatEmote& a, const ChatEmote& b) { return a.start < b.start; });
    std::vector<bool> overlapping(spans.size(), false);
    for (size_t i = 1; i < spans.size(); i++)
        if (spans[i].start < spans[i - 1].end) overlapping[i] = overlapping[i - 1] = true;
    std::vector<ChatEmote> kept_spans;
    for (size_t i = 0; i < spans.size() && kept_spans.size() < room; i++)
        if (!overlapping[i]) kept_spans.push_back(std::move(spans[i]));
    return kept_spans;
}

ChatLook chat_look_read(const json& message, const std::string& name, const std::string& shown_text) {
    ChatLook look;
    look.name = name;
    look.text = shown_text;
    look.colored = chat_color_read(json_member(message, "color"), &look.color);
    const json& badges = json_member(message, "badges");
    if (badges.is_array())
        for (size_t i = 0; i < badges.size() && look.badges.size() < CHAT_LOOK_MAX_IMAGES; i++) {
            const json& image = json_member(badges[i], "image");
            if (chat_image_path(image)) look.badges.push_back(image.get<std::string>());
        }
    look.emotes = chat_emotes_read(json_member(message, "emotes"), chat_text_kept(message, shown_text),
                                   CHAT_LOOK_MAX_IMAGES - look.badges.size());
    return look;
}

// ---- Layout ---------------------------------------------------------------------------

namespace {
// One unit the lines are made of: a code point or a picture.
struct ChatAtom {
    bool image = false;
    std::string text;        // the code point; for a picture the text it stands for
    Color color = {0, 0, 0, 255};
    std::string path;        // picture only
    float w = 0, h = 0;      // drawn size
    float advance = 0;       // room taken on the line (0 for an overlay)
    long over = -1;          // overlay: index of the atom it is drawn over; -1 none
};
}  // namespace

static void chat_atoms_text(std::vector<ChatAtom>& atoms, const std::vector<std::string>& cps, size_t from,
                            size_t to, Color color, Font font) {
    for (size_t i = from; i < to && i < cps.size(); i++) {
        ChatAtom a;
        a.text = cps[i];
        a.color = color;
        a.w = a.advance = std::trunc(TEXT_MEASURE(font, a.text.c_str(), CHAT_FONT_SIZE, 0).x);
        a.h = CHAT_FONT_SIZE;
        atoms.push_back(std::move(a));
    }
}

// An emote's atom; a zero-width one sits over the picture before it, the
// blanks between the two taken out. Without a picture before it, it takes its own room.
static void chat_atoms_emote(std::vector<ChatAtom>& atoms, const ChatEmote& emote, const std::string& text) {
    ChatAtom a;
    a.image = true;
    a.text = text;
    a.path = emote.image;
    a.w = a.advance = float(emote.w);
    a.h = float(emote.h);
    if (emote.zero_width) {
        size_t back = atoms.size();
        while (back > 0 && !atoms[back - 1].image && atoms[back - 1].text == " ") back--;
        if (back > 0 && atoms[back - 1].image && atoms[back - 1].over < 0) {
            atoms.resize(back);
            a.over = long(back - 1);
            a.advance = 0;
        }
    }
    atoms.push_back(std::move(a));
}

static std::vector<ChatAtom> chat_atoms(const ChatLook& look, const std::function<bool(const std::string&)>& failed,
                                        Font font) {
    std::vector<ChatAtom> atoms;
    for (const std::string& badge : look.badges) {
        if (failed && failed(badge)) continue;
        ChatAtom a;
        a.image = true;
        a.path = badge;
        a.w = a.h = CHAT_BADGE_SIZE;
        a.advance = CHAT_BADGE_SIZE + CHAT_BADGE_GAP;
        atoms.push_back(std::move(a));
    }
    const Color black = {0, 0, 0, 255};
    std::vector<std::string> name = utf8_split(look.name);
    chat_atoms_text(atoms, name, 0, name.size(), look.colored ? look.color : black, font);
    chat_atoms_text(atoms, {":", " "}, 0, 2, black, font);
    std::vector<std::string> text = utf8_split(look.text);
    size_t at = 0;
    for (const ChatEmote& emote : look.emotes) {
        chat_atoms_text(atoms, text, at, emote.start, black, font);
        if (failed && failed(emote.image)) {
            chat_atoms_text(atoms, text, emote.start, emote.end, black, font);
        } else {
            std::string stands_for;
            for (size_t i = emote.start; i < emote.end && i < text.size(); i++) stands_for += text[i];
            chat_atoms_emote(atoms, emote, stands_for);
        }
        at = emote.end;
    }
    chat_atoms_text(atoms, text, at, text.size(), black, font);
    return atoms;
}

// Place the atoms on lines: a line breaks before an atom that would take it
// past CHAT_WRAP_WIDTH (a line holds at least one atom); pieces sit centred
// on their line's height. Returns each atom's box and the content's size.
static Vector2 chat_atoms_place(const std::vector<ChatAtom>& atoms, std::vector<Rectangle>& boxes) {
    boxes.assign(atoms.size(), Rectangle{0, 0, 0, 0});
    float width = 0, top = 0;
    size_t first = 0;
    while (first < atoms.size()) {
        float x = 0, height = CHAT_FONT_SIZE;
        size_t end = first;
        for (; end < atoms.size(); end++) {
            if (end > first && atoms[end].advance > 0 && x + atoms[end].advance > CHAT_WRAP_WIDTH) break;
            boxes[end].x = atoms[end].over >= 0 ? boxes[size_t(atoms[end].over)].x : x;
            x += atoms[end].advance;
            height = std::max(height, atoms[end].h);
        }
        for (size_t i = first; i < end; i++) {
            const ChatAtom& a = atoms[i];
            if (a.over >= 0) {
                const ChatAtom& under = atoms[size_t(a.over)];
                boxes[i].x = std::max(0.0f, boxes[size_t(a.over)].x + std::floor((under.w - a.w) / 2));
            }
            boxes[i].y = top + std::floor((height - a.h) / 2);
            boxes[i].width = a.w;
            boxes[i].height = a.h;
            // An overlay wider than what it covers widens the box, not the line.
            width = std::max(width, boxes[i].x + a.w);
        }
        width = std::max(width, x);
        top += height + CHAT_LINE_GAP;
        first = end;
    }
    return Vector2{width, atoms.empty() ? 0 : top - CHAT_LINE_GAP};
}

ChatLayout chat_look_layout(const ChatLook& look, const std::function<bool(const std::string&)>& failed) {
    Font font = fetchFont(CHAT_LOOK_FONT);
    std::vector<ChatAtom> atoms = chat_atoms(look, failed, font);
    std::vector<Rectangle> boxes;
    ChatLayout layout;
    layout.size = chat_atoms_place(atoms, boxes);
    // Neighbouring code points of one colour on one line are one run of text.
    for (size_t i = 0; i < atoms.size(); i++) {
        const ChatAtom& a = atoms[i];
        if (!a.image && !layout.pieces.empty()) {
            ChatPiece& last = layout.pieces.back();
            bool same_line = last.box.y == boxes[i].y && last.box.x + last.box.width == boxes[i].x;
            if (last.kind == CHAT_PIECE_TEXT && same_line && std::memcmp(&last.color, &a.color, sizeof(Color)) == 0) {
                last.text += a.text;
                last.box.width += boxes[i].width;
                continue;
            }
        }
        ChatPiece piece;
        piece.kind = a.image ? CHAT_PIECE_IMAGE : CHAT_PIECE_TEXT;
        piece.text = a.text;
        piece.color = a.color;
        piece.image = a.path;
        piece.box = boxes[i];
        layout.pieces.push_back(std::move(piece));
    }
    return layout;
}
