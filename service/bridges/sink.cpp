// Where a bridge puts what it reads (see sink.h).
#include "bridges/sink.h"

#include "http.h"
#include "input.h"
#include "text.h"

using namespace service_detail;

namespace bridges {

Outcome store_chat(Service& s, BridgeReport& report, const ChatMessage& m) {
    auto count = [&](Outcome o) {
        report.counted(o);
        return o;
    };
    if (!valid_sender_id(m.sender_id) || m.external_id.empty() || m.external_id.size() > SERVICE_MAX_ID_BYTES ||
        m.channel.size() > SERVICE_MAX_ID_BYTES || !is_id_platform(m.platform))
        return count(Outcome::Invalid);
    // A replay is known before any limit is taken, so a reconnect costs nothing.
    if (store_bridged_known(*s.store, m.platform, m.external_id)) return count(Outcome::Duplicate);
    // The platforms' own rules are not ours: a longer name or text is cut, not refused.
    std::string name = valid_utf8(m.sender_name) ? trim(text_cut(m.sender_name, SERVICE_MAX_NAME_CHARS)) : "";
    std::string text = valid_utf8(m.text) ? text_cut(m.text, SERVICE_MAX_TEXT_CHARS) : "";
    if (!valid_text_chars(name, SERVICE_MAX_NAME_CHARS)) name = text_cut(m.sender_id, SERVICE_MAX_NAME_CHARS);
    if (!valid_text_chars(text, SERVICE_MAX_TEXT_CHARS)) return count(Outcome::Invalid);
    const ServiceLimits& l = s.options.limits;
    if (s.limiter.take({{&l.ingest_bridge, "ingest-bridge " + m.platform},
                        {&l.ingest_sender, "ingest-sender " + m.platform + ":" + m.sender_id}}))
        return count(Outcome::Limited);
    BridgedResult r = store_add_bridged(*s.store, m.platform, m.channel, m.external_id, m.sender_id, name, text);
    switch (r.outcome) {
        case BridgedAdd::Stored: return count(Outcome::Stored);
        case BridgedAdd::Duplicate: return count(Outcome::Duplicate);
        case BridgedAdd::Banned: return count(Outcome::Banned);
    }
    return count(Outcome::Invalid);
}

bool delete_chat(Service& s, BridgeReport& report, const std::string& platform, const std::string& external_id) {
    if (!store_remove_bridged(*s.store, platform, external_id, platform)) return false;
    report.moderation();
    return true;
}

void ban_sender(Service& s, BridgeReport& report, const std::string& platform, const std::string& sender_id,
                int64_t seconds) {
    if (!valid_sender_id(sender_id)) return;
    store_platform_ban(*s.store, platform, sender_id, seconds < 0 ? 0 : seconds, platform);
    report.moderation();
}

int64_t clear_channel(Service& s, BridgeReport& report, const std::string& platform, const std::string& channel) {
    int64_t n = store_clear_channel(*s.store, platform, channel, platform);
    report.moderation();
    return n;
}

std::optional<std::string> load_state(Service& s, const std::string& key) { return store_bridge_state(*s.store, key); }

void save_state(Service& s, const std::string& key, const std::string& value) {
    store_set_bridge_state(*s.store, key, value);
}

}  // namespace bridges
