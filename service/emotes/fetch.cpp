// Fetching the third-party emote sets (see fetch.h).
#include "emotes/fetch.h"

#include <chrono>
#include <cstdio>
#include <utility>

#include <boost/asio/redirect_error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace emotes {

namespace asio = boost::asio;
using outbound::awaitable;

namespace {

constexpr size_t MAX_ROOMS = 100;  // channels whose sets are kept; a server naming more is not followed

void refused(const std::string& what, const std::string& why) {
    std::fprintf(stderr, "vimo-service: emotes: %s refused (%s); the last good set stays\n", what.c_str(),
                 why.substr(0, 200).c_str());
}

bool room_ok(const std::string& room) {
    if (room.empty() || room.size() > 20) return false;
    for (char c : room)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

// One provider's connection and the paths of its two answers.
struct EmoteFetcher::Provider {
    EmoteProvider kind;
    std::string prefix;  // the API's path under its host ("/v3")
    std::unique_ptr<bridges::HttpsClient> client;

    std::string target(const std::string& room) const {
        switch (kind) {
            case EmoteProvider::SevenTv: return prefix + (room.empty() ? "/emote-sets/global" : "/users/twitch/" + room);
            case EmoteProvider::Bttv: return prefix + (room.empty() ? "/cached/emotes/global" : "/cached/users/twitch/" + room);
            case EmoteProvider::Ffz: return prefix + (room.empty() ? "/set/global" : "/room/id/" + room);
        }
        return prefix;
    }
};

EmoteFetcher::EmoteFetcher(EmoteOptions options, std::shared_ptr<asio::ssl::context> tls, ImageCatalog* catalog,
                           EmoteSets& sets)
    : options_(std::move(options)), tls_(std::move(tls)), catalog_(catalog), sets_(sets) {}

EmoteFetcher::~EmoteFetcher() = default;

void EmoteFetcher::add_room(const std::string& room) {
    if (!room_ok(room) || rooms_.count(room) || rooms_.size() >= MAX_ROOMS) return;
    rooms_.insert(room);
    pending_.insert(room);
    if (wake_) wake_->cancel();  // run() fetches it now rather than at the next refresh
}

awaitable<void> EmoteFetcher::run() {
    auto executor = co_await asio::this_coro::executor;
    asio::steady_timer wake(executor);
    wake_ = &wake;
    struct Forget {  // the frame goes when the loop stops: add_room must not reach it after
        asio::steady_timer** wake;
        ~Forget() { *wake = nullptr; }
    } forget{&wake_};
    std::vector<Provider> providers;
    const std::string* bases[EMOTE_PROVIDERS] = {&options_.seventv_api, &options_.bttv_api, &options_.ffz_api};
    for (int i = 0; i < EMOTE_PROVIDERS; ++i) {
        bridges::BaseUrl base;
        std::string error;
        if (!bridges::parse_base_url(*bases[i], true, &base, &error)) {
            refused(std::string(emote_provider_name(EmoteProvider(i))) + "'s address", error);
            continue;
        }
        providers.push_back({EmoteProvider(i), base.prefix,
                             std::make_unique<bridges::HttpsClient>(executor, base.tls ? tls_ : nullptr, base.host, base.port)});
    }
    for (;;) {
        auto next = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                            std::chrono::duration<double>(EMOTE_REFRESH_S));
        for (Provider& p : providers) co_await fetch(p, "");
        pending_.clear();
        co_await fetch_rooms(providers, rooms_);
        while (std::chrono::steady_clock::now() < next) {
            if (!pending_.empty()) {
                co_await fetch_rooms(providers, std::exchange(pending_, {}));
                continue;
            }
            boost::system::error_code ec;  // cancelled by add_room: look at pending_ again
            wake.expires_at(next);
            co_await wake.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        }
    }
}

// rooms by value: add_room may add to the members while a fetch waits.
awaitable<void> EmoteFetcher::fetch_rooms(std::vector<Provider>& providers, std::set<std::string> rooms) {
    for (const std::string& room : rooms)
        for (Provider& p : providers) co_await fetch(p, room);
}

awaitable<void> EmoteFetcher::fetch(Provider& p, const std::string& room) {
    std::string what = std::string(emote_provider_name(p.kind)) + (room.empty() ? " global emotes" : " emotes of channel " + room);
    bridges::HttpsAnswer a = co_await p.client->get(p.target(room), "", EMOTE_ANSWER_TIMEOUT_S, EMOTE_ANSWER_MAX_BYTES);
    if (!a.error.empty()) co_return refused(what, a.error);
    if (!room.empty() && a.status == 404) co_return sets_.set(p.kind, room, {});  // not on this provider
    if (a.status != 200) co_return refused(what, "status " + std::to_string(a.status));
    std::string error;
    nlohmann::json answer = emotes_parse_answer(a.body, &error);
    std::string().swap(a.body);  // the kept fields are all that is needed from here
    std::vector<ThirdPartyEmote> emotes;
    if (!error.empty() || !emotes_read(p.kind, answer, !room.empty(), options_.bttv_cdn, &emotes, &error))
        co_return refused(what, error);
    if (catalog_)
        for (const ThirdPartyEmote& e : emotes) catalog_->learn(e.key, e.image);
    sets_.set(p.kind, room, std::move(emotes));
}

}  // namespace emotes
