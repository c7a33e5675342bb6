// Secrets of the community service's store: random bytes and names, the link
// tokens (HMAC-SHA256 under the database's link secret, so an installation's
// token needs no row until its page is submitted), and the admin token, kept
// only as its SHA-256 (store_admin_token and store_admin_token_matches of
// store.h are defined beside these).
//
// Threads: any thread. The token functions read Store::link_secret, which is
// fixed once the store is open; load_secrets runs while opening, under the
// writer's lock.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "store/sqlite.h"

namespace store_detail {

// Reads, making them at the first start, the database's instance name and link
// secret, and the admin token's hash; a plain admin token left by an older
// version is replaced by its hash. The writer's lock is held.
void load_secrets(Store& s);
std::string random_hex(size_t bytes);  // bytes random bytes as lower-case hex
// Link tokens: 32 hex of HMAC-SHA256(secret, login id), then the id in hex.
std::string derived_link_token(const Store& s, const std::string& login_id);
// The login id a derived token was made for, or nullopt when it is not one of ours.
std::optional<std::string> link_token_id(const Store& s, const std::string& token);

}  // namespace store_detail
