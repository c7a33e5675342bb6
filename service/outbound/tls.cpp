// TLS contexts, host:port and secrets for the bridges (see tls.h).
#include "outbound/tls.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace bridges {

std::shared_ptr<boost::asio::ssl::context> make_tls_context(const std::string& extra_ca_file, std::string* error) {
    namespace ssl = boost::asio::ssl;
    auto ctx = std::make_shared<ssl::context>(ssl::context::tls_client);
    boost::system::error_code ec;
    ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                     ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
    ctx->set_default_verify_paths(ec);
    if (!extra_ca_file.empty()) {
        ctx->load_verify_file(extra_ca_file, ec);
        if (ec) {
            *error = "cannot read the CA file " + extra_ca_file + ": " + ec.message();
            return nullptr;
        }
    }
    ctx->set_verify_mode(ssl::verify_peer);
    return ctx;
}

bool split_host_port(const std::string& text, std::string* host, std::string* port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    std::string h = text.substr(0, colon), p = text.substr(colon + 1);
    if (h.front() == '[') {
        if (h.size() < 3 || h.back() != ']') return false;
        h = h.substr(1, h.size() - 2);
    }
    for (char c : p)
        if (c < '0' || c > '9') return false;
    if (p.size() > 5 || std::stoi(p) == 0 || std::stoi(p) > 65535) return false;
    *host = h;
    *port = p;
    return true;
}

std::string read_secret(const std::string& file, const char* env_name, std::string* error) {
    auto trimmed = [](std::string s) {
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
        size_t b = s.find_first_not_of(' ');
        return b == std::string::npos ? std::string() : s.substr(b);
    };
    if (!file.empty()) {
        struct stat st {};
        if (stat(file.c_str(), &st) != 0) {
            *error = "cannot read " + file;
            return "";
        }
        if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
            *error = file + " can be read by other users: run chmod 600 " + file;
            return "";
        }
        std::ifstream in(file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        std::string secret = trimmed(text.str());
        if (!in || secret.empty() || secret.find('\n') != std::string::npos) {
            *error = file + " must hold the token alone on one line";
            return "";
        }
        return secret;
    }
    const char* value = env_name ? std::getenv(env_name) : nullptr;
    std::string secret = value ? trimmed(value) : "";
    if (secret.empty()) *error = std::string("no token: give a file or set ") + (env_name ? env_name : "");
    return secret;
}

}  // namespace bridges
