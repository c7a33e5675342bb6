// The one path of every incoming chat message (see incoming.h).
#include "chat/incoming.h"

#include <algorithm>

#include "text/input.h"
#include "text/text.h"

using namespace service_detail;

namespace {

// Where m comes from, before anything is cut or stored: a bridge's record of
// its platform, sender, channel and message id; /api/ingest's platform.
bool check_source(const IncomingChat& m, std::string* why) {
    if (m.source == ChatSource::Bridge)
        return valid_sender_id(m.sender_id) && !m.external_id.empty() && m.external_id.size() <= SERVICE_MAX_ID_BYTES &&
               m.channel.size() <= SERVICE_MAX_ID_BYTES && is_id_platform(m.platform);
    if (m.source == ChatSource::Ingest && !is_id_platform(m.platform) && m.platform != NAME_PLATFORM)
        return *why = "platform must be one of twitch, discord, web, matrix, corvane", false;
    return true;
}

// The sender's name and the text as they will be stored, or why not. The
// platforms' own rules are not ours: a longer name or text they allow is cut,
// not refused; a composer's post is the user's own and is refused when too long.
// Every name goes through the one rule (chat_shown_name); a corvane name is its
// own sender and has nothing to fall back on.
bool check_text(const ServiceCore& s, IncomingChat& m, std::string* why) {
    if (m.source == ChatSource::Composer) {
        if (valid_text_chars(m.text, SERVICE_MAX_TEXT_CHARS)) return true;
        return *why = "content must be 1 to 500 characters of visible text", false;
    }
    bool bridged = m.source == ChatSource::Bridge;
    std::string name = valid_utf8(m.sender_name) ? m.sender_name : "";
    if (valid_utf8(m.text)) m.text = text_cut(m.text, SERVICE_MAX_TEXT_CHARS);
    else if (bridged) m.text.clear();
    if (!bridged && !valid_text(trim(text_cut(name, SERVICE_MAX_NAME_CHARS)), 4 * SERVICE_MAX_NAME_CHARS))
        return *why = "sender_name must be visible text", false;
    if (m.platform == NAME_PLATFORM) {
        NameGuard guard{s.streamer, false, true};
        ShownName shown = name_shown(name, guard);
        if (shown.refused != NameRefusal::None) return *why = "sender_name: " + name_refusal_text(shown.refused), false;
        m.sender_name = m.sender_id = shown.name;  // the name is the sender
    } else if (!valid_sender_id(m.sender_id)) {
        return *why = "sender_id must be 1 to 128 of A-Z a-z 0-9 @ : . _ ~ -", false;
    } else {
        m.sender_name = chat_shown_name(s, m.platform, m.sender_id, {name}, m.sender_handle);
        if (m.sender_name.empty()) return *why = "the sender has no name that can be shown", false;
    }
    if (valid_text_chars(m.text, SERVICE_MAX_TEXT_CHARS)) return true;
    return *why = "text must be visible text", false;
}

// The limits of m's source: 0 when it may go ahead, else the seconds to wait.
int64_t take_limits(ServiceCore& s, const IncomingChat& m, int64_t account) {
    const ServiceLimits& l = s.options.limits;
    switch (m.source) {
        case ChatSource::Ingest:
            return s.limiter.take({{&l.ingest_bridge, "ingest-bridge " + m.platform},
                                   {&l.ingest_sender, "ingest-sender " + m.platform + ":" + m.sender_id},
                                   {&l.ingest_address, "ingest-address " + m.address}});
        case ChatSource::Bridge:
            return s.limiter.take({{&l.ingest_bridge, "ingest-bridge " + m.platform},
                                   {&l.ingest_sender, "ingest-sender " + m.platform + ":" + m.sender_id}});
        case ChatSource::Composer:
            return s.limiter.take({{&l.post_account, "post-account " + std::to_string(account)},
                                   {&l.post_address, "post-address " + m.address}});
    }
    return 0;
}

// Stores a checked message within its limits.
ChatReceipt store_incoming(ServiceCore& s, const IncomingChat& m) {
    ChatReceipt r;
    if (m.source == ChatSource::Bridge) {
        BridgedResult b = store_add_bridged(*s.store, m.platform, m.channel, m.external_id, m.sender_id,
                                            m.sender_name, m.text, chat_look_stored(m.look));
        r.seq = b.seq;
        r.outcome = b.outcome == BridgedAdd::Stored      ? ChatOutcome::Stored
                    : b.outcome == BridgedAdd::Duplicate ? ChatOutcome::Duplicate
                                                         : ChatOutcome::Banned;
        return r;
    }
    auto seq = store_add_message(*s.store, m.platform, m.sender_id, m.sender_name, m.text, chat_look_stored(m.look));
    r.outcome = seq ? ChatOutcome::Stored : ChatOutcome::Banned;
    r.seq = seq.value_or(0);
    return r;
}

}  // namespace

