// How a chat line looks on its platform (chat_look.cpp): the sender's name
// colour, badges and the spans of the text shown as pictures, read from a chat
// page's message ("color", "badges", "emotes" beside "message", "text",
// "chatter" and "name"), and a box's content laid out from them: badges, the
// name in its colour, ": ", then the text with its pictures inline, wrapped at
// CHAT_WRAP_WIDTH, each line as tall as its tallest piece.
//
// A message without a look keeps the plain box of chat.cpp, drawn as it
// always was; only a look goes through chat_look_layout.
//
// Threads: chat_look_present and chat_look_read are pure functions of their
// arguments (the poll's task calls them on the network worker);
// chat_look_layout measures with draw's fonts: main thread.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "gfx/raylib.h"
#include "online/json_text.h"

inline constexpr float CHAT_WRAP_WIDTH = 256;         // pixels: where a box's lines wrap, on either path
inline constexpr size_t CHAT_LOOK_MAX_IMAGES = 50;    // badges and emotes of one box together; the rest stay text
inline constexpr int CHAT_BADGE_SIZE = 18;            // pixels, square, at 1x
inline constexpr int CHAT_BADGE_GAP = 2;              // pixels after each badge
inline constexpr int CHAT_EMOTE_MAX_WIDTH = 256;      // pixels at 1x; a wider span stays text
inline constexpr int CHAT_EMOTE_MAX_HEIGHT = 128;     // pixels at 1x; a taller span stays text
inline constexpr size_t CHAT_IMAGE_PATH_MAX = 256;    // bytes of an image path; a longer one is no image
inline constexpr int CHAT_LINE_GAP = 2;               // pixels between lines, as the font's own line spacing
inline constexpr int CHAT_FONT_SIZE = 16;             // pixels: the boxes' text size

// A span of the shown text drawn as a picture.
struct ChatEmote {
    size_t start = 0;         // first code point of the shown text
    size_t end = 0;           // one past the last (end exclusive)
    std::string image;        // "/api/emote/KEY" on the service
    int w = 0, h = 0;         // size at 1x, pixels
    bool zero_width = false;  // drawn over the picture before it, taking no room of its own
};

// One message's look. Only well-formed parts are kept: a colour that is not
// "#rrggbb" is none, a badge or emote whose image is not a service path is
// dropped, spans that overlap another or run past the shown text are dropped
// (their text stays), and past CHAT_LOOK_MAX_IMAGES pictures the rest are dropped.
struct ChatLook {
    std::string name;                 // the sender's name as the box shows it (bounded)
    std::string text;                 // the shown text (bounded) that the spans count in
    bool colored = false;             // color holds the name's colour (too light ones darkened); false: black
    Color color = {0, 0, 0, 255};
    std::vector<std::string> badges;  // image paths, in the platform's order
    std::vector<ChatEmote> emotes;    // in text order
};

// Whether message carries a look ("color", "badges" or "emotes" present and
// not null); "name" alone only spares the name lookup.
bool chat_look_present(const json& message);
// The look of message for a box showing name and shown_text (the text as
// text_bounded cut it; spans past what the cut kept are dropped).
ChatLook chat_look_read(const json& message, const std::string& name, const std::string& shown_text);

// One piece of a laid-out line.
enum ChatPieceKind {
    CHAT_PIECE_TEXT = 0,   // a run of text in one colour
    CHAT_PIECE_IMAGE = 1,  // a badge or an emote
};
struct ChatPiece {
    int kind = CHAT_PIECE_TEXT;   // a ChatPieceKind
    std::string text;             // TEXT: the run; IMAGE: the text it stands for ("" for a badge)
    Color color = {0, 0, 0, 255}; // TEXT: the run's colour
    std::string image;            // IMAGE: its path; "" for text
    Rectangle box = {0, 0, 0, 0}; // pixels from the content's top-left corner (whole pixels)
};
struct ChatLayout {
    std::vector<ChatPiece> pieces;  // in reading order
    Vector2 size = {0, 0};          // the content's size, pixels (the box adds its margin)
};
// Lay look out. failed tells which image paths are known not to come: their
// emotes are laid out as their text, their badges left out.
ChatLayout chat_look_layout(const ChatLook& look, const std::function<bool(const std::string&)>& failed);
