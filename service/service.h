// vimo-service: the community web service the companion talks to. The chat the
// platforms' bridges send in, the accounts installations are linked to through
// the browser, the live list, the blog feed and a stand-in for the one Bluesky
// method the companion calls; all over HTTP (cpp-httplib), stored in SQLite.
//
// Threads: service_create/service_bind/service_stop on the owning thread;
// service_run blocks that thread (or another) while a pool of HTTP threads runs
// the handlers, which share the store (store.h) under its lock.
//
// Where things are: service.cpp the life below; routes.cpp the table of every
// path and the companion's calls; http.h/.cpp request parsing, answers, the
// client's address and the admin token checks; actions.h/.cpp the streamer's
// actions (ingest, live list, blog, posts, delete, ban, words); pages.h/.cpp the
// HTML pages and the admin page's forms; input.h/.cpp the text helpers declared
// below and the input rules; store.h the database; rate_limit.h the limits.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "rate_limit.h"
#include "net/endpoints.h"  // VIMO_SERVICE_DEFAULT_PORT, VIMO_DEFAULT_BLUESKY_ACTOR

inline constexpr size_t SERVICE_MAX_TEXT_BYTES = 500;     // a blog field
inline constexpr size_t SERVICE_MAX_TEXT_CHARS = 500;     // one chat message or post, in code points (bridged ones are cut)
inline constexpr size_t SERVICE_MAX_NAME_BYTES = 64;      // a blocked word, the --streamer handle
inline constexpr size_t SERVICE_MAX_NAME_CHARS = 32;      // display names and senders' names, in code points
inline constexpr size_t SERVICE_MAX_ID_BYTES = 128;       // login ids, sender ids, handles
inline constexpr int SERVICE_MAX_CHAT_COUNT = 100;        // largest chat page
inline constexpr size_t SERVICE_MAX_BODY_BYTES = 64 * 1024;  // admin JSON and form bodies
inline constexpr int SERVICE_BLOG_ITEMS = 1000;           // items in blog.xml (the companion notices growth)

// Requests each account, address or bridge may make: a burst, then a steady rate.
// A request over any of its limits is answered 429 with Retry-After and changes nothing.
struct ServiceLimits {
    RateRule post_account{5, 1.0 / 3};    // composer posts of one account: 20 a minute
    RateRule post_address{20, 1};         // composer posts from one address (all its accounts)
    RateRule link_address{5, 1.0 / 30};   // link-page submissions from one address: 2 a minute
    RateRule ingest_bridge{200, 50};      // bridged messages of one platform
    RateRule ingest_sender{10, 0.5};      // bridged messages of one sender
    RateRule ingest_address{400, 100};    // bridge calls from one address
    RateRule admin_token_address{10, 10.0 / 60};  // wrong admin tokens from one address: 10 a minute
    RateRule signin_address{20, 1.0 / 6};  // sign-ins started at a platform from one address: 10 a minute
};

// The service's own chat bridges (bridges/bridge.h); a platform left empty is not bridged.
// Secrets come from files or the environment (main.cpp), never the command line.
struct BridgeOptions {
    std::vector<std::string> twitch_channels;               // without "#"; read anonymously
    std::string twitch_server = "irc.chat.twitch.tv:6697";  // HOST:PORT of its IRC over TLS
    double twitch_silence_s = 300;  // seconds without a line from the server before reconnecting (our own PING at half)
    std::string matrix_homeserver;                          // https://... base of the client-server API
    std::string matrix_token;                               // an ordinary account's access token
    std::vector<std::string> matrix_rooms;                  // room ids (!abc:server)
    std::string discord_token;                              // the bot's token
    std::vector<std::string> discord_channels;              // channel ids (snowflakes)
    std::string discord_gateway = "wss://gateway.discord.gg/?v=10&encoding=json";
    std::string tls_ca;                                     // an extra trusted CA file ("" = the system's only)
};

// Sign-in with the platforms on the link page (OAuth 2.0 authorization code). A
// platform takes part when its client id is set; with neither, the link page
// takes a typed display name instead. Secrets come from files (main.cpp).
struct SigninOptions {
    std::string twitch_client_id;                        // "" = no "Log in with Twitch"
    std::string twitch_secret;                           // the app's client secret
    std::string twitch_id_base = "https://id.twitch.tv";  // /oauth2/authorize, /oauth2/token, /oauth2/userinfo under it
    std::string discord_client_id;                       // "" = no "Log in with Discord"
    std::string discord_secret;
    std::string discord_base = "https://discord.com";    // /oauth2/authorize, /api/oauth2/token, /api/users/@me
};

struct ServiceOptions {
    std::string host = "127.0.0.1";                 // address to listen on
    int port = VIMO_SERVICE_DEFAULT_PORT;           // 0 = any free port
    std::string db_path = "data/service.db";        // SQLite file (created when missing)
    std::string origin;                             // public http(s) origin for page links; "" = http://host:port
    std::string bluesky_actor = VIMO_DEFAULT_BLUESKY_ACTOR;  // author of admin posts without "actor"
    int threads = 64;                               // HTTP worker threads kept (each open connection holds one)
    int max_threads = 1024;                         // threads added while every kept one is held (slow clients)
    ServiceLimits limits;
    int64_t keep_messages = 5000;                   // stored chat messages; older ones are deleted
    std::string streamer = "quelmara";              // the streamer's handle: no account may take it as its name
    // Behind a reverse proxy on this machine: the client's address is the proxy's
    // X-Real-IP header (only then; otherwise anyone could pick their own address).
    bool behind_proxy = false;
    // The wake-up channel: GET /api/wake requests held by the service itself at
    // once (each holds an HTTP thread; beyond, 503 at once); 0 turns it off (404).
    int wake_waiters = 256;
    // When not "": each new served message's value is POSTed here (nginx's Nchan
    // publisher location), which holds the companions' wake-up requests instead.
    std::string publish_url;
    BridgeOptions bridges;  // its tls_ca is also trusted for the sign-in providers
    SigninOptions signin;
};

struct Service;  // store + HTTP server
struct ServiceDeleter {
    void operator()(Service* s) const;  // closes the database; must not be running
};
using ServicePtr = std::unique_ptr<Service, ServiceDeleter>;

// Open the database and set up the routes; nullptr and *error on failure.
ServicePtr service_create(const ServiceOptions& options, std::string* error);
// The admin token and whether this start created it (then it is shown once); only its
// hash is stored, so later starts return "".
std::string service_admin_token(Service& s, bool* created_now);
// Bind the listening socket; returns the port (the chosen one for port 0), or -1.
int service_bind(Service& s);
// The origin page links use (known after service_bind).
std::string service_origin(Service& s);
// Start the chat bridges the options ask for (after service_bind); returns one line
// for each ("twitch: reading #chan", ...), for the start-up output.
std::vector<std::string> service_start_bridges(Service& s);
// Serve until service_stop; returns when stopped.
void service_run(Service& s);
// Wait (bounded) until service_run is serving; false when it did not start.
bool service_wait_running(Service& s, int timeout_ms);
// Stop serving and the bridges (any thread); service_run returns.
void service_stop(Service& s);
// Close the database; the Service must not be running.
void service_destroy(ServicePtr& s);

// ---- Text helpers (shared with the tests) ---------------------------------------
std::string html_escape(const std::string& text);   // & < > " ' as entities
std::string xml_escape(const std::string& text);    // same set, for the RSS file
bool valid_utf8(const std::string& text);            // well-formed UTF-8, no overlongs or surrogates
// Decode a percent-encoded query or form value; false on a malformed escape.
bool percent_decode(const std::string& in, bool plus_is_space, std::string* out);
