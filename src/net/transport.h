// Private to src/net: one HTTP(S) transfer, below the queue of net.cpp. One
// implementation per system, chosen by the build: transport_curl.cpp (libcurl)
// on Linux, transport_win32.cpp (WinHTTP) on Windows. Both keep one contract:
// http and https only, no redirect followed (a 3xx is the answer), no request
// body (a method other than GET says "Content-Length: 0"), TLS certificates
// verified, the connect and total bounds, the body cap FETCH_MAX_BODY_BYTES
// (each piece goes through write_callback, which prints its line and refuses
// past the cap), and transport_abort ending the transfer in flight at once.
//
// Threads: transport_perform runs on the request worker, one transfer at a
// time; transport_abort may be called from any thread; transport_start and
// transport_stop belong to the program's start and shutdown (main thread).
#pragma once

#include <string>

// What one transfer produced.
struct TransportResult {
    bool completed = false;  // an answer arrived whole; false: time-out, too large, refused, aborted, no connection
    long status = 0;         // HTTP status of a completed transfer
    std::string body;        // its body (empty when not completed)
    std::string error;       // why it did not complete, for the "[curl] transfer failed: " line
};

bool transport_start();  // Set up the library (curl_global_init, a WinHTTP session); false: stay offline
void transport_stop();   // Tear it down; no transfer runs any more
// Perform method on url (absolute, query included) within connect_ms for the
// connection and total_ms for the whole transfer.
TransportResult transport_perform(const std::string& url, const std::string& method, long connect_ms, long total_ms);
// End the transfer in flight now (it completes as not completed) and make
// every later transport_perform fail at once. For the shutdown.
void transport_abort();

