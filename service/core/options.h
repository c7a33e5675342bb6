// What a start of vimo-service is told: where it listens and keeps its
// database, the limits on every kind of request, the chat bridges and the
// platforms people sign in with. Filled by main.cpp from the command line,
// files and the environment (secrets never come from the command line), read
// only once the Service is made.
#pragma once

#include <string>
#include <vector>

#include "core/rate_limit.h"
#include "net/endpoints.h"  // VIMO_SERVICE_DEFAULT_PORT, VIMO_DEFAULT_BLUESKY_ACTOR

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
    // YouTube live chat through the Data API v3 (bridges/youtube): bridged when a key and a
    // channel or video are set.
    std::string youtube_key;                                // the API key (a file or VIMO_YOUTUBE_KEY)
    std::string youtube_channel;                            // UC...: its live broadcast is looked for
    std::string youtube_video;                              // a live video's id: no looking
    std::string youtube_api = "https://www.googleapis.com/youtube/v3";
    int64_t youtube_quota = 10000;                          // units a day, renewed at midnight Pacific time
    double youtube_look_s = 120;                            // between looks for a live broadcast while none is
    // Kick's chat through the public Pusher WebSocket its web client reads (bridges/kick).
    std::vector<std::string> kick_chatrooms;                // chatroom ids (digits); empty = not bridged
    std::string kick_pusher =
        "wss://ws-us2.pusher.com/app/32cbd69e4b950bf97679?protocol=7&client=js&version=8.4.0&flash=false";
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

// Emotes, colours and badges: where their lists and images come from. Every
// base is the platform's own by default; tests and self-hosters point them at
// stand-ins. Images are fetched by the service only (emotes/).
struct EmoteOptions {
    std::string twitch_cdn = "https://static-cdn.jtvnw.net";   // /emoticons/v2/...
    std::string seventv_api = "https://7tv.io/v3";              // /emote-sets/global, /users/twitch/ID
    std::string bttv_api = "https://api.betterttv.net/3";       // /cached/emotes/global, /cached/users/twitch/ID
    std::string bttv_cdn = "https://cdn.betterttv.net";         // /emote/ID/1x
    std::string ffz_api = "https://api.frankerfacez.com/v1";    // /set/global, /room/id/ID
    std::string discord_cdn = "https://cdn.discordapp.com";     // /emojis/ID.png
    std::string kick_cdn = "https://files.kick.com";            // /emotes/ID/fullsize
    std::string helix_api = "https://api.twitch.tv/helix";      // /chat/badges/global, /chat/badges?broadcaster_id=
    bool third_party = true;                                    // 7TV, BetterTTV and FrankerFaceZ
    std::string image_dir;                                      // the checked images' disk cache; "" = images/ beside the database
    int64_t image_cache_mb = 256;                               // its bound
};

// Live notices that follow Twitch by themselves: the logins' streams are asked of
// Helix with an app token (the sign-in app's client id and secret, SigninOptions;
// Helix's base is EmoteOptions::helix_api), and /api/ferncircle lists the live ones
// beside the handles set through /api/admin/live.
struct LiveOptions {
    std::vector<std::string> twitch_logins;  // the streamer and the circle; empty = nothing followed
    double period_s = 60;                    // between two asks
};

inline constexpr int SERVICE_MAX_HOLD_S = 30;  // the longest moderation hold, seconds

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
    // The streamer's own identities, "platform:id" (twitch:1234, discord:8035..., matrix:@q:example.org):
    // only their names may pass for the streamer's handle. Empty: nobody's may.
    std::vector<std::string> streamer_ids;
    // Behind a reverse proxy on this machine: the client's address is the proxy's
    // X-Real-IP header (only then; otherwise anyone could pick their own address).
    bool behind_proxy = false;
    // The wake-up channel: GET /api/wake requests held by the service itself at
    // once (each holds an HTTP thread; beyond, 503 at once); 0 turns it off (404).
    int wake_waiters = 256;
    // When not "": each new served message's value is POSTed here (nginx's Nchan
    // publisher location), which holds the companions' wake-up requests instead.
    std::string publish_url;
    // Seconds a message waits, stored but not served (chat page, wake-up), so that the
    // platform's delete, time-out, ban or clear can reach it before any desktop; 0..30.
    int hold_s = 0;
    BridgeOptions bridges;  // its tls_ca is also trusted for the sign-in providers
    SigninOptions signin;
    EmoteOptions emotes;
    LiveOptions live;
};
