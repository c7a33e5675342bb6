// The chat bridges' figures, each against a baseline in the same run:
//   BM_TwitchFlood        messages a second the bridge stores from a flood of the
//                         scripted Twitch server (service/tests/scripted) over TLS,
//                         the limits raised so that every message is stored;
//   BM_KickFlood          the same for the Kick bridge from the scripted Pusher
//                         server (each frame JSON with its data as JSON text);
//   BM_IngestHttp         the same number of messages sent to /api/ingest over HTTP
//                         one after another on one kept-alive connection (how a bot
//                         outside the service feeds it);
//   BM_RestartToMessage   seconds from the server's kill to the first message stored
//                         after it is started again on the same port (the back-off's
//                         first step, 0.5 to 1 s, plus reconnecting and joining).
// items_per_second is messages a second; the restart case's time is that delay.
#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>

#include "bridge_test_util.h"
#include "discord_gateway_util.h"
#include "handlers/server.h"
#include "http/http.h"
#include "service.h"

namespace {

using namespace bridge_test;

constexpr int FLOOD = 5000;  // messages per iteration

// A service on a loopback port with the bridge reading #bench from a scripted server.
struct Bench {
    std::string dir;
    std::unique_ptr<ScriptedTwitch> server;
    ServicePtr service;
    std::thread thread;
    std::string token;
    int port = 0;

    Bench() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vimo-twitch-bench-XXXXXX").string();
        dir = mkdtemp(tmpl.data());
        server = std::make_unique<ScriptedTwitch>(dir + "/certs");
        if (!server->ok()) std::abort();
        ServiceOptions o;
        o.port = 0;
        o.db_path = dir + "/service.db";
        o.threads = 8;
        o.keep_messages = 1000000;
        RateRule open{1e9, 1e9};
        o.limits.ingest_bridge = o.limits.ingest_sender = o.limits.ingest_address = open;
        o.bridges.twitch_channels = {"bench"};
        o.bridges.twitch_server = "localhost:" + std::to_string(server->port());
        o.bridges.tls_ca = server->ca();
        std::string error;
        service = service_create(o, &error);
        bool created = false;
        token = service_admin_token(*service, &created);
        port = service_bind(*service);
        thread = std::thread([this] { service_run(*service); });
        service_wait_running(*service, 10000);
        service_start_bridges(*service);
        if (!wait_until(30, [&] { return server->joined({"#bench"}); })) std::abort();
    }
    ~Bench() {
        service_stop(*service);
        thread.join();
        service_destroy(service);
        server.reset();
        std::filesystem::remove_all(dir);
    }
    int64_t stored() { return service->bridges[0]->report().stored(); }
};

void BM_TwitchFlood(benchmark::State& state) {
    Bench b;
    int round = 0;
    for (auto _ : state) {
        int64_t before = b.stored();
        auto t0 = Clock::now();
        b.server->control({{"cmd", "flood"}, {"count", FLOOD}, {"senders", 1000}, {"channel", "#bench"},
                           {"prefix", "r" + std::to_string(round++)}});
        while (b.stored() < before + FLOOD) std::this_thread::sleep_for(std::chrono::microseconds(500));
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * FLOOD);
}
BENCHMARK(BM_TwitchFlood)->Iterations(4)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_IngestHttp(benchmark::State& state) {
    Bench b;
    httplib::Client c("127.0.0.1", b.port);
    c.set_keep_alive(true);
    c.set_tcp_nodelay(true);  // as the service does: headers and body in separate writes
    httplib::Headers auth{{"Authorization", "Bearer " + b.token}};
    int i = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        for (int k = 0; k < FLOOD; ++k, ++i) {
            nlohmann::json m = {{"platform", "twitch"}, {"sender_id", std::to_string(500000 + i % 1000)},
                                {"sender_name", "U" + std::to_string(i % 1000)}, {"text", "flood " + std::to_string(i)}};
            auto r = c.Post("/api/ingest", auth, m.dump(), "application/json");
            if (!r || r->status != 200) std::abort();
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * FLOOD);
}
BENCHMARK(BM_IngestHttp)->Iterations(4)->UseManualTime()->Unit(benchmark::kMillisecond);

// A service reading Kick chatroom 9 from the scripted Pusher server, whose one
// connection floods FLOOD messages each time a cue file appears (one a round).
void BM_KickFlood(benchmark::State& state) {
    constexpr int ROUNDS = 4;
    std::string tmpl = (std::filesystem::temp_directory_path() / "vimo-kick-bench-XXXXXX").string();
    std::string dir = mkdtemp(tmpl.data());
    gateway_test::ScriptedPusher pusher;
    pusher.dir = dir;
    nlohmann::json steps = nlohmann::json::array();
    for (int r = 0; r < ROUNDS; ++r) {
        steps.push_back({{"wait_file", dir + "/go-" + std::to_string(r)}});
        steps.push_back({{"flood", FLOOD}, {"chatroom", "9"}, {"prefix", "r" + std::to_string(r)}});
    }
    if (!pusher.start({{"chatrooms", {"9"}}, {"connections", {{{"activity_timeout", 600}, {"steps", steps}}}}}))
        std::abort();
    ServiceOptions o;
    o.port = 0;
    o.db_path = dir + "/service.db";
    o.keep_messages = 1000000;
    o.limits.ingest_bridge = o.limits.ingest_sender = o.limits.ingest_address = RateRule{1e9, 1e9};
    o.bridges.kick_chatrooms = {"9"};
    o.bridges.kick_pusher = pusher.url();
    o.bridges.tls_ca = pusher.ca;
    std::string error;
    ServicePtr service = service_create(o, &error);
    if (!service || service_bind(*service) <= 0) std::abort();
    std::thread thread([&] { service_run(*service); });
    service_wait_running(*service, 10000);
    service_start_bridges(*service);
    auto stored = [&] { return service->bridges[0]->report().stored(); };
    int round = 0;
    for (auto _ : state) {
        int64_t before = stored();
        auto t0 = Clock::now();
        std::ofstream(dir + "/go-" + std::to_string(round++)).put('\n');
        while (stored() < before + FLOOD) std::this_thread::sleep_for(std::chrono::microseconds(500));
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * FLOOD);
    service_stop(*service);
    thread.join();
    service_destroy(service);
    pusher.kill();
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_KickFlood)->Iterations(4)->UseManualTime()->Unit(benchmark::kMillisecond);

// A fresh service each time, so that the back-off starts at its first step, as it
// does after a connection that lasted a minute.
void BM_RestartToMessage(benchmark::State& state) {
    int round = 0;
    for (auto _ : state) {
        Bench b;  // manual time: its making is not counted
        int port = b.server->port();
        auto t0 = Clock::now();
        b.server->kill();
        b.server = std::make_unique<ScriptedTwitch>(b.dir + "/certs", port);
        if (!b.server->ok() || !wait_until(30, [&] { return b.server->joined({"#bench"}); })) std::abort();
        b.server->control({{"cmd", "say"}, {"channel", "#bench"}, {"user", "u"}, {"id", "x" + std::to_string(round++)},
                           {"text", "after"}});
        while (b.stored() < 1) std::this_thread::sleep_for(std::chrono::microseconds(500));
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
    }
}
BENCHMARK(BM_RestartToMessage)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
