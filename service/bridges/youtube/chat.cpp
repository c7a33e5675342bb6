// What a page of YouTube live chat does to the store (see chat.h).
#include "bridges/youtube/chat.h"

namespace bridges {

ChatLook yt_look(const YtItem& item) {
    ChatLook look;
    auto badge = [&](const char* set) { look.badges.push_back({set, "1", chat_badge_key(set, "1", "")}); };
    if (item.owner) badge("broadcaster");
    if (item.moderator) badge("moderator");
    if (item.member) badge("subscriber");
    return look;
}

bool yt_apply_page(ServiceCore& s, BridgeReport& report, const std::string& chat_id, const std::string& body,
                   bool history, YtApplied* out, std::string* error) {
    YtPage page;
    if (!yt_parse_messages(body, &page, error)) return false;
    out->next_page_token = page.next_page_token;
    out->poll_ms = page.poll_ms;
    out->ended = false;
    if (page.malformed > 0)
        report.error(std::to_string(page.malformed) + " chat items of the wrong shape in a liveChatMessages answer were skipped");
    for (const YtItem& item : page.items) {
        if (item.kind == YtItem::Ended) out->ended = true;
        if (history) continue;
        switch (item.kind) {
            case YtItem::Text:
                store_chat(s, report, {"youtube", chat_id, item.id, item.author_id, item.author_name, item.text,
                                       item.author_id, yt_look(item)});
                break;
            case YtItem::Deleted:
                delete_chat(s, report, "youtube", item.target);
                break;
            case YtItem::Banned:
                ban_sender(s, report, "youtube", item.target, item.ban_seconds);
                break;
            default:
                break;
        }
    }
    return true;
}

}  // namespace bridges
