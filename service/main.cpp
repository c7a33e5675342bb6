// vimo-service [--host ADDR] [--port N] [--db PATH] [--origin URL] [--keep N] [--streamer NAME]
//              [--streamer-ids twitch:ID,discord:ID,matrix:@id:server] [--behind-proxy]
//              [--wake-waiters N] [--publish-url URL] [bridge, sign-in and emote options: see usage()]
// Starts the community service; stops on SIGINT or SIGTERM.
#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <vector>

#include "outbound/tls.h"
#include "service.h"

static void usage() {
    std::printf(
        "usage: vimo-service [--host ADDR] [--port N] [--db PATH] [--origin URL] [--keep N] [--streamer NAME]\n"
        "                    [--streamer-ids LIST] [--behind-proxy] [bridge options below]\n"
        "  --host    address to listen on (default 127.0.0.1)\n"
        "  --port    port to listen on (default %d; 0 picks a free one)\n"
        "  --db      SQLite database file (default data/service.db; created when missing)\n"
        "  --origin  public http(s) origin used in page links (default http://HOST:PORT)\n"
        "  --keep    chat messages kept; older ones are deleted (default 5000)\n"
        "  --streamer  the streamer's handle, which no account may take as its name (default quelmara)\n"
        "  --streamer-ids twitch:ID,discord:ID,matrix:@id:server  the streamer's own platform identities:\n"
        "                  only their names may show as the streamer's handle (default none)\n"
        "  --behind-proxy  take the client's address from the X-Real-IP header of a proxy on this\n"
        "                  machine (only behind one: anyone can send that header)\n"
        "  --wake-waiters N  companions whose wake-up request (/api/wake) the service holds itself\n"
        "                  at once (default 256; each holds a thread; 0: no channel, 404)\n"
        "  --publish-url URL  POST each new chat message's value to nginx's Nchan publisher\n"
        "                  location (http://127.0.0.1:8788/publish), which holds the crowd's requests\n"
        "chat bridges (secrets only from files only you can read, or the environment):\n"
        "  --twitch CHANNEL[,CHANNEL...]   read these Twitch channels' chat (anonymously)\n"
        "  --twitch-server HOST:PORT       Twitch's IRC over TLS (default irc.chat.twitch.tv:6697)\n"
        "  --matrix-homeserver URL         a Matrix homeserver (https://...)\n"
        "  --matrix-token-file FILE        the account's access token (or VIMO_MATRIX_TOKEN)\n"
        "  --matrix-rooms ID[,ID...]       the rooms to read (!id:server)\n"
        "  --discord-token-file FILE       the bot's token (or VIMO_DISCORD_TOKEN)\n"
        "  --discord-channels ID[,ID...]   the channels to read\n"
        "  --discord-gateway URL           Discord's gateway (default wss://gateway.discord.gg/?v=10&encoding=json)\n"
        "  --youtube-key-file FILE         a YouTube Data API v3 key (or VIMO_YOUTUBE_KEY)\n"
        "  --youtube-channel UC...         read the live chat of this channel's live broadcast, whenever it is live\n"
        "  --youtube-video ID              read the live chat of this video only\n"
        "  --youtube-api URL               the Data API's base (default https://www.googleapis.com/youtube/v3)\n"
        "  --youtube-quota UNITS           the key's units a day, renewed at midnight Pacific (default 10000)\n"
        "  --youtube-look SECONDS          between looks for a live broadcast while none is (default 120)\n"
        "  --kick-chatroom ID[,ID...]      read these Kick chatrooms (ids in digits; see README)\n"
        "  --kick-pusher URL               the Pusher WebSocket Kick's chat is read from (default\n"
        "                                  wss://ws-us2.pusher.com/app/32cbd69e4b950bf97679?protocol=7&...)\n"
        "  --tls-ca FILE                   also trust this CA (self-hosted servers, tests, sign-in providers)\n"
        "sign-in with the platforms on the link page (without a client id: a typed name, unverified):\n"
        "  --twitch-client-id ID           the Twitch app's client id (redirect: ORIGIN/auth/twitch/callback)\n"
        "  --twitch-secret-file FILE       its client secret\n"
        "  --twitch-id-base URL            Twitch's OAuth server: /oauth2/authorize, /oauth2/token and\n"
        "                                  /oauth2/userinfo under it (default https://id.twitch.tv)\n"
        "  --discord-client-id ID          the Discord app's client id (redirect: ORIGIN/auth/discord/callback)\n"
        "  --discord-secret-file FILE      its client secret\n"
        "  --discord-base URL              Discord: /oauth2/authorize, /api/oauth2/token and /api/users/@me\n"
        "                                  under it (default https://discord.com)\n"
        "  (a base may be http:// only on this machine: 127.0.0.1, ::1, localhost)\n"
        "emotes, colours and badges (the platforms' own by default; a base may be http:// on this machine):\n"
        "  --third-party-emotes on|off     7TV, BetterTTV and FrankerFaceZ emotes in Twitch chat (default on)\n"
        "  --seventv-api URL               7TV's API (default https://7tv.io/v3)\n"
        "  --bttv-api URL                  BetterTTV's API (default https://api.betterttv.net/3)\n"
        "  --bttv-cdn URL                  BetterTTV's images (default https://cdn.betterttv.net)\n"
        "  --ffz-api URL                   FrankerFaceZ's API (default https://api.frankerfacez.com/v1)\n"
        "  --twitch-cdn URL                Twitch's emote images (default https://static-cdn.jtvnw.net)\n"
        "  --discord-cdn URL               Discord's custom emoji images (default https://cdn.discordapp.com)\n"
        "  --kick-cdn URL                  Kick's emote images (default https://files.kick.com)\n"
        "  --helix-api URL                 Twitch's Helix API, for badges and live notices (default https://api.twitch.tv/helix)\n"
        "  --image-dir DIR                 the checked images' disk cache (default: images/ beside --db)\n"
        "  --image-cache-mb N              its bound in MiB (default 256)\n"
        "live notices and moderation:\n"
        "  --live-twitch LOGIN[,LOGIN...]  Twitch logins (the streamer and the circle) whose streams\n"
        "                                  /api/ferncircle lists while live; needs the Twitch app above\n"
        "  --live-period SECONDS           between two asks of Helix (default 60, 1 to 3600)\n"
        "  --hold SECONDS                  messages wait this long, stored but not served, so a delete,\n"
        "                                  time-out, ban or clear reaches them first (default 0, at most 30)\n",
        VIMO_SERVICE_DEFAULT_PORT);
}

