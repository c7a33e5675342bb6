// Text helpers and input rules of vimo-service (see input.h).
#include "text/input.h"

#include "text/text.h"

#include <algorithm>

// ---- Text helpers ------------------------------------------------------------------

std::string html_escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string xml_escape(const std::string& text) { return html_escape(text); }

bool valid_utf8(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size(), i = 0;
    while (i < n) {
        unsigned c = p[i];
        size_t len;
        unsigned cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        static const unsigned MIN[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < MIN[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

bool percent_decode(const std::string& in, bool plus_is_space, std::string* out) {
    auto hex = [](char h) -> int {
        if (h >= '0' && h <= '9') return h - '0';
        if (h >= 'A' && h <= 'F') return h - 'A' + 10;
        if (h >= 'a' && h <= 'f') return h - 'a' + 10;
        return -1;
    };
    out->clear();
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '%') {
            if (in.size() - i < 3) return false;
            int hi = hex(in[i + 1]), lo = hex(in[i + 2]);
            if (hi < 0 || lo < 0) return false;
            *out += char(hi * 16 + lo);
            i += 2;
        } else if (c == '+' && plus_is_space) {
            *out += ' ';
        } else {
            *out += c;
        }
    }
    return true;
}

namespace service_detail {

// ---- Input rules ---------------------------------------------------------------------

bool valid_token_chars(const std::string& s, size_t max, const char* extra) {
    if (s.empty() || s.size() > max) return false;
    for (char c : s) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        for (const char* e = extra; !ok && *e; ++e) ok = c == *e;
        if (!ok) return false;
    }
    return true;
}
bool valid_login_id(const std::string& s) { return valid_token_chars(s, SERVICE_MAX_ID_BYTES, ":._-"); }
// "@" for Matrix ids (@name:server).
bool valid_sender_id(const std::string& s) { return valid_token_chars(s, SERVICE_MAX_ID_BYTES, "@:._~-"); }
bool valid_handle(const std::string& s) { return valid_token_chars(s, 64, "._-"); }
bool valid_actor(const std::string& s) { return valid_token_chars(s, 253, ":._-"); }
bool valid_link_token(const std::string& s) { return valid_token_chars(s, 32 + 2 * SERVICE_MAX_ID_BYTES, ""); }

// Human text: well-formed UTF-8, no control characters, at most max bytes, and
// something a reader can see once spaces and format characters are left out.
bool valid_text(const std::string& s, size_t max) {
    if (s.empty() || s.size() > max || !valid_utf8(s)) return false;
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return false;
    return text_visible(s);
}

bool valid_text_chars(const std::string& s, size_t max_chars) {
    return valid_text(s, 4 * max_chars) && text_length(s) <= max_chars;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

const char* const ID_PLATFORMS[] = {"twitch", "discord", "web", "matrix", "youtube", "kick"};

bool is_id_platform(const std::string& p) {
    for (const char* q : ID_PLATFORMS)
        if (p == q) return true;
    return false;
}

bool parse_streamer_ids(const std::string& text, std::vector<std::string>* out, std::string* error) {
    std::vector<std::string> ids;
    for (size_t start = 0; start <= text.size();) {
        size_t comma = std::min(text.find(',', start), text.size());
        std::string item = text.substr(start, comma - start);
        start = comma + 1;
        size_t colon = item.find(':');
        std::string platform = item.substr(0, colon), id = colon == std::string::npos ? "" : item.substr(colon + 1);
        bool digits = !id.empty() && id.size() <= 20 && id.find_first_not_of("0123456789") == std::string::npos;
        size_t server = id.find(':');
        // A YouTube channel id: "UC" and 22 of A-Z a-z 0-9 - _.
        bool channel = id.size() == 24 && id.rfind("UC", 0) == 0 &&
                       id.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") ==
                           std::string::npos;
        bool ok = (platform == "twitch" || platform == "discord" || platform == "kick") ? digits
                  : platform == "youtube"                                               ? channel
                  : platform == "matrix" ? valid_sender_id(id) && id[0] == '@' && server != std::string::npos &&
                                               server > 1 && server + 1 < id.size()
                                         : false;
        if (!ok) {
            *error = "--streamer-ids: \"" + item + "\" is not twitch:DIGITS, discord:DIGITS, kick:DIGITS, youtube:UC... or matrix:@name:server";
            return false;
        }
        ids.push_back(platform + ":" + id);
    }
    *out = std::move(ids);
    return true;
}

}  // namespace service_detail
