// One GET of a whole URL (see get.h).
#include "emotes/get.h"

#include <boost/asio/this_coro.hpp>

bool emote_split_url(const std::string& url, bridges::BaseUrl* base, std::string* target, std::string* error) {
    size_t scheme = url.find("://");
    size_t path = scheme == std::string::npos ? std::string::npos : url.find_first_of("/?", scheme + 3);
    std::string root = path == std::string::npos ? url : url.substr(0, path);
    *target = path == std::string::npos ? "/" : url.substr(path);
    if (target->front() == '?') target->insert(0, "/");
    for (unsigned char c : *target)
        if (c <= ' ' || c >= 0x7f) {  // a provider's URL goes into a request line as it is
            *error = "a URL with spaces or control characters: " + url;
            return false;
        }
    return bridges::parse_base_url(root, true, base, error);
}

outbound::awaitable<bridges::HttpsAnswer> emote_get(std::shared_ptr<boost::asio::ssl::context> tls, std::string url,
                                                    std::string token,
                                                    std::vector<std::pair<std::string, std::string>> headers,
                                                    double timeout_s, size_t max_body) {
    bridges::HttpsAnswer answer;
    bridges::BaseUrl base;
    std::string target;
    if (!emote_split_url(url, &base, &target, &answer.error)) co_return answer;
    if (base.tls && !tls) {
        answer.error = "no TLS for " + url;
        co_return answer;
    }
    bridges::HttpsClient http(co_await boost::asio::this_coro::executor, base.tls ? tls : nullptr, base.host, base.port,
                              timeout_s);
    for (auto& [name, value] : headers) http.add_header(name, value);
    answer = co_await http.get(target, token, timeout_s, max_body);
    co_return answer;
}
