// What an emote image costs the service, first fetch against cache, in one run:
//   BM_FirstFetch/SIDE    GET /api/emote/KEY of a key never asked for: the
//                         service fetches an animated WebP of 40 frames, SIDE
//                         pixels a side, from a CDN on loopback (plain HTTP, no
//                         network), decodes it, checks it, writes the stacked-
//                         frames PNG and keeps it on disk;
//   BM_FromCache/SIDE     GET /api/emote/KEY of a key asked for before: the PNG
//                         from the disk cache.
// Time is each request's wall time at the client, one kept-alive connection.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <filesystem>
#include <thread>

#include "image_makers.h"
#include "emotes/image_key.h"
#include "handlers/server.h"
#include "service.h"

namespace {

constexpr int FRAMES = 40;

// An animated WebP of FRAMES frames of side x side, each a gradient of its own (lossy, as 7TV's).
std::string webp_frames(int side) {
    std::vector<std::vector<uint32_t>> frames;
    std::vector<int> starts;
    for (int f = 0; f < FRAMES; ++f) {
        std::vector<uint32_t> px(size_t(side) * side);
        for (int i = 0; i < side * side; ++i)
            px[i] = 0xff000000u | uint32_t((i % side) * 255 / side) << 16 | uint32_t(f * 6) << 8 | uint32_t(i / side);
        frames.push_back(std::move(px));
        starts.push_back(f * 50);
    }
    starts.push_back(FRAMES * 50);
    return service_test::webp_animation(side, side, frames, starts, false);
}

struct Bench {
    httplib::Server cdn;
    std::thread cdn_thread;
    int cdn_port = 0;
    ServicePtr service;
    std::thread thread;
    int port = 0;
    std::string dir;
    int keys = 0;

    Bench() {
        for (int side : {28, 112}) {
            std::string body = webp_frames(side);
            cdn.Get("/emote/" + std::to_string(side) + "/.*", [body](const httplib::Request&, httplib::Response& res) {
                res.set_content(body, "image/webp");
            });
        }
        cdn_port = cdn.bind_to_any_port("127.0.0.1");
        cdn_thread = std::thread([this] { cdn.listen_after_bind(); });
        std::string tmpl = (std::filesystem::temp_directory_path() / "vimo-images-bench-XXXXXX").string();
        dir = mkdtemp(tmpl.data());
        ServiceOptions o;
        o.port = 0;
        o.db_path = dir + "/service.db";
        o.emotes.image_dir = dir + "/images";
        o.threads = 8;
        std::string error;
        service = service_create(o, &error);
        if (!service) std::abort();
        port = service_bind(*service);
        thread = std::thread([this] { service_run(*service); });
        service_wait_running(*service, 10000);
    }
    ~Bench() {
        service_stop(*service);
        thread.join();
        service_destroy(service);
        cdn.stop();
        cdn_thread.join();
        std::filesystem::remove_all(dir);
    }
    // A key the service has never been asked for, whose 1x image is side pixels a side.
    std::string new_key(int side) {
        std::string key = "7tv-b" + std::to_string(++keys);
        std::string url = "http://127.0.0.1:" + std::to_string(cdn_port) + "/emote/" + std::to_string(side) + "/" + key;
        service->catalog->learn(key, {url, "", true});
        return key;
    }
};

Bench& bench() {
    static Bench b;
    return b;
}

void get_png(benchmark::State& state, httplib::Client& client, const std::string& key) {
    auto t0 = std::chrono::steady_clock::now();
    auto r = client.Get("/api/emote/" + key);
    auto t1 = std::chrono::steady_clock::now();
    if (!r || r->status != 200 || r->body.compare(0, 4, "\x89PNG") != 0) {
        state.SkipWithError("no PNG");
        return;
    }
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    state.counters["png_bytes"] = double(r->body.size());
}

void BM_FirstFetch(benchmark::State& state) {
    httplib::Client client("127.0.0.1", bench().port);
    for (auto _ : state) get_png(state, client, bench().new_key(int(state.range(0))));
}
BENCHMARK(BM_FirstFetch)->Arg(28)->Arg(112)->Iterations(40)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_FromCache(benchmark::State& state) {
    httplib::Client client("127.0.0.1", bench().port);
    std::string key = bench().new_key(int(state.range(0)));
    client.Get("/api/emote/" + key);  // its first fetch, not timed
    for (auto _ : state) get_png(state, client, key);
}
BENCHMARK(BM_FromCache)->Arg(28)->Arg(112)->Iterations(400)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
