// vimo-service [--host ADDR] [--port N] [--db PATH] [--origin URL] [--keep N] [--streamer NAME] [--behind-proxy]
// Starts the community service; stops on SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "service.h"

static void usage() {
    std::printf(
        "usage: vimo-service [--host ADDR] [--port N] [--db PATH] [--origin URL] [--keep N] [--streamer NAME]\n"
        "                    [--behind-proxy]\n"
        "  --host    address to listen on (default 127.0.0.1)\n"
        "  --port    port to listen on (default %d; 0 picks a free one)\n"
        "  --db      SQLite database file (default data/service.db; created when missing)\n"
        "  --origin  public http(s) origin used in page links (default http://HOST:PORT)\n"
        "  --keep    chat messages kept; older ones are deleted (default 5000)\n"
        "  --streamer  the streamer's handle, which no account may take as its name (default quelmara)\n"
        "  --behind-proxy  take the client's address from the X-Real-IP header of a proxy on this\n"
        "                  machine (only behind one: anyone can send that header)\n",
        VIMO_SERVICE_DEFAULT_PORT);
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
        std::string value = argv[++i];
        if (arg == "--host") {
            options->host = value;
        } else if (arg == "--port") {
            char* end = nullptr;
            long port = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || port < 0 || port > 65535) {
                std::fprintf(stderr, "vimo-service: bad port %s\n", value.c_str());
                return 64;
            }
            options->port = int(port);
        } else if (arg == "--db") {
            options->db_path = value;
        } else if (arg == "--origin") {
            if (value.rfind("http://", 0) != 0 && value.rfind("https://", 0) != 0) {
                std::fprintf(stderr, "vimo-service: --origin must start with http:// or https://\n");
                return 64;
            }
            options->origin = value;
        } else if (arg == "--keep") {
            char* end = nullptr;
            long long keep = std::strtoll(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || keep < 1 || keep > 100000000) {
                std::fprintf(stderr, "vimo-service: --keep must be a count from 1 to 100000000\n");
                return 64;
            }
            options->keep_messages = keep;
        } else if (arg == "--streamer") {
            if (value.empty() || value.size() > SERVICE_MAX_NAME_BYTES) {
                std::fprintf(stderr, "vimo-service: --streamer must be 1 to 64 bytes\n");
                return 64;
            }
            options->streamer = value;
        } else {
            std::fprintf(stderr, "vimo-service: unknown option %s\n", arg.c_str());
            usage();
            return 64;
        }
    }
    return -1;
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
