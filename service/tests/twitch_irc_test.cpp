// The IRC line and tag parser of the Twitch bridge on the lines that break
// naive parsers: escapes at the edges, empty and repeated tags, missing parts,
// control bytes, and streams cut at every byte.
#include <gtest/gtest.h>

#include <random>

#include "bridges/twitch/irc.h"

using namespace bridges;

namespace {

struct ParseCase {
    const char* line;
    IrcError error;           // IrcError::None: parsed
    const char* command;      // when parsed
    const char* prefix;
    std::vector<std::string> params;
    std::vector<std::pair<std::string, std::string>> tags;
};

TEST(TwitchIrc, ParsesLinesAndRefusesMalformedOnes) {
    const ParseCase cases[] = {
        {"PING :tmi.twitch.tv", IrcError::None, "PING", "", {"tmi.twitch.tv"}, {}},
        {"@badge-info=;display-name=Ann\\sB\\:C\\\\;id=x-1 :ann!ann@ann.tmi.twitch.tv PRIVMSG #chan :hi: there ",
         IrcError::None, "PRIVMSG", "ann!ann@ann.tmi.twitch.tv", {"#chan", "hi: there "},
         {{"badge-info", ""}, {"display-name", "Ann B;C\\"}, {"id", "x-1"}}},
        // Escapes: \r \n, unknown ones stand for the character, a lone trailing backslash goes.
        {"@a=x\\ry\\nz;b=\\q\\;c=end\\ CMD", IrcError::None, "CMD", "", {}, {{"a", "x\ry\nz"}, {"b", "q"}, {"c", "end"}}},
        // A key without '=' has an empty value; a repeated key keeps the last; empty tags are skipped.
        {"@flag;k=1;;k=2; :srv 001 me :Welcome", IrcError::None, "001", "srv", {"me", "Welcome"}, {{"flag", ""}, {"k", "2"}}},
        // Extra spaces between parts; a lower-case command; an empty trailing parameter; no trailing.
        {"  :n!u@h   privmsg   #c   :", IrcError::None, "PRIVMSG", "n!u@h", {"#c", ""}, {}},
        {"JOIN #a #b", IrcError::None, "JOIN", "", {"#a", "#b"}, {}},
        {"RECONNECT", IrcError::None, "RECONNECT", "", {}, {}},
        {"", IrcError::Empty},
        {"    ", IrcError::Empty},
        {"@ PRIVMSG #c :x", IrcError::BadTags},
        {"@=v PRIVMSG #c :x", IrcError::BadTags},
        {"@a=1", IrcError::BadCommand},
        {": PRIVMSG #c :x", IrcError::BadPrefix},
        {":only.a.prefix", IrcError::BadPrefix},
        {"PRIV-MSG #c", IrcError::BadCommand},
        {"1234 x", IrcError::BadCommand},
        {"@a=1 :p 12", IrcError::BadCommand},
        {"PRIVMSG #c :a\rb", IrcError::Control},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.line);
        IrcMessage m;
        IrcError e;
        bool ok = irc_parse(c.line, &m, &e);
        EXPECT_EQ(e, c.error) << irc_error_text(e);
        EXPECT_EQ(ok, c.error == IrcError::None);
        if (!ok) continue;
        EXPECT_EQ(m.command, c.command);
        EXPECT_EQ(m.prefix, c.prefix);
        EXPECT_EQ(m.params, c.params);
        EXPECT_EQ(m.tags, c.tags);
    }
    IrcMessage m;
    IrcError e;
    EXPECT_FALSE(irc_parse(std::string_view("PRIVMSG #c :a\0b", 15), &m, &e));  // a NUL inside the line
    EXPECT_EQ(e, IrcError::Control);
    ASSERT_TRUE(irc_parse("@display-name= :bob!bob@x PRIVMSG #c :x", &m, &e));
    EXPECT_TRUE(m.has_tag("display-name"));
    EXPECT_EQ(m.tag("display-name"), "");
    EXPECT_FALSE(m.has_tag("user-id"));
    EXPECT_EQ(m.param(5), "");
    EXPECT_EQ(irc_prefix_nick(m.prefix), "bob");
    EXPECT_EQ(irc_prefix_nick("tmi.twitch.tv"), "tmi.twitch.tv");
    EXPECT_EQ(irc_prefix_nick("n@h"), "n");
}

TEST(TwitchIrc, LineReaderCutsAtEveryByteAndSkipsOverlongLines) {
    const std::string stream = "A 1\r\nB 2\nC 3\r\r\n\r\n" + std::string(IRC_MAX_LINE_BYTES + 5, 'x') + "\r\nD 4\r\n" +
                               std::string(IRC_MAX_LINE_BYTES, 'y') + "\r\nE";
    const std::vector<std::string> want = {"A 1", "B 2", "C 3\r", "", "D 4", std::string(IRC_MAX_LINE_BYTES, 'y')};
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        IrcLineReader reader;
        std::vector<std::string> got;
        size_t pos = 0;
        while (pos < stream.size()) {
            // Round 0 feeds one byte at a time, the others random pieces.
            size_t n = round == 0 ? 1 : std::min<size_t>(stream.size() - pos, random() % 40000 + 1);
            reader.feed(stream.data() + pos, n, [&](std::string_view l) { got.emplace_back(l); });
            pos += n;
        }
        ASSERT_EQ(got, want) << "round " << round;
        EXPECT_EQ(reader.overlong(), 1u);
        EXPECT_EQ(reader.buffered(), 1u);  // "E" waits for its end
        EXPECT_LE(reader.buffered(), IRC_MAX_LINE_BYTES + 1);
    }
}

}  // namespace
