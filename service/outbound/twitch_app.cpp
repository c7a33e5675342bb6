// A Twitch app's token by client credentials (see twitch_app.h).
#include "outbound/twitch_app.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "outbound/https_client.h"

namespace bridges {

namespace {
constexpr size_t TOKEN_ANSWER_MAX_BYTES = 64 * 1024;
}

TwitchAppToken::TwitchAppToken(std::string id_base, std::string client_id, std::string secret,
                               std::shared_ptr<boost::asio::ssl::context> tls)
    : id_base_(std::move(id_base)), client_id_(std::move(client_id)), secret_(std::move(secret)),
      tls_(std::move(tls)) {
    while (!id_base_.empty() && id_base_.back() == '/') id_base_.pop_back();
}

outbound::awaitable<std::string> TwitchAppToken::token(std::string* error) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!token_.empty() && std::chrono::steady_clock::now() < renew_at_) co_return token_;
    }
    co_return co_await ask(error);
}

void TwitchAppToken::refused(const std::string& used) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (token_ == used) token_.clear();  // a newer one another caller got stays
}

int64_t TwitchAppToken::grants() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return grants_;
}

outbound::awaitable<std::string> TwitchAppToken::ask(std::string* error) {
    if (!configured()) {
        *error = "no Twitch app (--twitch-client-id, --twitch-secret-file)";
        co_return "";
    }
    BaseUrl base;
    if (!parse_base_url(id_base_, true, &base, error)) co_return "";
    if (base.tls && !tls_) {
        *error = "no TLS context for " + id_base_;
        co_return "";
    }
    std::string form = "client_id=" + url_encode(client_id_) + "&client_secret=" + url_encode(secret_) +
                       "&grant_type=client_credentials";
    HttpsClient http(co_await boost::asio::this_coro::executor, base.tls ? tls_ : nullptr, base.host, base.port,
                     TWITCH_APP_CALL_TIMEOUT_S);
    HttpsAnswer a = co_await http.post_form(base.prefix + "/oauth2/token", form, TWITCH_APP_CALL_TIMEOUT_S,
                                            TOKEN_ANSWER_MAX_BYTES);
    nlohmann::json j = nlohmann::json::parse(a.body, nullptr, false);
    if (a.status != 200 || !j.is_object() || !j["access_token"].is_string() || j["access_token"].get<std::string>().empty()) {
        *error = "no Twitch app token (" + (a.status ? "HTTP " + std::to_string(a.status) : a.error) + ")";
        co_return "";
    }
    // Twitch's app tokens live about two months; one said to live less than the
    // early margin is renewed at half its life instead.
    double life_s = j["expires_in"].is_number() ? j["expires_in"].get<double>() : 3600;
    double keep_s = life_s > 2 * TWITCH_APP_EARLY_S ? life_s - TWITCH_APP_EARLY_S : std::max(0.0, life_s / 2);
    std::string token = j["access_token"].get<std::string>();
    std::lock_guard<std::mutex> lock(mutex_);
    token_ = token;
    renew_at_ = std::chrono::steady_clock::now() +
                std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(keep_s));
    ++grants_;
    co_return token;
}

}  // namespace bridges
