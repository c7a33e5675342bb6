// Posts per second one SQLite writer sustains: store_add_message in a loop on
// a database file in a temporary folder, each message its own transaction, the
// way the service stores one ingested or composed message (WAL,
// synchronous=NORMAL). The second case does it while four threads read the
// chat page as the service's readers do, to show reads do not hold the writer
// back. Called directly, not over HTTP: the figure is the store's, not the
// rate limits'. items_per_second is messages per second.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "store/store.h"

namespace {

struct TempDb {
    std::filesystem::path dir;
    StorePtr store;
    TempDb() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vimo-writer-XXXXXX").string();
        dir = mkdtemp(tmpl.data());
        std::string error;
        store = store_open((dir / "service.db").string(), &error);
        if (!store) std::abort();
    }
    ~TempDb() {
        store.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

const char* const kPlatforms[] = {"twitch", "discord", "web", "matrix"};

void add_messages(benchmark::State& state, Store& s) {
    int64_t i = 0;
    for (auto _ : state) {
        std::string id = std::to_string(1000 + i % 37);
        benchmark::DoNotOptimize(store_add_message(s, kPlatforms[i % 4], id, "chatter " + id,
                                                   "message number " + std::to_string(i) + " with some words"));
        ++i;
    }
    state.SetItemsProcessed(i);
}

void BM_AddMessage(benchmark::State& state) {
    TempDb db;
    add_messages(state, *db.store);
}
BENCHMARK(BM_AddMessage)->Unit(benchmark::kMicrosecond)->MinTime(3.0)->UseRealTime();

void BM_AddMessageWhileReading(benchmark::State& state) {
    TempDb db;
    std::atomic<bool> stop{false};
    std::atomic<int64_t> pages{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r)
        readers.emplace_back([&] {
            while (!stop.load(std::memory_order_relaxed)) {
                benchmark::DoNotOptimize(store_chat_page(*db.store, 8));
                pages.fetch_add(1, std::memory_order_relaxed);
            }
        });
    add_messages(state, *db.store);
    stop = true;
    for (std::thread& t : readers) t.join();
    state.counters["pages_read_per_second"] = benchmark::Counter(double(pages.load()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AddMessageWhileReading)->Unit(benchmark::kMicrosecond)->MinTime(3.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
