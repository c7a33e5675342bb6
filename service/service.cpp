// The Service's life of vimo-service: create (store, HTTP settings, routes),
// bind, run, stop and destroy. What it answers is in handlers/ (service.h
// lists the folders).
#include "service.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>

#include "chat/incoming.h"
#include "emotes/image_key.h"
#include "handlers/routes.h"
#include "handlers/server.h"
#include "http/connections.h"
#include "outbound/tls.h"
#include "outbound/twitch_app.h"
#include "text/text.h"

// The wake-up channel and the Nchan publisher learn of every served message:
// from the store's writer at once, or under a hold from the release thread once
// the hold is over, then only of the newest message served by then (one deleted
// within its hold never is). announced: the newest served at start.
static void announce_when_served(Service& s, int64_t announced) {
    Service* sp = &s;
    if (s.options.hold_s <= 0) {
        store_on_served(*s.store, [sp](int64_t seq) {
            std::string message = chat_message_value(*sp, seq);
            sp->wake.announce(message);
            sp->publisher.publish(message);
        });
        return;
    }
    s.hold.start(std::chrono::seconds(s.options.hold_s), [sp, announced]() mutable {
        std::vector<StoredMessage> newest = store_chat_page(*sp->store, 1);
        if (newest.empty() || newest.back().seq <= announced) return;
        announced = newest.back().seq;
        std::string message = chat_message_value(*sp, announced);
        sp->wake.announce(message);
        sp->publisher.publish(message);
    });
    store_on_served(*s.store, [sp](int64_t) { sp->hold.stored(); });
    s.hold.stored();  // messages stored within the hold before a restart are announced when theirs ends
}