// "a,b,,c" into its non-empty parts.
static std::vector<std::string> split_list(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        if (comma > start) out.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return out;
}

// A bridge's option: true when arg was one (its value read into *b, or *error set).
static bool bridge_arg(const std::string& arg, const std::string& value, BridgeOptions* b, std::string* error) {
    if (arg == "--twitch") {
        for (std::string c : split_list(value)) b->twitch_channels.push_back(c[0] == '#' ? c.substr(1) : c);
    } else if (arg == "--twitch-server") {
        b->twitch_server = value;
    } else if (arg == "--matrix-homeserver") {
        b->matrix_homeserver = value;
    } else if (arg == "--matrix-token-file") {
        b->matrix_token = bridges::read_secret(value, nullptr, error);
    } else if (arg == "--matrix-rooms") {
        b->matrix_rooms = split_list(value);
    } else if (arg == "--discord-token-file") {
        b->discord_token = bridges::read_secret(value, nullptr, error);
    } else if (arg == "--discord-channels") {
        b->discord_channels = split_list(value);
    } else if (arg == "--discord-gateway") {
        b->discord_gateway = value;
    } else if (arg == "--youtube-key-file") {
        b->youtube_key = bridges::read_secret(value, nullptr, error);
    } else if (arg == "--youtube-channel") {
        b->youtube_channel = value;
    } else if (arg == "--youtube-video") {
        b->youtube_video = value;
    } else if (arg == "--youtube-api") {
        b->youtube_api = value;
    } else if (arg == "--youtube-quota" || arg == "--youtube-look") {
        char* end = nullptr;
        long long n = std::strtoll(value.c_str(), &end, 10);
        bool quota = arg == "--youtube-quota";
        if (value.empty() || *end != '\0' || n < (quota ? 10 : 1) || n > (quota ? 1000000000LL : 86400))
            *error = quota ? "--youtube-quota must be a count of units from 10"
                           : "--youtube-look must be 1 to 86400 seconds";
        else if (quota)
            b->youtube_quota = n;
        else
            b->youtube_look_s = double(n);
    } else if (arg == "--kick-chatroom") {
        b->kick_chatrooms = split_list(value);
        for (const std::string& id : b->kick_chatrooms)
            if (id.empty() || id.size() > 20 || id.find_first_not_of("0123456789") != std::string::npos)
                *error = "--kick-chatroom takes chatroom ids in digits: " + id;
        if (b->kick_chatrooms.empty()) *error = "--kick-chatroom needs at least one chatroom id";
    } else if (arg == "--kick-pusher") {
        b->kick_pusher = value;
    } else if (arg == "--tls-ca") {
        b->tls_ca = value;
    } else {
        return false;
    }
    return true;
}

