// What a page of YouTube live chat does to the store: text messages stored
// through the chat path (sink.h), deletions and bans applied as done by
// "youtube". The bridge calls this with each liveChatMessages answer; so do
// the tests, with no network.
//
// Threads: any (the store locks for itself); one bridge's pages in order.
#pragma once

#include <string>

#include "bridges/sink.h"
#include "bridges/youtube/api.h"

namespace bridges {

// A YouTube author's flags as badges in the sets the service draws marks for:
// the chat's owner as "broadcaster", a moderator as "moderator", a member
// (sponsor) as "subscriber", each with its badge-SET-1 image key. A verified
// channel has no mark of its own and shows no badge.
ChatLook yt_look(const YtItem& item);

struct YtApplied {
    std::string next_page_token;  // where the next call goes on
    int64_t poll_ms = YT_DEFAULT_POLL_MS;
    bool ended = false;           // a chatEndedEvent: the broadcast is over
};

// Reads one liveChatMessages answer body for chat_id and applies it (history:
// the first page after the chat was found, whose messages are the past: only
// its token is taken). false and *error when the answer is unusable (the
// caller reports it); skipped items of the wrong shape are one error in report.
bool yt_apply_page(ServiceCore& s, BridgeReport& report, const std::string& chat_id, const std::string& body,
                   bool history, YtApplied* out, std::string* error);

}  // namespace bridges