ChatReceipt chat_receive(ServiceCore& s, IncomingChat m) {
    ChatReceipt r;
    if (!check_source(m, &r.why)) return r;
    // A replay is known before anything else is taken, so a reconnect costs nothing.
    if (m.source == ChatSource::Bridge && store_bridged_known(*s.store, m.platform, m.external_id)) {
        r.outcome = ChatOutcome::Duplicate;
        return r;
    }
    if (!check_text(s, m, &r.why)) return r;
    // Spans count code points of the text as stored: only those wholly inside a cut one stay.
    if (m.source == ChatSource::Composer) m.look = ChatLook{};
    else chat_look_fit(m.look, m.text);
    int64_t account = 0;
    if (m.source == ChatSource::Composer) {
        // A signed-in account posts as its platform identity: the same sender as that
        // person's bridged chat, so one name lookup, one ban and one filter cover both.
        auto ref = store_account(*s.store, m.login_id);
        if (!ref) return r.outcome = ChatOutcome::Unlinked, r;
        account = ref->id;
        m.platform = ref->platform;
        m.sender_id = ref->sender;
        m.sender_name = ref->name;
    }
    if ((r.retry_after = take_limits(s, m, account))) return r.outcome = ChatOutcome::Limited, r;
    return store_incoming(s, m);
}

bool chat_streamers_own(const ServiceCore& s, const std::string& platform, const std::string& sender_id) {
    const std::vector<std::string>& own = s.options.streamer_ids;
    return std::find(own.begin(), own.end(), platform + ":" + sender_id) != own.end();
}

std::string chat_shown_name(const ServiceCore& s, const std::string& platform, const std::string& sender_id,
                            const std::vector<std::string>& names, const std::string& handle) {
    NameGuard guard{s.streamer, chat_streamers_own(s, platform, sender_id), true};
    for (const std::string& name : names) {
        if (!valid_utf8(name)) continue;
        ShownName shown = name_shown(name, guard);
        if (shown.refused == NameRefusal::None) return shown.name;
    }
    // The mark keeps a handle apart from the name it spells: a Discord username
    // "quelmara" is unique on Discord and still not the streamer. A handle too long
    // for the mark beside it is cut, and shows it was. The whole is judged again,
    // uncut, so the mark stays.
    const std::string mark = " (" + platform + ")";
    const size_t room = NAME_MAX_CHARS - std::min(NAME_MAX_CHARS - 2, text_length(mark));
    guard.cut = false;
    for (const std::string& unique : {handle, sender_id}) {
        if (unique.empty() || !valid_utf8(unique)) continue;
        std::string shown = text_length(unique) > room ? text_cut(unique, room - 1) + "\u2026" : unique;
        ShownName marked = name_shown(shown + mark, guard);
        if (marked.refused == NameRefusal::None) return marked.name;
    }
    return "";
}

std::string chat_message_value(ServiceCore& s, int64_t seq) {
    return store_instance(*s.store) + "-" + std::to_string(seq);
}

nlohmann::json chat_chatter_json(const StoredMessage& m) { return nlohmann::json{{m.platform, m.sender}}; }

nlohmann::json chat_message_json(ServiceCore& s, const StoredMessage& m) {
    nlohmann::json j{{"message", chat_message_value(s, m.seq)}, {"text", m.text}, {"chatter", chat_chatter_json(m)}};
    if (!m.name.empty()) j["name"] = m.name;
    // Fitted again: a row is served only as its text can show it, whoever wrote it.
    ChatLook look = chat_look_from_stored(m.look);
    chat_look_fit(look, m.text);
    chat_look_serve(look, j);
    return j;
}