ServicePtr service_create(const ServiceOptions& options, std::string* error) {
    ServicePtr s(new Service);
    s->options = options;
    s->store = store_open(options.db_path, error);
    if (!s->store) return nullptr;
    s->admin_token = store_admin_token(*s->store, &s->token_created);
    store_set_keep(*s->store, options.keep_messages);
    s->streamer = name_keys(options.streamer);
    // The images' disk cache lives beside the database unless placed elsewhere.
    EmoteOptions emotes = options.emotes;
    if (emotes.image_dir.empty()) {
        size_t slash = options.db_path.find_last_of('/');
        emotes.image_dir = (slash == std::string::npos ? "" : options.db_path.substr(0, slash + 1)) + "images";
    }
    s->options.emotes = emotes;
    s->catalog = std::make_shared<ImageCatalog>(emotes);
    size_t threads = size_t(std::max(4, options.threads)), most = size_t(std::max(options.threads, options.max_threads));
    s->http.new_task_queue = [threads, most] { return new service_detail::WorkerPool(threads, most); };
    Service* sp = s.get();
    // The listening socket: httplib's options, both address families on "::", and
    // its descriptor kept so service_bind can raise the backlog.
    s->http.set_socket_options([sp](socket_t sock) {
        httplib::default_socket_options(sock);
        int domain = 0, no = 0;
        socklen_t len = sizeof domain;
        if (getsockopt(sock, SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0 && domain == AF_INET6)
            setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
        sp->listen_fd = sock;
    });
    // Headers in: the body and the answer are due; answered: the next request's headers are.
    s->http.set_pre_routing_handler([sp](const httplib::Request& req, httplib::Response&) {
        sp->deadline.request_read(req.remote_addr, req.remote_port);
        return httplib::Server::HandlerResponse::Unhandled;
    });
    s->http.set_logger([sp](const httplib::Request& req, const httplib::Response&) {
        sp->deadline.answered(req.remote_addr, req.remote_port);
    });
    s->http.set_payload_max_length(SERVICE_MAX_BODY_BYTES);
    s->http.set_keep_alive_max_count(10000);
    s->http.set_tcp_nodelay(true);  // headers and body go out in separate writes: no 40 ms Nagle stall
    s->http.set_read_timeout(5, 0);
    s->http.set_write_timeout(5, 0);
    if (!service_detail::signin_setup(*s, options, error)) return nullptr;
    // Emote and badge images come from https CDNs (or a loopback stand-in).
    auto image_tls = bridges::make_tls_context(options.bridges.tls_ca, error);
    if (!image_tls) return nullptr;
    s->twitch_app = std::make_shared<bridges::TwitchAppToken>(options.signin.twitch_id_base, options.signin.twitch_client_id,
                                                               options.signin.twitch_secret, image_tls);
    s->images = std::make_unique<ImageStore>(s->catalog, s->twitch_app, image_tls);
    service_detail::add_routes(*s);
    store_set_hold(*s->store, int64_t(std::clamp(options.hold_s, 0, SERVICE_MAX_HOLD_S)) * 1000);
    std::vector<StoredMessage> newest = store_chat_page(*s->store, 1);
    s->wake.start(newest.empty() ? "" : chat_message_value(*s, newest.back().seq),
                  std::min(size_t(std::max(0, options.wake_waiters)), most / 2));  // half the pool stays for the rest
    if (!options.publish_url.empty() && !s->publisher.start(options.publish_url, error)) return nullptr;
    announce_when_served(*s, newest.empty() ? 0 : newest.back().seq);
    return s;
}

std::string service_admin_token(Service& s, bool* created_now) {
    if (created_now) *created_now = s.token_created;
    return s.admin_token;
}

int service_bind(Service& s) {
    if (s.options.port == 0) {
        s.port = s.http.bind_to_any_port(s.options.host);
    } else {
        s.port = s.http.bind_to_port(s.options.host, s.options.port) ? s.options.port : -1;
    }
    if (s.port < 0) return -1;
    if (!service_detail::raise_backlog(s.listen_fd, service_detail::LISTEN_BACKLOG))
        std::fprintf(stderr, "vimo-service: the listen backlog stays at httplib's 5\n");
    s.origin = s.options.origin;
    while (!s.origin.empty() && s.origin.back() == '/') s.origin.pop_back();
    if (s.origin.empty()) {
        std::string host = s.options.host == "0.0.0.0" ? "127.0.0.1" : s.options.host;
        if (host.find(':') != std::string::npos) host = "[" + host + "]";  // an IPv6 address
        s.origin = "http://" + host + ":" + std::to_string(s.port);
    }
    return s.port;
}

std::string service_origin(Service& s) { return s.origin; }

void service_run(Service& s) {
    s.deadline.start(s.port);
    s.http.listen_after_bind();
    s.deadline.stop();
}

bool service_wait_running(Service& s, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!s.http.is_running()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

std::vector<std::string> service_start_bridges(Service& s) {
    std::vector<std::string> lines;
    s.bridges = bridges::make_bridges(s, s.options.bridges);
    for (auto& b : s.bridges) {
        nlohmann::json r = b->report().to_json();
        // A bridge that cannot start says why; the rest of the service runs.
        if (b->start())
            lines.push_back(b->report().platform() + ": reading " + r["reads"].get<std::string>());
        else
            lines.push_back(b->report().platform() + ": not started: " + b->report().to_json()["last_error"].get<std::string>());
    }
    return lines;
}

static void stop_bridges(Service& s) {
    for (auto& b : s.bridges) {
        b->stop();
        b->report().stopped();
    }
}

void service_stop(Service& s) {
    s.wake.close();  // held requests are answered, so the HTTP threads can end
    s.signin_calls.stop();  // and sign-in callbacks stop waiting for their provider
    if (s.images) s.images->stop();  // and image requests their source
    s.http.stop();
    stop_bridges(s);
}

// The bridges end before the store they write to closes.
void ServiceDeleter::operator()(Service* s) const {
    stop_bridges(*s);
    s->wake.close();
    if (s->store) store_on_served(*s->store, nullptr);
    s->hold.stop();  // its release reads the store and tells the publisher
    s->publisher.stop();
    delete s;
}

void service_destroy(ServicePtr& s) { s.reset(); }
