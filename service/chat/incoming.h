// The one path every chat message takes into the service, whoever brings it:
// a bot's POST /api/ingest (and the admin page's chat form), a bridge of the
// service's own, or a linked account's post from the companion's composer.
// chat_receive checks the sender and the text, cuts what a platform's own
// rules let run longer than ours, takes the request limits of its source and
// stores it (the store filters blocked words and refuses banned senders).
// chat_message_json is the one "message" value the chat page, the wake-up
// channel's body and ETag, the composer's answer and the moderation page share.
//
// Threads: any; the store and the limiter lock for themselves.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "chat/look.h"
#include "core/state.h"

// Where a message comes from: which checks, cuts and limits it meets.
enum class ChatSource {
    Ingest,    // /api/ingest: the platform's rules cut it; an invisible name is refused
    Bridge,    // a bridge: as Ingest, but the platform's message id makes a replay a Duplicate
    Composer,  // a linked account's post: too long is refused, never cut; the sender is
               // the account the installation is linked to
};

struct IncomingChat {
    ChatSource source = ChatSource::Ingest;
    std::string platform;     // twitch, discord, web, matrix, or corvane (Ingest only: the name is the sender)
    std::string sender_id;    // the platform's id of the sender (ignored for corvane)
    std::string sender_name;  // the name the platform gives; stored as chat_shown_name shows it
    std::string sender_handle;  // Bridge: the platform's unique name of the sender (Twitch login, Discord
                                // username, Matrix user id); "" = the sender id stands in
    std::string text;         // UTF-8 as sent
    std::string channel;      // Bridge: where it was said ("#chan", a room or channel id)
    std::string external_id;  // Bridge: the platform's id of the message
    std::string address;      // Ingest and Composer: the requester's address, for its own limit
    std::string login_id;     // Composer: the installation posting (valid_login_id checked by the caller)
    ChatLook look;            // Bridge and Ingest: how the platform shows it, over text as given (spans
                              // past a cut or malformed are dropped); a composer's post has none
};

enum class ChatOutcome {
    Stored,     // a new message
    Duplicate,  // its platform id is stored already (a replay after a reconnect)
    Limited,    // over a request limit of its source: dropped
    Banned,     // its sender is banned here or timed out on the platform
    Invalid,    // empty, invisible or malformed text, or a sender we cannot keep
    Unlinked,   // Composer: the installation is not linked to an account
};

struct ChatReceipt {
    ChatOutcome outcome = ChatOutcome::Invalid;
    int64_t seq = 0;          // Stored (and a Duplicate the store found): the message's seq
    int64_t retry_after = 0;  // Limited: whole seconds until the limits allow it
    std::string why;          // Invalid: what is wrong, as the answer's sentence
};

// Checks, cuts, limits and stores m, in that order; stores nothing unless Stored.
ChatReceipt chat_receive(ServiceCore& s, IncomingChat m);

// The name desktops show for sender_id of platform: the first of names the one
// rule (text.h name_shown) lets through, the streamer's handle only for an id of
// --streamer-ids; else the platform's unique handle (the sender id when "") with
// the platform's mark, "quelmara (discord)", which no rule-abiding name can pass
// for, itself judged by the rule as shown; "" when not even that can be shown.
std::string chat_shown_name(const ServiceCore& s, const std::string& platform, const std::string& sender_id,
                            const std::vector<std::string>& names, const std::string& handle);
// Whether platform:sender_id is one of the streamer's own (--streamer-ids).
bool chat_streamers_own(const ServiceCore& s, const std::string& platform, const std::string& sender_id);

// A message's "message" value: "<database instance>-<seq>", never reused.
std::string chat_message_value(ServiceCore& s, int64_t seq);
// {platform: sender}, as the companion looks the name up.
nlohmann::json chat_chatter_json(const StoredMessage& m);
// A message as the chat page serves it: {"message", "text", "chatter"}, and beside
// them "name" (when known), "color" (when known), "badges" and "emotes" (look.h).
nlohmann::json chat_message_json(ServiceCore& s, const StoredMessage& m);