// A sign-in option: true when arg was one (its value read into *o, or *error set).
static bool signin_arg(const std::string& arg, const std::string& value, SigninOptions* o, std::string* error) {
    if (arg == "--twitch-client-id") {
        o->twitch_client_id = value;
    } else if (arg == "--twitch-secret-file") {
        o->twitch_secret = bridges::read_secret(value, nullptr, error);
    } else if (arg == "--twitch-id-base") {
        o->twitch_id_base = value;
    } else if (arg == "--discord-client-id") {
        o->discord_client_id = value;
    } else if (arg == "--discord-secret-file") {
        o->discord_secret = bridges::read_secret(value, nullptr, error);
    } else if (arg == "--discord-base") {
        o->discord_base = value;
    } else {
        return false;
    }
    return true;
}

// An emote, colour or badge option: true when arg was one (its value read into *o, or *error set).
static bool emote_arg(const std::string& arg, const std::string& value, EmoteOptions* o, std::string* error) {
    std::string* base = arg == "--twitch-cdn"    ? &o->twitch_cdn
                        : arg == "--seventv-api" ? &o->seventv_api
                        : arg == "--bttv-api"    ? &o->bttv_api
                        : arg == "--bttv-cdn"    ? &o->bttv_cdn
                        : arg == "--ffz-api"     ? &o->ffz_api
                        : arg == "--discord-cdn" ? &o->discord_cdn
                        : arg == "--kick-cdn"    ? &o->kick_cdn
                        : arg == "--helix-api"   ? &o->helix_api
                                                 : nullptr;
    if (base) {
        // Trailing slashes go: paths are added to the base as "/...".
        std::string url = value;
        while (!url.empty() && url.back() == '/') url.pop_back();
        if (url.rfind("https://", 0) == 0 || url.rfind("http://", 0) == 0) *base = url;
        else *error = arg + " must be an http(s):// address";
        return true;
    }
    if (arg != "--third-party-emotes") return false;
    if (value == "on" || value == "off") o->third_party = value == "on";
    else *error = "--third-party-emotes must be on or off";
    return true;
}

