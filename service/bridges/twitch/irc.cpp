// IRC lines with IRCv3 tags (see irc.h).
#include "bridges/twitch/irc.h"

namespace bridges {

namespace {

const std::string EMPTY;

// Skips the spaces at *pos (servers are meant to send one; some send more).
void skip_spaces(std::string_view s, size_t* pos) {
    while (*pos < s.size() && s[*pos] == ' ') ++(*pos);
}

// The word at *pos up to the next space; *pos left after it.
std::string_view word(std::string_view s, size_t* pos) {
    size_t end = s.find(' ', *pos);
    if (end == std::string_view::npos) end = s.size();
    std::string_view w = s.substr(*pos, end - *pos);
    *pos = end;
    return w;
}

bool parse_tags(std::string_view text, IrcMessage* out) {
    if (text.empty()) return false;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view tag = text.substr(start, end - start);
        start = end + 1;
        if (tag.empty()) continue;  // "a=1;;b=2" or a trailing ';': nothing to keep
        size_t eq = tag.find('=');
        std::string_view key = tag.substr(0, eq);
        if (key.empty()) return false;
        std::string value = eq == std::string_view::npos ? "" : irc_unescape_tag(tag.substr(eq + 1));
        // A key sent twice keeps its last value.
        bool replaced = false;
        for (auto& kv : out->tags)
            if (kv.first == key) kv.second = value, replaced = true;
        if (!replaced) out->tags.emplace_back(std::string(key), std::move(value));
    }
    return true;
}

bool valid_command(std::string_view c) {
    if (c.empty()) return false;
    bool digits = c.size() == 3;
    for (char ch : c)
        if (ch < '0' || ch > '9') digits = false;
    if (digits) return true;
    for (char ch : c)
        if (!((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z'))) return false;
    return true;
}

bool fail(IrcError* error, IrcError e) {
    *error = e;
    return false;
}

}  // namespace

const std::string& IrcMessage::tag(std::string_view key) const {
    for (const auto& kv : tags)
        if (kv.first == key) return kv.second;
    return EMPTY;
}

bool IrcMessage::has_tag(std::string_view key) const {
    for (const auto& kv : tags)
        if (kv.first == key) return true;
    return false;
}

const std::string& IrcMessage::param(size_t i) const { return i < params.size() ? params[i] : EMPTY; }

bool irc_parse(std::string_view line, IrcMessage* out, IrcError* error) {
    *out = IrcMessage{};
    *error = IrcError::None;
    if (line.find('\0') != std::string_view::npos || line.find('\r') != std::string_view::npos)
        return fail(error, IrcError::Control);
    size_t pos = 0;
    skip_spaces(line, &pos);
    if (pos == line.size()) return fail(error, IrcError::Empty);
    if (line[pos] == '@') {
        ++pos;
        if (!parse_tags(word(line, &pos), out)) return fail(error, IrcError::BadTags);
        skip_spaces(line, &pos);
    }
    if (pos < line.size() && line[pos] == ':') {
        ++pos;
        out->prefix = std::string(word(line, &pos));
        if (out->prefix.empty()) return fail(error, IrcError::BadPrefix);
        skip_spaces(line, &pos);
    }
    if (pos == line.size()) return fail(error, out->prefix.empty() ? IrcError::BadCommand : IrcError::BadPrefix);
    std::string_view command = word(line, &pos);
    if (!valid_command(command)) return fail(error, IrcError::BadCommand);
    out->command.reserve(command.size());
    for (char c : command) out->command.push_back(c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c);
    for (;;) {
        skip_spaces(line, &pos);
        if (pos == line.size()) break;
        if (line[pos] == ':') {
            out->params.emplace_back(line.substr(pos + 1));
            break;
        }
        out->params.emplace_back(word(line, &pos));
    }
    return true;
}

std::string irc_unescape_tag(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c != '\\') {
            out.push_back(c);
            continue;
        }
        if (++i == value.size()) break;  // a lone trailing backslash stands for nothing
        switch (value[i]) {
            case ':': out.push_back(';'); break;
            case 's': out.push_back(' '); break;
            case 'r': out.push_back('\r'); break;
            case 'n': out.push_back('\n'); break;
            default: out.push_back(value[i]); break;  // "\\" and unknown escapes: the character itself
        }
    }
    return out;
}

std::string irc_prefix_nick(std::string_view prefix) {
    size_t end = prefix.find_first_of("!@");
    return std::string(prefix.substr(0, end));
}

const char* irc_error_text(IrcError e) {
    switch (e) {
        case IrcError::None: return "no error";
        case IrcError::Empty: return "an empty line";
        case IrcError::Control: return "a NUL or CR inside a line";
        case IrcError::BadTags: return "malformed tags";
        case IrcError::BadPrefix: return "a prefix without a command";
        case IrcError::BadCommand: return "a malformed command";
    }
    return "?";
}

void IrcLineReader::take(const char* data, size_t size) {
    if (skipping_ || size == 0) return;
    if (partial_.size() + size > IRC_MAX_LINE_BYTES + 1) {  // + 1: the CR that may end it
        partial_.clear();
        partial_.shrink_to_fit();
        skipping_ = true;
        ++overlong_;
        return;
    }
    partial_.append(data, size);
}

std::string_view IrcLineReader::finished() {
    std::string_view line = partial_;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

}  // namespace bridges
