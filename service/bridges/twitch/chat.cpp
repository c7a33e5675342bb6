// The Twitch bridge's chat commands and diagnostics (see chat.h).
#include "bridges/twitch/chat.h"

#include <algorithm>
#include <cstdio>

#include "bridges/sink.h"
#include "bridges/twitch/look.h"

namespace bridges {

namespace {

constexpr double DIAGNOSTIC_EVERY_S = 60;       // stderr lines of one kind at most this often
constexpr int64_t MAX_TIMEOUT_S = 14 * 24 * 3600;  // Twitch's longest time-out (two weeks)
const char* const PLATFORM = "twitch";

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

// The channel of m (its first parameter) when it is one the bridge reads; "" otherwise.
std::string our_channel(const TwitchChat& chat, const IrcMessage& m) {
    std::string channel = lower(m.param(0));
    bool ours = std::find(chat.channels.begin(), chat.channels.end(), channel) != chat.channels.end();
    return ours ? channel : "";
}

// "/me waves" arrives as CTCP ACTION: kept as its text. Other CTCP requests are not chat.
bool chat_text(const std::string& raw, std::string* text) {
    if (raw.empty() || raw[0] != '\x01') {
        *text = raw;
        return true;
    }
    const std::string action = "\x01" "ACTION ";
    if (raw.compare(0, action.size(), action) != 0) return false;
    *text = raw.substr(action.size());
    if (!text->empty() && text->back() == '\x01') text->pop_back();
    return true;
}

// A channel's room id from its tags: a new one has its emote sets fetched.
void learn_room(TwitchChat& chat, const std::string& channel, const IrcMessage& m) {
    const std::string& room = m.tag("room-id");
    if (room.empty() || chat.rooms[channel] == room) return;
    chat.rooms[channel] = room;
    if (chat.on_room) chat.on_room(room);
}

void on_privmsg(TwitchChat& chat, const IrcMessage& m) {
    std::string channel = our_channel(chat, m);
    if (channel.empty()) return;
    learn_room(chat, channel, m);
    std::string text;
    if (m.params.size() < 2 || !chat_text(m.params[1], &text)) return;
    std::string login = lower(irc_prefix_nick(m.prefix));
    ChatMessage c;
    c.platform = PLATFORM;
    c.channel = channel;
    // Twitch names senders by user-id (a login can be renamed). A plain IRC server
    // sends no tags: there the login is all there is.
    c.sender_id = m.has_tag("user-id") ? m.tag("user-id") : login;
    c.sender_name = m.tag("display-name").empty() ? login : m.tag("display-name");
    c.sender_handle = login;
    c.external_id = m.tag("id");
    if (c.external_id.empty()) c.external_id = chat.local_id_prefix + std::to_string(++chat.local_ids);
    c.text = std::move(text);
    if (c.sender_id.empty()) {
        chat.diagnostics->note("no sender", "dropped a PRIVMSG with no sender");
        return;
    }
    size_t dropped = 0;
    c.look = twitch_look(m, c.text, chat.emotes, &dropped);
    if (dropped)  // the line is kept, without what could not be shown
        chat.diagnostics->note("look", "dropped " + std::to_string(dropped) +
                                           " malformed, overlapping or out-of-range emote ranges or badges of a line");
    store_chat(*chat.service, *chat.report, c);
}

void on_clearmsg(TwitchChat& chat, const IrcMessage& m) {
    if (our_channel(chat, m).empty()) return;
    const std::string& id = m.tag("target-msg-id");
    if (id.empty()) {
        chat.diagnostics->note("CLEARMSG", "dropped a CLEARMSG without target-msg-id");
        return;
    }
    delete_chat(*chat.service, *chat.report, PLATFORM, id);
}

// "600" into seconds (1 to two weeks); -1 when it is not such a number.
int64_t ban_seconds(const std::string& text) {
    if (text.empty() || text.size() > 9) return -1;
    int64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n >= 1 ? std::min(n, MAX_TIMEOUT_S) : -1;
}

void on_clearchat(TwitchChat& chat, const IrcMessage& m) {
    std::string channel = our_channel(chat, m);
    if (channel.empty()) return;
    const std::string& user = m.tag("target-user-id");
    if (user.empty()) {
        clear_channel(*chat.service, *chat.report, PLATFORM, channel);
        return;
    }
    int64_t seconds = 0;  // no ban-duration: banned for good
    if (m.has_tag("ban-duration")) {
        seconds = ban_seconds(m.tag("ban-duration"));
        if (seconds < 0) {
            chat.diagnostics->note("CLEARCHAT", "dropped a CLEARCHAT with ban-duration " + m.tag("ban-duration").substr(0, 32));
            return;
        }
    }
    ban_sender(*chat.service, *chat.report, PLATFORM, user, seconds);
}

}  // namespace

void TwitchDiagnostics::note(const std::string& kind, const std::string& message) {
    report_.error(message);
    auto now = std::chrono::steady_clock::now();
    auto it = printed_.find(kind);
    if (it != printed_.end() && now - it->second < std::chrono::duration<double>(DIAGNOSTIC_EVERY_S)) return;
    printed_[kind] = now;
    std::fprintf(stderr, "vimo-service: twitch: %s (more of this kind within a minute are counted, not printed)\n",
                 message.c_str());
}

bool twitch_chat_apply(TwitchChat& chat, const IrcMessage& m) {
    if (m.command == "PRIVMSG")
        on_privmsg(chat, m);
    else if (m.command == "CLEARMSG")
        on_clearmsg(chat, m);
    else if (m.command == "CLEARCHAT")
        on_clearchat(chat, m);
    else if (m.command == "ROOMSTATE") {
        std::string channel = our_channel(chat, m);
        if (!channel.empty()) learn_room(chat, channel, m);
    } else
        return false;
    return true;
}

std::string twitch_channel_name(const std::string& given) {
    std::string name = lower(!given.empty() && given[0] == '#' ? given.substr(1) : given);
    if (name.empty() || name.size() > 25) return "";
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return "";
    return "#" + name;
}

}  // namespace bridges