// Secrets from the environment where no file gave one, and a bridge or sign-in
// asked for with a part missing refused.
static int check_secrets(BridgeOptions* b, const SigninOptions& s) {
    std::string ignored;
    if (!b->matrix_homeserver.empty() && b->matrix_token.empty())
        b->matrix_token = bridges::read_secret("", "VIMO_MATRIX_TOKEN", &ignored);
    if (!b->discord_channels.empty() && b->discord_token.empty())
        b->discord_token = bridges::read_secret("", "VIMO_DISCORD_TOKEN", &ignored);
    bool youtube = !b->youtube_channel.empty() || !b->youtube_video.empty();
    if (youtube && b->youtube_key.empty()) b->youtube_key = bridges::read_secret("", "VIMO_YOUTUBE_KEY", &ignored);
    const char* missing = nullptr;
    if (s.twitch_client_id.empty() != s.twitch_secret.empty())
        missing = "--twitch-client-id and --twitch-secret-file go together";
    else if (s.discord_client_id.empty() != s.discord_secret.empty())
        missing = "--discord-client-id and --discord-secret-file go together";
    else if (!b->matrix_homeserver.empty() && b->matrix_token.empty())
        missing = "--matrix-homeserver needs --matrix-token-file or VIMO_MATRIX_TOKEN";
    else if (!b->matrix_homeserver.empty() && b->matrix_rooms.empty())
        missing = "--matrix-homeserver needs --matrix-rooms";
    else if (!b->discord_token.empty() && b->discord_channels.empty())
        missing = "a Discord token needs --discord-channels";
    else if (!b->discord_channels.empty() && b->discord_token.empty())
        missing = "--discord-channels needs --discord-token-file or VIMO_DISCORD_TOKEN";
    else if (youtube && b->youtube_key.empty())
        missing = "--youtube-channel or --youtube-video needs an API key: --youtube-key-file FILE or VIMO_YOUTUBE_KEY";
    else if (!youtube && !b->youtube_key.empty())
        missing = "a YouTube key needs --youtube-channel or --youtube-video";
    else if (!b->youtube_channel.empty() && !b->youtube_video.empty())
        missing = "--youtube-channel and --youtube-video do not go together: give one";
    if (!missing) return -1;
    std::fprintf(stderr, "vimo-service: %s\n", missing);
    return 64;
}

// A whole number from low to high in value; false when it is anything else.
static bool whole_number(const std::string& value, long long low, long long high, long long* out) {
    char* end = nullptr;
    long long n = std::strtoll(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || n < low || n > high) return false;
    *out = n;
    return true;
}

// --live-twitch's logins, lower-cased, each once: Twitch logins are [a-z0-9_]{1,25}.
static void live_logins(const std::string& value, std::vector<std::string>* out, std::string* error) {
    for (std::string login : split_list(value)) {
        for (char& c : login) c = char(std::tolower((unsigned char)c));
        bool ok = login.size() <= 25;
        for (char c : login) ok = ok && ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_');
        if (!ok) {
            *error = "--live-twitch: not a Twitch login (1 to 25 of a-z 0-9 _): " + login;
            return;
        }
        if (std::find(out->begin(), out->end(), login) == out->end()) out->push_back(login);
    }
    if (out->empty()) *error = "--live-twitch needs at least one login";
}

// The service's own options (not the bridges' or sign-in's): false when arg is
// none of them; *error set when its value is refused.
static bool service_arg(const std::string& arg, const std::string& value, ServiceOptions* o, std::string* error) {
    long long n = 0;
    if (arg == "--host") {
        o->host = value;
    } else if (arg == "--port") {
        if (whole_number(value, 0, 65535, &n)) o->port = int(n);
        else *error = "bad port " + value;
    } else if (arg == "--wake-waiters") {
        if (whole_number(value, 0, 512, &n)) o->wake_waiters = int(n);
        else *error = "--wake-waiters must be a count from 0 to 512";
    } else if (arg == "--publish-url") {
        o->publish_url = value;
    } else if (arg == "--db") {
        o->db_path = value;
    } else if (arg == "--origin") {
        if (value.rfind("http://", 0) == 0 || value.rfind("https://", 0) == 0) o->origin = value;
        else *error = "--origin must start with http:// or https://";
    } else if (arg == "--keep") {
        if (whole_number(value, 1, 100000000, &n)) o->keep_messages = n;
        else *error = "--keep must be a count from 1 to 100000000";
    } else if (arg == "--streamer") {
        if (!value.empty() && value.size() <= SERVICE_MAX_NAME_BYTES) o->streamer = value;
        else *error = "--streamer must be 1 to 64 bytes";
    } else if (arg == "--image-dir") {
        if (!value.empty()) o->emotes.image_dir = value;
        else *error = "--image-dir must name a folder";
    } else if (arg == "--image-cache-mb") {
        if (whole_number(value, 1, 1 << 20, &n)) o->emotes.image_cache_mb = n;
        else *error = "--image-cache-mb must be a count from 1 to 1048576";
    } else if (arg == "--streamer-ids") {
        service_detail::parse_streamer_ids(value, &o->streamer_ids, error);
    } else if (arg == "--hold") {
        if (whole_number(value, 0, SERVICE_MAX_HOLD_S, &n)) o->hold_s = int(n);
        else *error = "--hold must be whole seconds from 0 to " + std::to_string(SERVICE_MAX_HOLD_S);
    } else if (arg == "--live-period") {
        if (whole_number(value, 1, 3600, &n)) o->live.period_s = double(n);
        else *error = "--live-period must be whole seconds from 1 to 3600";
    } else if (arg == "--live-twitch") {
        live_logins(value, &o->live.twitch_logins, error);
    } else {
        return false;
    }
    return true;
}

