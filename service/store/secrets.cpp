// Secrets of the community service's store (see secrets.h).
#include "store/secrets.h"

#include <stdexcept>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace store_detail {

namespace {

std::string to_hex(const unsigned char* p, size_t n) {
    static const char HEX[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += HEX[p[i] >> 4];
        out += HEX[p[i] & 15];
    }
    return out;
}

std::string random_bytes(size_t n) {
    std::string out(n, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), int(n)) != 1)
        throw std::runtime_error("no random bytes");
    return out;
}

// Lower-case hex into bytes ("" for anything else).
std::string from_hex(const std::string& hex) {
    auto val = [](char h) -> int { return h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10 : -1; };
    std::string out;
    if (hex.size() % 2) return "";
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = val(hex[i]), lo = val(hex[i + 1]);
        if (hi < 0 || lo < 0) return "";
        out += char(hi * 16 + lo);
    }
    return out;
}

std::string sha256(const std::string& data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    return std::string(reinterpret_cast<const char*>(md), len);
}

}  // namespace

std::string random_hex(size_t bytes) {
    std::string raw = random_bytes(bytes);
    return to_hex(reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
}

std::string random_link_code() {
    static_assert(sizeof(LINK_CODE_CHARS) - 1 == 32, "a byte's low 5 bits pick a character evenly");
    std::string raw = random_bytes(6), code;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (i == 3) code += '-';
        code += LINK_CODE_CHARS[static_cast<unsigned char>(raw[i]) & 31];
    }
    return code;
}

void load_secrets(Store& s) {
    auto inst = meta_get(s, "instance");
    if (!inst) {
        inst = random_hex(4);
        meta_put(s, "instance", *inst);
    }
    s.instance = *inst;
    // Only a hash of the admin token is kept; a plain one from an older version is replaced.
    if (auto plain = meta_get(s, "admin_token")) {
        Transaction t(s);
        meta_put(s, "admin_token_sha256", [&] {
            std::string h = sha256(*plain);
            return to_hex(reinterpret_cast<const unsigned char*>(h.data()), h.size());
        }());
        Stmt(s, "DELETE FROM meta WHERE key = 'admin_token'").run();
        t.commit();
        exec(s, "PRAGMA wal_checkpoint(TRUNCATE)");
    }
    if (auto hash = meta_get(s, "admin_token_sha256")) s.admin_hash = from_hex(*hash);
}

}  // namespace store_detail

using namespace store_detail;

std::string store_admin_token(Store& s, bool* created) {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (created) *created = false;
    if (!s.admin_hash.empty()) return "";
    std::string token = random_hex(16);
    std::string hash = sha256(token);
    meta_put(s, "admin_token_sha256", to_hex(reinterpret_cast<const unsigned char*>(hash.data()), hash.size()));
    s.admin_hash = hash;
    if (created) *created = true;
    return token;
}

bool store_admin_token_matches(Store& s, const std::string& given) {
    std::string hash = sha256(given);
    std::lock_guard<std::mutex> lock(s.mutex);
    return !s.admin_hash.empty() && s.admin_hash.size() == hash.size() &&
           CRYPTO_memcmp(s.admin_hash.data(), hash.data(), hash.size()) == 0;
}

