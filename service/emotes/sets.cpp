// Third-party emote sets: the providers' answers and the word tables (see sets.h).
#include "emotes/sets.h"

#include "outbound/https_client.h"

namespace emotes {

using nlohmann::json;

namespace {

constexpr size_t MAX_OBJECTS_PER_EMOTE = 16;  // 7TV's: the emote, its data and host, its files
constexpr size_t MAX_NAME_BYTES = 100;        // an emote's name (a word of chat)

// The fields any provider's reading looks at; set ids (FFZ's "sets" keys) are digits.
bool kept_key(const std::string& key) {
    static const char* const KEPT[] = {"emotes", "emote_set", "id", "name", "flags", "data", "animated", "host",
                                       "url", "files", "width", "height", "format", "code", "channelEmotes",
                                       "sharedEmotes", "default_sets", "sets", "emoticons", "urls"};
    for (const char* k : KEPT)
        if (key == k) return true;
    if (key.empty() || key.size() > 12) return false;
    for (char c : key)
        if (c < '0' || c > '9') return false;
    return true;
}

const std::string* field_string(const json& o, const char* key) {
    if (!o.is_object()) return nullptr;
    auto it = o.find(key);
    return it != o.end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
}

int field_px(const json& o, const char* key, int fallback) {
    if (!o.is_object()) return fallback;
    auto it = o.find(key);
    if (it == o.end() || !it->is_number()) return fallback;
    double v = it->get<double>();
    return v >= 1 && v <= 1024 ? int(v) : fallback;
}

// An id that can stand in a key (every provider's ids follow the same rule there).
bool key_id_ok(const std::string& id) { return image_key_valid("7tv-" + id); }

// An image URL the service may fetch later: https, or http to this machine.
// "//host/path" (protocol-relative, as 7TV and older FFZ give) is https.
std::string image_url(std::string url) {
    if (url.rfind("//", 0) == 0) url = "https:" + url;
    if (url.size() > 512) return "";
    for (unsigned char c : url)
        if (c <= ' ' || c >= 0x7f || c == '"' || c == '<' || c == '>' || c == '\\') return "";
    bridges::BaseUrl base;
    std::string error;
    return bridges::parse_base_url(url, true, &base, &error) ? url : "";
}

bool name_ok(const std::string& name) {
    if (name.empty() || name.size() > MAX_NAME_BYTES) return false;
    for (unsigned char c : name)
        if (c <= ' ' || c == 0x7f) return false;  // a word never holds a space
    return true;
}

// 7TV: {id, name, flags, data{animated, host{url, files[{name, width, height, format}]}}}.
bool read_7tv(const json& e, ThirdPartyEmote* out) {
    const std::string *id = field_string(e, "id"), *name = field_string(e, "name");
    const json* data = e.contains("data") && e["data"].is_object() ? &e["data"] : nullptr;
    if (!id || !name || !data || !key_id_ok(*id) || !name_ok(*name) || !data->contains("host")) return false;
    const json& host = (*data)["host"];
    const std::string* base = field_string(host, "url");
    if (!base || !host.contains("files") || !host["files"].is_array()) return false;
    out->name = *name;
    out->key = "7tv-" + *id;
    out->zero_width = e.contains("flags") && e["flags"].is_number_integer() && (e["flags"].get<int64_t>() & 1);
    out->image.animated = data->contains("animated") && (*data)["animated"].is_boolean() && (*data)["animated"].get<bool>();
    for (const json& f : host["files"]) {
        const std::string* file = field_string(f, "name");
        if (!file) continue;
        if (*file == "1x.webp") {
            out->image.url_1x = image_url(*base + "/" + *file);
            out->w = field_px(f, "width", EMOTE_DEFAULT_PX);
            out->h = field_px(f, "height", EMOTE_DEFAULT_PX);
        } else if (*file == "2x.webp") {
            out->image.url_2x = image_url(*base + "/" + *file);
        }
    }
    return !out->image.url_1x.empty();
}

// BetterTTV: {id, code, animated?, width?, height?}; images at {cdn}/emote/ID/1x and 2x.
bool read_bttv(const json& e, const std::string& cdn, ThirdPartyEmote* out) {
    const std::string *id = field_string(e, "id"), *code = field_string(e, "code");
    if (!id || !code || !key_id_ok(*id) || !name_ok(*code)) return false;
    out->name = *code;
    out->key = "bttv-" + *id;
    out->w = field_px(e, "width", EMOTE_DEFAULT_PX);
    out->h = field_px(e, "height", EMOTE_DEFAULT_PX);
    out->image = {image_url(cdn + "/emote/" + *id + "/1x"), image_url(cdn + "/emote/" + *id + "/2x"),
                  e.contains("animated") && e["animated"].is_boolean() && e["animated"].get<bool>()};
    return !out->image.url_1x.empty();
}

// FrankerFaceZ: {id (a number), name, width, height, urls{"1","2"}, animated{"1","2"}?}.
bool read_ffz(const json& e, ThirdPartyEmote* out) {
    const std::string* name = field_string(e, "name");
    if (!e.is_object() || !e.contains("id") || !name || !name_ok(*name)) return false;
    const json& idv = e["id"];
    std::string id = idv.is_number_unsigned() ? std::to_string(idv.get<uint64_t>()) : idv.is_string() ? idv.get<std::string>() : "";
    if (!key_id_ok(id)) return false;
    bool animated = e.contains("animated") && e["animated"].is_object() && field_string(e["animated"], "1");
    const json* urls = animated ? &e["animated"] : e.contains("urls") ? &e["urls"] : nullptr;
    if (!urls) return false;
    out->name = *name;
    out->key = "ffz-" + id;
    out->w = field_px(e, "width", EMOTE_DEFAULT_PX);
    out->h = field_px(e, "height", EMOTE_DEFAULT_PX);
    const std::string *one = field_string(*urls, "1"), *two = field_string(*urls, "2");
    out->image = {one ? image_url(*one) : "", two ? image_url(*two) : "", animated};
    return !out->image.url_1x.empty();
}

// The emote lists of an answer: 7TV's emotes (a channel's under emote_set), BetterTTV's
// array or channelEmotes and sharedEmotes, FFZ's sets (globally only default_sets).
std::vector<const json*> emote_lists(EmoteProvider p, const json& a, bool channel) {
    std::vector<const json*> lists;
    auto add = [&](const json& o, const char* key) {
        if (o.is_object() && o.contains(key) && o[key].is_array()) lists.push_back(&o[key]);
    };
    if (p == EmoteProvider::SevenTv) {
        add(channel && a.is_object() && a.contains("emote_set") ? a["emote_set"] : a, "emotes");
    } else if (p == EmoteProvider::Bttv) {
        if (!channel && a.is_array()) lists.push_back(&a);
        if (channel) add(a, "channelEmotes"), add(a, "sharedEmotes");
    } else if (a.is_object() && a.contains("sets") && a["sets"].is_object()) {
        for (const auto& [set_id, set] : a["sets"].items()) {
            bool shown = channel;
            if (!channel && a.contains("default_sets") && a["default_sets"].is_array())
                for (const json& d : a["default_sets"])
                    shown = shown || (d.is_number() && std::to_string(d.get<int64_t>()) == set_id) || d == set_id;
            if (shown) add(set, "emoticons");
        }
    }
    return lists;
}

}  // namespace

const char* emote_provider_name(EmoteProvider p) {
    switch (p) {
        case EmoteProvider::SevenTv: return "7TV";
        case EmoteProvider::Bttv: return "BetterTTV";
        case EmoteProvider::Ffz: return "FrankerFaceZ";
    }
    return "?";
}

json emotes_parse_answer(const std::string& body, std::string* error) {
    size_t objects = 0;
    bool over = false;
    // Past the bound everything is discarded: the rest is only scanned, never kept.
    json::parser_callback_t keep = [&](int, json::parse_event_t event, json& parsed) {
        if (over) return false;
        if (event == json::parse_event_t::key) return kept_key(parsed.get<std::string>());
        if (event == json::parse_event_t::object_end && ++objects > EMOTE_SET_MAX * MAX_OBJECTS_PER_EMOTE) over = true;
        return !over;
    };
    json a = json::parse(body, keep, false);
    if (over) *error = "more than " + std::to_string(EMOTE_SET_MAX) + " emotes";
    else if (a.is_discarded()) *error = "not JSON";
    else return a;
    return json();
}

bool emotes_read(EmoteProvider p, const json& answer, bool channel, const std::string& bttv_cdn,
                 std::vector<ThirdPartyEmote>* out, std::string* error) {
    std::vector<const json*> lists = emote_lists(p, answer, channel);
    bool bttv_channel = p == EmoteProvider::Bttv && channel && answer.is_object();
    bool seventv_unset = p == EmoteProvider::SevenTv && channel && answer.is_object() && answer.contains("emote_set") &&
                         answer["emote_set"].is_null();  // a 7TV account with no set chosen
    if (lists.empty() && !bttv_channel && !seventv_unset) return *error = "not the provider's answer", false;
    size_t total = 0;
    for (const json* l : lists) total += l->size();
    if (total > EMOTE_SET_MAX) return *error = std::to_string(total) + " emotes, more than " + std::to_string(EMOTE_SET_MAX), false;
    out->clear();
    for (const json* l : lists)
        for (const json& e : *l) {
            ThirdPartyEmote t;
            bool ok = p == EmoteProvider::SevenTv ? read_7tv(e, &t) : p == EmoteProvider::Bttv ? read_bttv(e, bttv_cdn, &t)
                                                                                            : read_ffz(e, &t);
            if (ok) out->push_back(std::move(t));
        }
    return true;
}

void EmoteSets::set(EmoteProvider p, const std::string& room, std::vector<ThirdPartyEmote> emotes) {
    lists_[int(p)][room] = std::move(emotes);
    Table& table = merged_[room];
    table.clear();
    for (const auto& provider : lists_) {  // providers in their order: the first of a name wins
        auto it = provider.find(room);
        if (it == provider.end()) continue;
        for (const ThirdPartyEmote& e : it->second) table.emplace(e.name, e);
    }
}

const ThirdPartyEmote* EmoteSets::find(const std::string& room, std::string_view word) const {
    for (const std::string* r : {&room, static_cast<const std::string*>(nullptr)}) {
        auto t = merged_.find(r ? *r : std::string());
        if (t == merged_.end()) continue;
        auto e = t->second.find(word);
        if (e != t->second.end()) return &e->second;
    }
    return nullptr;
}

size_t EmoteSets::size(const std::string& room) const {
    auto t = merged_.find(room);
    return t == merged_.end() ? 0 : t->second.size();
}

}  // namespace emotes
