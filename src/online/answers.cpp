// Reading the service's answers: login, chat pages and user lookups, the live
// list, the Bluesky feed and the blog feed. Nothing here touches an element,
// `menu`, `USER` or `CONFIG`; the worker-side handlers change only the state
// declared with them, so every function is a function of the body and that
// state (and is what the fuzz targets drive).
#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "net/endpoints.h"
#include "net/net.h"
#include "online/chat.h"
#include "online/feeds.h"
#include "online/json_text.h"
#include "online/live.h"
#include "online/login.h"
#include "online/text_bounds.h"

// ---- Text helpers -------------------------------------------------------------

static std::string dump(const json& value) {
    // replace: a value built from raw bytes must never throw while being printed.
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string str(const json& value) {
    if (value.is_string()) return value.get_ref<const std::string&>();
    return dump(value);
}

bool json_nesting_within(const std::string& text, int limit) {
    int depth = 0;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (in_string) {
            if (c == '\\')
                i++;  // the escaped character cannot end the string
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if (c == ']' || c == '}') {
            depth--;
        }
    }
    return true;
}

json json_parse_answer(const std::string& body) {
    if (!json_nesting_within(body, JSON_MAX_DEPTH))
        throw std::runtime_error("nested deeper than " + std::to_string(JSON_MAX_DEPTH) + " levels");
    return json::parse(body);
}

json json_read_answer(const std::string& body) {
    if (!json_nesting_within(body, JSON_MAX_DEPTH)) return json(json::value_t::discarded);
    return json::parse(body, nullptr, false);
}

const json& json_member(const json& value, const std::string& key) {
    static const json null_value;
    if (!value.is_object()) return null_value;
    auto it = value.find(key);
    return it == value.end() ? null_value : *it;
}

// value[key] as the poll reads it: a missing key and a null value give null, any
// other kind of value cannot hold keys and interrupts whoever reads it.
static const json& field(const json& value, const std::string& key) {
    if (value.is_object() || value.is_null()) return json_member(value, key);
    throw std::runtime_error("cannot read \"" + key + "\" of a " + value.type_name());
}

json json_text(const std::string& text) {
    // Round trip through the serialiser's replacing mode: valid UTF-8 comes back
    // unchanged, invalid bytes as U+FFFD.
    return json::parse(json(text).dump(-1, ' ', false, json::error_handler_t::replace));
}

void utf8_append(std::string& s, int cp) {
    if (cp < 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return;
    if (cp < 0x80) {
        s += char(cp);
    } else if (cp < 0x800) {
        s += char(0xC0 | (cp >> 6));
        s += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        s += char(0xE0 | (cp >> 12));
        s += char(0x80 | ((cp >> 6) & 0x3F));
        s += char(0x80 | (cp & 0x3F));
    } else {
        s += char(0xF0 | (cp >> 18));
        s += char(0x80 | ((cp >> 12) & 0x3F));
        s += char(0x80 | ((cp >> 6) & 0x3F));
        s += char(0x80 | (cp & 0x3F));
    }
}

// Length of the UTF-8 sequence starting at s[i]; 1 for a byte that does not
// start a well-formed sequence (it then counts as a character of its own).
static size_t utf8_length_at(const std::string& s, size_t i) {
    unsigned char c = s[i];
    size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
    if (i + n > s.size()) return 1;
    for (size_t k = 1; k < n; k++)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 1;
    return n;
}

std::vector<std::string> utf8_split(const std::string& s) {
    std::vector<std::string> out;
    for (size_t i = 0; i < s.size();) {
        size_t n = utf8_length_at(s, i);
        out.push_back(s.substr(i, n));
        i += n;
    }
    return out;
}

void utf8_pop_back(std::string& s) {
    if (s.empty()) return;
    // Walk back over at most three continuation bytes to the sequence's lead
    // byte; take the whole sequence only if it is well formed and ends here.
    size_t start = s.size() - 1;
    for (int k = 0; k < 3 && start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80; k++) start--;
    if (start + utf8_length_at(s, start) == s.size())
        s.erase(start);
    else
        s.pop_back();
}

// ---- Login ----------------------------------------------------------------------

LoginAnswer login_read(const std::string& body) {
    LoginAnswer answer;
    if (body.empty()) return answer;
    answer.kind = LoginAnswer::UNREADABLE;
    json doc = json_read_answer(body);
    const json& status = json_member(doc, "status");
    if (!status.is_boolean()) return answer;
    if (status.get<bool>()) {
        answer.kind = LoginAnswer::LINKED;
        answer.user = json_member(doc, "user");
        return answer;
    }
    const json& url = json_member(doc, "url");
    if (!url.is_string()) return answer;
    answer.kind = LoginAnswer::UNLINKED;
    answer.url = url.get<std::string>();
    const json& code = json_member(doc, "code");
    if (code.is_string() && login_code_ok(code.get<std::string>())) answer.code = code.get<std::string>();
    return answer;
}

bool login_code_ok(const std::string& code) {
    if (code.size() < 3 || code.size() > LOGIN_CODE_MAX_CHARS) return false;
    for (char c : code)
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-')) return false;
    return true;
}

// ---- Chat feed --------------------------------------------------------------------

static const size_t CHAT_ID_CACHED_BYTES = 256;  // longer sender ids are looked up each time
static const size_t CHAT_NAMES_CACHED = 4096;     // sender names kept at most

ChatPoll chat_poll_run(const json& last_chat, const ChatGet& get,
                       const std::function<std::string(const json&)>& to_chat) {
    ChatPoll result;
    // One guard for everything, the getter giving up (the poll's deadline)
    // included: the poll has news only once the first page says so.
    try {
        std::string body = get(endpoint_chat_page(1));
        if (body.empty()) return result;
        net_log("poll chat parse result: " + net_cut(body));
        json first = json_parse_answer(body);
        const json& newest_message = first.at(0);
        json newest = field(newest_message, "message");
        if (last_chat == newest) return result;

        // From here the poll has news, whatever goes wrong later.
        result.news = true;
        std::vector<std::string> texts{to_chat(newest_message)};
        long seen = 1;
        for (long count = 2; count <= 8; count *= 2) {
            std::string page_body = get(endpoint_chat_page(int(count)));
            if (page_body.empty()) break;
            net_log("poll chat parse result: " + net_cut(page_body));
            json page = json_parse_answer(page_body);
            if (!page.is_array()) throw std::runtime_error("chat page is a " + std::string(page.type_name()));
            // Messages are addressed from the newest end: a page shorter than asked
            // (a short chat history) has fewer older messages, not other ones.
            long missing = count - long(page.size());
            bool done = false;
            for (long i = count - seen - 1; i >= 0; i--) {
                long index = i - missing;
                if (index < 0) {
                    done = true;  // the history ends here
                    break;
                }
                const json& message = page[size_t(index)];
                const json& cursor = field(message, "message");
                bool equal = last_chat == cursor;
                net_log("testing: " + std::to_string(index) + ", " + net_cut(dump(last_chat)) + " - " + net_cut(dump(cursor)) + ": " +
                        (equal ? "1" : "0"));
                if (equal) {
                    done = true;  // everything older has been seen
                    break;
                }
                texts.push_back(to_chat(message));
            }
            if (done) break;
            seen = count;
        }
        net_log(net_cut(dump(first)));
        net_log("last chat is now " + net_cut(dump(newest)));
        result.advance = true;
        result.newest = newest;
        result.texts = std::move(texts);
    } catch (const std::exception& error) {
        if (dynamic_cast<const json::exception*>(&error) == nullptr) net_log(std::string("chat poll: ") + error.what());
        net_log("chat poll inturrupted, classic curl error");
        result.advance = false;
        result.texts.clear();
    }
    return result;
}

std::string chatter_name(const json& message, std::map<std::string, std::string>& cache, const ChatGet& get) {
    // A service that knows the display name sends it along: no lookup.
    const json& named = json_member(message, "name");
    if (named.is_string() && !named.get_ref<const std::string&>().empty())
        return text_bounded(named.get_ref<const std::string&>(), CHAT_NAME_MAX_CHARS);
    static const char* const PLATFORMS[] = {"twitch", "discord", "web", "matrix", "corvane", "youtube", "kick"};
    const json& chatter = field(message, "chatter");
    std::string platform;
    for (const char* p : PLATFORMS) {
        if (!field(chatter, p).is_null()) {
            platform = p;
            break;
        }
    }
    // The name-only platform carries the display name itself.
    if (platform == "corvane")
        return text_bounded(field(chatter, "corvane").get_ref<const std::string&>(), CHAT_NAME_MAX_CHARS);

    std::string id = str(field(chatter, platform));
    // Ids are each platform's own: Twitch's 7 and the web's 7 are two people.
    // No platform's name holds ':', so the key reads back one way only.
    std::string key = platform + ":" + id;
    auto known = cache.find(key);
    if (known != cache.end()) return known->second;

    // The id comes from the chat feed: encoded, so a sender cannot add query keys.
    std::string body = get(endpoint_user_lookup(platform, url_encode(id)));
    if (body.empty()) return "anonymous";
    net_log("to chatter parse result: " + net_cut(body));
    try {
        json answer = json_parse_answer(body);
        std::string name = text_bounded(str(field(field(answer.at(0), platform), "name")), CHAT_NAME_MAX_CHARS);
        // The cache lives as long as the program: only ids of a sane length are
        // kept, and no more than CHAT_NAMES_CACHED of them (then it starts afresh).
        if (id.size() <= CHAT_ID_CACHED_BYTES) {
            if (cache.size() >= CHAT_NAMES_CACHED) cache.clear();
            cache[key] = name;
        }
        return name;
    } catch (const std::exception&) {
        return "";
    }
}

// ---- Live notices --------------------------------------------------------------------

std::vector<std::string> previousFernOnline;
std::vector<std::string> livesToSpawn;
std::mutex livesToSpawn_lock;
std::atomic<bool> VIMO_LIVE{false};
std::atomic<bool> VIMO_SNOOZED{false};

void fetchFern_inner(std::string body) {
    if (body.empty()) return;
    net_log("fern result: " + net_cut(body));
    json doc = json_read_answer(body);
    if (doc.is_discarded()) return;
    // Compared by lookup, not pairwise: a list of thousands costs one pass.
    std::unordered_set<std::string> before(previousFernOnline.begin(), previousFernOnline.end());
    bool streamerListed = false;
    std::vector<std::string> online, announced;
    size_t ignored = 0;
    // Handles queued before a failure stay queued.
    auto hand_over = [&announced] {
        if (announced.empty()) return;
        std::lock_guard<std::mutex> lock(livesToSpawn_lock);
        livesToSpawn.insert(livesToSpawn.end(), announced.begin(), announced.end());
    };
    // An element that is not text stops the answer where it stands: what was
    // queued before stays queued, the remembered list and the flag are kept.
    for (const json& e : doc) {
        if (!e.is_string()) {
            if (e.is_primitive())
                net_log(net_cut(str(e)) + " is live!");
            else
                net_log(std::string("live list: an entry that is not a handle (") + e.type_name() + "); the rest ignored");
            hand_over();
            return;
        }
        const std::string& handle = e.get_ref<const std::string&>();
        if (handle == "quelmara") streamerListed = true;
        // Beyond the first LIVE_MAX_HANDLES the list is only read for the streamer.
        if (online.size() >= LIVE_MAX_HANDLES) {
            ignored++;
            continue;
        }
        if (!before.count(handle)) {
            net_log(net_cut(handle) + " is live!");
            announced.push_back(handle);
        }
        online.push_back(handle);
    }
    if (ignored > 0)
        net_log("live list: " + std::to_string(ignored) + " handles past the first " +
                std::to_string(LIVE_MAX_HANDLES) + " ignored");
    hand_over();
    previousFernOnline = std::move(online);
    if (!streamerListed) VIMO_LIVE = false;
}

std::vector<std::string> live_take() {
    std::vector<std::string> taken;
    std::lock_guard<std::mutex> lock(livesToSpawn_lock);
    taken.swap(livesToSpawn);
    return taken;
}

// ---- Post and blog feeds -------------------------------------------------------------

std::string previousBskyDate;
std::vector<std::string> blogs;

void fetchBsky_inner(std::string body) {
    if (body.empty()) return;
    net_log("bsky result: " + net_cut(body));
    json doc = json_read_answer(body);
    const json& feed = json_member(doc, "feed");
    if (!feed.is_array() || feed.empty()) return;
    const json& createdAt = json_member(json_member(json_member(feed[0], "post"), "record"), "createdAt");
    if (!createdAt.is_string()) return;
    const std::string& date = createdAt.get_ref<const std::string&>();
    // A line of its own, so the next diagnostic does not run on behind it.
    if (!previousBskyDate.empty() && previousBskyDate != date) net_log("new post!");
    previousBskyDate = date;
}

// Bounds on what one blog body can make us keep: a guid is an identifier, and a
// body of many unclosed tags would otherwise hold the rest of itself once per tag.
static const size_t BLOG_MAX_GUIDS = 10000;
static const size_t BLOG_MAX_GUID_BYTES = 4096;

void fetchBlog_inner(std::string body) {
    if (body.empty()) return;
    static const std::string OPEN = "<guid>", CLOSE = "</guid>";
    std::vector<std::string> found;
    size_t close = 0;  // the next "</guid>" at or after the current guid's start, once searched
    bool close_known = false;
    for (size_t pos = body.find(OPEN); pos != std::string::npos && found.size() < BLOG_MAX_GUIDS;
         pos = body.find(OPEN, pos)) {
        size_t start = pos + OPEN.size();
        if (!close_known || (close != std::string::npos && close < start)) {
            close = body.find(CLOSE, start);
            close_known = true;
        }
        size_t end = close == std::string::npos ? body.size() : close;
        found.push_back(body.substr(start, std::min(end - start, BLOG_MAX_GUID_BYTES)));
        // The next search starts inside this guid, not after its closing tag.
        pos = start;
    }
    if (found.size() != blogs.size()) {
        std::set<std::string> old(blogs.begin(), blogs.end());
        for (const std::string& guid : found)
            if (!old.count(guid)) net_log("new blog: " + net_cut(guid));
    }
    blogs = std::move(found);
}
