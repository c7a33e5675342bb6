// Where a bridge puts what it reads (see sink.h).
#include "bridges/sink.h"

#include "text/input.h"

using namespace service_detail;

namespace bridges {

Outcome store_chat(ServiceCore& s, BridgeReport& report, const ChatMessage& m) {
    IncomingChat in;
    in.source = ChatSource::Bridge;
    in.platform = m.platform;
    in.sender_id = m.sender_id;
    in.sender_name = m.sender_name;
    in.sender_handle = m.sender_handle;
    in.text = m.text;
    in.channel = m.channel;
    in.external_id = m.external_id;
    in.look = m.look;
    Outcome o = chat_receive(s, std::move(in)).outcome;
    report.counted(o);
    return o;
}

bool delete_chat(ServiceCore& s, BridgeReport& report, const std::string& platform, const std::string& external_id) {
    if (!store_remove_bridged(*s.store, platform, external_id, platform)) return false;
    report.moderation();
    return true;
}

void ban_sender(ServiceCore& s, BridgeReport& report, const std::string& platform, const std::string& sender_id,
                int64_t seconds) {
    if (!valid_sender_id(sender_id)) return;
    store_platform_ban(*s.store, platform, sender_id, seconds < 0 ? 0 : seconds, platform);
    report.moderation();
}

int64_t clear_channel(ServiceCore& s, BridgeReport& report, const std::string& platform, const std::string& channel) {
    int64_t n = store_clear_channel(*s.store, platform, channel, platform);
    report.moderation();
    return n;
}

std::optional<std::string> load_state(ServiceCore& s, const std::string& key) { return store_bridge_state(*s.store, key); }

void save_state(ServiceCore& s, const std::string& key, const std::string& value) {
    store_set_bridge_state(*s.store, key, value);
}

}  // namespace bridges
