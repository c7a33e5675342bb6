// Input rules of the community service: which ids, handles and texts a request
// may carry, and the platforms a message may come from. The byte-level text
// helpers (html_escape, xml_escape, valid_utf8, percent_decode) are public (the
// tests and service.h's users call them) and defined beside these rules. Pure
// functions of their arguments: any thread may call any of them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Bounds on what requests and bridges bring in.
inline constexpr size_t SERVICE_MAX_TEXT_BYTES = 500;     // a blog field
inline constexpr size_t SERVICE_MAX_TEXT_CHARS = 500;     // one chat message or post, in code points (bridged ones are cut)
inline constexpr size_t SERVICE_MAX_NAME_BYTES = 64;      // a blocked word, the --streamer handle
inline constexpr size_t SERVICE_MAX_NAME_CHARS = 32;      // display names and senders' names, in code points
inline constexpr size_t SERVICE_MAX_ID_BYTES = 128;       // login ids, sender ids, handles
inline constexpr int SERVICE_MAX_CHAT_COUNT = 100;        // largest chat page
inline constexpr size_t SERVICE_MAX_BODY_BYTES = 64 * 1024;  // admin JSON and form bodies
inline constexpr int SERVICE_BLOG_ITEMS = 1000;           // items in blog.xml (the companion notices growth)

// ---- Byte-level text helpers ---------------------------------------------------
std::string html_escape(const std::string& text);   // & < > " ' as entities
std::string xml_escape(const std::string& text);    // same set, for the RSS file
bool valid_utf8(const std::string& text);            // well-formed UTF-8, no overlongs or surrogates
// Decode a percent-encoded query or form value; false on a malformed escape.
bool percent_decode(const std::string& in, bool plus_is_space, std::string* out);

namespace service_detail {

inline constexpr const char* NAME_PLATFORM = "corvane";  // carries the display name itself, no id

// Ids and handles travel unencoded in the companion's URLs: only URL-safe bytes.
bool valid_token_chars(const std::string& s, size_t max, const char* extra);
bool valid_login_id(const std::string& s);    // installation ids: A-Z a-z 0-9 : . _ -
bool valid_sender_id(const std::string& s);   // senders on a platform: A-Z a-z 0-9 @ : . _ ~ -
bool valid_handle(const std::string& s);      // live handles: A-Z a-z 0-9 . _ -, at most 64
bool valid_actor(const std::string& s);       // Bluesky handles and DIDs, at most 253
bool valid_link_token(const std::string& s);  // link-page tokens: A-Z a-z 0-9
// Human text: well-formed UTF-8, no control characters, at most max bytes, and
// something a reader can see once spaces and format characters are left out.
bool valid_text(const std::string& s, size_t max);
// The same with the bound in characters (code points) rather than bytes.
bool valid_text_chars(const std::string& s, size_t max_chars);
std::string trim(const std::string& s);  // without leading and trailing spaces
// Whether p is a platform whose senders have ids: twitch, discord, web, matrix, youtube, kick.
bool is_id_platform(const std::string& p);
// --streamer-ids: "twitch:ID,discord:ID,kick:ID,youtube:UC...,matrix:@id:server" into "platform:id"
// items (Twitch and Discord ids are digits, a Matrix id is @localpart:server);
// false with *error naming the first malformed item.
bool parse_streamer_ids(const std::string& text, std::vector<std::string>* out, std::string* error);

}  // namespace service_detail
