// IRC lines as Twitch's chat server sends them (RFC 1459 framing with IRCv3
// message tags): cutting a byte stream into lines, and one line into its tags,
// prefix, command and parameters. Pure functions and a plain buffer, no I/O.
//
// Threads: none of its own; an IrcLineReader belongs to one connection's thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bridges {

// Longest line kept, CR LF excluded. IRCv3 allows 8191 bytes of tags plus 512 for
// the rest, but Twitch's own lines pass 512 (500 characters of UTF-8 text alone
// may take 2000 bytes), so the bound is generous and only guards memory.
inline constexpr size_t IRC_MAX_LINE_BYTES = 16 * 1024;

// One parsed line. Views are not used: a message outlives the read buffer.
struct IrcMessage {
    std::vector<std::pair<std::string, std::string>> tags;  // in line order, values unescaped; none when no '@'
    std::string prefix;                                     // "nick!user@host" or a server name; "" when none
    std::string command;                                    // upper-cased letters, or three digits
    std::vector<std::string> params;                        // middle ones, then the trailing one (':' removed)

    // The value of tag key; "" when absent or empty (Twitch sends both alike).
    const std::string& tag(std::string_view key) const;
    bool has_tag(std::string_view key) const;
    // The i-th parameter; "" when there are fewer.
    const std::string& param(size_t i) const;
};

// Why a line was refused (also the kind a diagnostic is counted under).
enum class IrcError {
    None,
    Empty,        // nothing but spaces: ignored without a word, as IRC does
    Control,      // a NUL or CR inside the line
    BadTags,      // '@' with nothing after it, or a tag with an empty key
    BadPrefix,    // ':' with nothing after it, or a prefix and no command
    BadCommand,   // not letters nor three digits
};

// Parses one line (no CR LF); false and *error when refused. *out is complete
// only on true.
bool irc_parse(std::string_view line, IrcMessage* out, IrcError* error);

// A tag value with its escapes undone: \: -> ';', \s -> ' ', \\ -> '\', \r, \n;
// any other escaped character stands for itself; a lone trailing '\' is dropped.
std::string irc_unescape_tag(std::string_view value);

// The nick of a "nick!user@host" prefix (the whole prefix when it has no '!' nor '@').
std::string irc_prefix_nick(std::string_view prefix);

// A name for an IrcError, for diagnostics ("a tag with an empty key", ...).
const char* irc_error_text(IrcError e);

// Cuts a byte stream into lines at LF, dropping one CR before it. Bytes may come
// in any pieces. A line longer than IRC_MAX_LINE_BYTES is skipped up to its LF and
// counted in overlong(), never kept whole in memory.
class IrcLineReader {
public:
    // Adds bytes; complete lines go to on_line(std::string_view) in order.
    template <class OnLine>
    void feed(const char* data, size_t size, OnLine&& on_line) {
        size_t start = 0;
        for (size_t i = 0; i < size; ++i) {
            if (data[i] != '\n') continue;
            take(data + start, i - start);
            if (!skipping_) {
                std::string_view line = finished();
                if (line.size() > IRC_MAX_LINE_BYTES)
                    ++overlong_;
                else
                    on_line(line);
            }
            partial_.clear();
            skipping_ = false;
            start = i + 1;
        }
        take(data + start, size - start);
    }
    size_t overlong() const { return overlong_; }  // lines skipped for their length so far
    size_t buffered() const { return partial_.size(); }

private:
    void take(const char* data, size_t size);
    std::string_view finished();

    std::string partial_;    // the line so far (without its LF)
    bool skipping_ = false;  // the current line is over the bound: drop it up to LF
    size_t overlong_ = 0;
};

}  // namespace bridges
