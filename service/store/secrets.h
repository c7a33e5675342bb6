// Secrets of the community service's store: random bytes and names, the link
// pages' codes, and the admin token, kept only as its SHA-256
// (store_admin_token and store_admin_token_matches of store.h are defined
// beside these). Link tokens are random_hex values kept in link_tokens
// (accounts.cpp): nothing of the login id can be read from one.
//
// Threads: any thread; load_secrets runs while opening, under the writer's lock.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "store/sqlite.h"

namespace store_detail {

// Reads, making them at the first start, the database's instance name and the
// admin token's hash; a plain admin token left by an older
// version is replaced by its hash. The writer's lock is held.
void load_secrets(Store& s);
std::string random_hex(size_t bytes);  // bytes random bytes as lower-case hex
// Characters of a link page's code: no 0/O, 1/I, so it reads back unambiguously.
inline constexpr char LINK_CODE_CHARS[] = "23456789ABCDEFGHJKLMNPQRSTUVWXYZ";
// A random code for a person to compare by eye, "K7Q-4MX": 6 of LINK_CODE_CHARS (30 bits).
std::string random_link_code();

}  // namespace store_detail