// Reads the command line into *options: -1 to go on, otherwise the exit code
// (0 after --help; 64 for a bad command line, its message printed).
static int parse_args(int argc, char** argv, ServiceOptions* options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        }
        if (arg == "--behind-proxy") {
            options->behind_proxy = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "vimo-service: %s needs a value\n", arg.c_str());
            usage();
            return 64;
        }
        std::string value = argv[++i], error;
        if (!bridge_arg(arg, value, &options->bridges, &error) && !signin_arg(arg, value, &options->signin, &error) &&
            !emote_arg(arg, value, &options->emotes, &error) && !service_arg(arg, value, options, &error)) {
            std::fprintf(stderr, "vimo-service: unknown option %s\n", arg.c_str());
            usage();
            return 64;
        }
        if (!error.empty()) {
            std::fprintf(stderr, "vimo-service: %s\n", error.c_str());
            return 64;
        }
    }
    if (!options->live.twitch_logins.empty() && options->signin.twitch_client_id.empty()) {
        std::fprintf(stderr, "vimo-service: --live-twitch asks Helix with the Twitch app's token: it needs "
                             "--twitch-client-id and --twitch-secret-file (register an app at dev.twitch.tv/console)\n");
        return 64;
    }
    return check_secrets(&options->bridges, options->signin);
}

int main(int argc, char** argv) {
    ServiceOptions options;
    if (int code = parse_args(argc, argv, &options); code >= 0) return code;

    std::filesystem::path dir = std::filesystem::path(options.db_path).parent_path();
    std::error_code ec;
    if (!dir.empty()) std::filesystem::create_directories(dir, ec);

    // Signals are taken by sigwait below, not by a handler running inside the server.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::string error;
    ServicePtr service = service_create(options, &error);
    if (!service) {
        std::fprintf(stderr, "vimo-service: cannot open %s: %s\n", options.db_path.c_str(), error.c_str());
        return 1;
    }
    bool created = false;
    std::string token = service_admin_token(*service, &created);
    if (created) {
        std::printf("vimo-service: admin token (shown once, keep it): %s\n", token.c_str());
    }
    if (service_bind(*service) < 0) {
        std::fprintf(stderr, "vimo-service: cannot listen on %s:%d\n", options.host.c_str(), options.port);
        service_destroy(service);
        return 1;
    }
    std::printf("vimo-service: listening on %s (database %s)\n", service_origin(*service).c_str(),
                options.db_path.c_str());
    if (!options.publish_url.empty())
        std::printf("vimo-service: wake-up channel: new messages published to %s\n", options.publish_url.c_str());
    else if (options.wake_waiters > 0)
        std::printf("vimo-service: wake-up channel: /api/wake held here for up to %d companions\n", options.wake_waiters);
    for (const std::string& line : service_start_bridges(*service)) std::printf("vimo-service: %s\n", line.c_str());
    std::fflush(stdout);

    std::thread server([&] { service_run(*service); });
    int sig = 0;
    sigwait(&signals, &sig);
    std::printf("vimo-service: stopping (signal %d)\n", sig);
    service_stop(*service);
    server.join();
    service_destroy(service);
    return 0;
}
