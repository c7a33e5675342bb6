// Secrets of the community service's store (see secrets.h).
#include "store/secrets.h"

#include <stdexcept>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
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

bool from_hex(const std::string& hex, std::string* out) {
    auto val = [](char h) -> int {
        if (h >= '0' && h <= '9') return h - '0';
        if (h >= 'a' && h <= 'f') return h - 'a' + 10;
        return -1;
    };
    if (hex.size() % 2) return false;
    out->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = val(hex[i]), lo = val(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        *out += char(hi * 16 + lo);
    }
    return true;
}

// Link tokens: 32 hex of HMAC-SHA256(secret, login id), then the id in hex. The
// server alone can make one, so the link page needs no row until it is submitted.
constexpr size_t LINK_MAC_HEX = 32;

std::string link_mac(const Store& s, const std::string& login_id) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (!HMAC(EVP_sha256(), s.link_secret.data(), int(s.link_secret.size()),
              reinterpret_cast<const unsigned char*>(login_id.data()), login_id.size(), mac, &len))
        throw std::runtime_error("HMAC failed");
    return to_hex(mac, LINK_MAC_HEX / 2);
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

std::string derived_link_token(const Store& s, const std::string& login_id) {
    return link_mac(s, login_id) + to_hex(reinterpret_cast<const unsigned char*>(login_id.data()), login_id.size());
}

// The login id a derived token was made for, or nullopt when it is not one of ours.
std::optional<std::string> link_token_id(const Store& s, const std::string& token) {
    std::string id;
    if (token.size() <= LINK_MAC_HEX || !from_hex(token.substr(LINK_MAC_HEX), &id)) return std::nullopt;
    std::string mac = link_mac(s, id);
    if (CRYPTO_memcmp(mac.data(), token.data(), LINK_MAC_HEX) != 0) return std::nullopt;
    return id;
}

void load_secrets(Store& s) {
    auto inst = meta_get(s, "instance");
    if (!inst) {
        inst = random_hex(4);
        meta_put(s, "instance", *inst);
    }
    s.instance = *inst;
    auto secret = meta_get(s, "link_secret");
    if (!secret) {
        secret = random_hex(32);
        meta_put(s, "link_secret", *secret);
    }
    from_hex(*secret, &s.link_secret);
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
    if (auto hash = meta_get(s, "admin_token_sha256")) from_hex(*hash, &s.admin_hash);
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

