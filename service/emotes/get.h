// One GET of a whole URL for the emote and badge images and Helix's lists,
// through the service's outbound client: https, or plain http to this machine
// only (a test's stand-in), as outbound/https_client.h allows.
//
// Threads: on the event loop of the coroutine that awaits it.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/ssl.hpp>

#include "outbound/https_client.h"

// url split into HttpsClient's base and the target under it ("/path?query");
// false and *error when url is no address the client may call.
bool emote_split_url(const std::string& url, bridges::BaseUrl* base, std::string* target, std::string* error);

// GET url with an optional bearer token and headers; the answer within timeout_s,
// its body at most max_body bytes (cut off while reading, never buffered past).
// A bad url comes back as an answer with status 0 and the error.
outbound::awaitable<bridges::HttpsAnswer> emote_get(std::shared_ptr<boost::asio::ssl::context> tls, std::string url,
                                                    std::string token,
                                                    std::vector<std::pair<std::string, std::string>> headers,
                                                    double timeout_s, size_t max_body);
