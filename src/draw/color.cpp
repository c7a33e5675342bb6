#include <cstdio>
#include <stdexcept>
#include <string>

#include "draw/draw.h"

Color ColorFromHex(std::string s) {
    // Every leading "#" is dropped (a loop, so a long run of them costs no stack).
    size_t hashes = s.find_first_not_of('#');
    s.erase(0, hashes == std::string::npos ? s.size() : hashes);

    switch (s.size()) {
        case 0: s = "00000000"; break;
        case 1: s = s + s + s + s + s + s + "FF"; break;
        case 2: s = s + s + s + "FF"; break;
        case 3: s = {s[0], s[0], s[1], s[1], s[2], s[2], 'F', 'F'}; break;
        case 4: s = {s[0], s[0], s[1], s[1], s[2], s[2], s[3], s[3]}; break;
        case 5: s = "0" + s + "FF"; break;
        case 6: s += "FF"; break;
        case 7: s = "0" + s; break;
        case 8: break;
        default: s.resize(8); break;
    }

    unsigned char channel[4];
    try {
        for (int i = 0; i < 4; i++) {
            channel[i] = static_cast<unsigned char>(std::stoi(s.substr(i * 2, 2), nullptr, 16) & 0xff);
        }
    } catch (const std::logic_error&) {  // no number in a group: invalid_argument
        return Color{0, 0, 0, 255};
    }
    return Color{channel[0], channel[1], channel[2], channel[3]};
}

std::string ColorToHex(Color c) {
    char text[10];
    std::snprintf(text, sizeof text, "#%02x%02x%02x%02x", c.r, c.g, c.b, c.a);
    return text;
}
