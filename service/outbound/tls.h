// TLS for the bridges' client connections (Boost.Asio over OpenSSL): the
// system's trusted certificates plus an optional extra CA (--tls-ca, for tests
// and self-hosted servers), peers always verified, host names checked.
#pragma once

#include <memory>
#include <string>

#include <boost/asio/ssl.hpp>

namespace bridges {

// A client context that verifies every peer; nullptr and *error when extra_ca_file
// (may be "") cannot be read.
std::shared_ptr<boost::asio::ssl::context> make_tls_context(const std::string& extra_ca_file, std::string* error);

// Sets SNI and the host name check on a stream about to shake hands with host.
// false when the host name cannot be set.
template <class Stream>
bool prepare_tls(Stream& stream, const std::string& host) {
    if (!SSL_set_tlsext_host_name(stream.native_handle(), host.c_str())) return false;
    stream.set_verify_mode(boost::asio::ssl::verify_peer);
    stream.set_verify_callback(boost::asio::ssl::host_name_verification(host));
    return true;
}

// "host:port" or "[v6]:port" into its parts; false when malformed.
bool split_host_port(const std::string& text, std::string* host, std::string* port);

// A secret (a token) from a file that only its owner may read, or else from an
// environment variable; "" and *error when neither gives one. Refuses a file
// that others can read, naming the chmod that mends it.
std::string read_secret(const std::string& file, const char* env_name, std::string* error);

}  // namespace bridges
