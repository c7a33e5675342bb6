// Whole-frame figures of the companion, run in a real window (under Xvfb, see
// product.sh) with the real frame loop (frame_run_once) and the real scene
// builders. Not a Google Benchmark: a frame is paced by EndDrawing, so each
// mode drives the loop itself and reads clocks around every frame.
//
//   bench_app_frame busy  [--frames N]   main-thread CPU per frame: the mascot
//       alone (idle), then with 200 chat boxes (spawn_chat) and 300 burst
//       letters (explodeIntoDrawables), then the same with the window cut to
//       its elements (when no compositing manager runs)
//   bench_app_frame emotes [--frames N]  frame time (main-thread CPU and wall)
//       and resident memory with 40 plain chat boxes, then with 40 boxes of 10
//       animated emotes each (400 pictures of 4 frames, from a loopback
//       service), then with the same boxes' emotes still (one frame each)
//   bench_app_frame stall [--seconds S]  longest frame while the mascot polls a
//       loopback chat service that answers at once, then one that answers
//       after 200 ms, then one that never answers (a poll hangs)
//
// The program directory is a temporary folder with config.json and a link to
// the build tree's assets, so nothing is written beside the executable.
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <stb/stb_image_write.h>

#include "app/app.h"
#include "desktop/walls.h"
#include "app/config.h"
#include "mascot/vimo.h"
#include "base/files.h"
#include "desktop/input.h"
#include "desktop/shape.h"
#include "desktop/behaviours.h"
#include "element/element.h"
#include "gfx/gfx_ext.h"
#include "gfx/raylib.h"
#include "net/net.h"
#include "online/chat.h"
#include "online/chat_look.h"
#include "online/emotes.h"
#include "physics/physics.h"

namespace fs = std::filesystem;

static double now_ms(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// A program directory of its own: config.json and the build tree's assets.
static std::string make_program_dir(const std::string& config) {
    fs::path exe = fs::read_symlink("/proc/self/exe");
    fs::path build = exe.parent_path().parent_path();  // build/bench/bench_app_frame
    char tmpl[] = "/tmp/vimo-bench-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    fs::create_directory_symlink(build / "assets", fs::path(dir) / "assets");
    FILE* f = std::fopen((dir + "/config.json").c_str(), "w");
    std::fputs(config.c_str(), f);
    std::fclose(f);
    return dir + "/";
}

// Start-up as main() does it, up to (not including) game_init.
static void open_companion_window() {
    SetConfigFlags(FLAG_WINDOW_MOUSE_PASSTHROUGH | FLAG_WINDOW_TOPMOST | FLAG_WINDOW_ALWAYS_RUN |
                   FLAG_WINDOW_TRANSPARENT);
    InitWindow(0, 0, WINDOW_NAME);
    InitPhysics();
    RESOLUTION = Vector2{static_cast<float>(GetScreenWidth()), static_cast<float>(GetScreenHeight())};
    SetTargetFPS(60);
    Rectangle screen{0, 0, RESOLUTION.x, RESOLUTION.y};
    delete[] createWalls(screen, 256, INT_MAX);
    delete[] createWalls(screen, 256, INT_MIN);
    input_initialize();
}

// A program folder whose config points the companion at origin (a stand-in
// service on loopback), and the companion started with its online hooks.
static std::string start_online_companion(const std::string& origin) {
    std::string dir = make_program_dir(R"({"service_origin": ")" + origin + R"(", "bluesky_origin": ")" + origin + "\"}");
    ONLINE = curl_global_init(CURL_GLOBAL_ALL) == 0;
    open_companion_window();
    game_init();
    return dir;
}

struct FrameStats {
    std::vector<double> thread_ms, process_ms, wall_ms;
};

static float run_frames(int frames, float time, FrameStats* stats) {
    for (int i = 0; i < frames && !app_should_stop(); i++) {
        double t0 = now_ms(CLOCK_THREAD_CPUTIME_ID), p0 = now_ms(CLOCK_PROCESS_CPUTIME_ID),
               w0 = now_ms(CLOCK_MONOTONIC);
        time += frame_run_once(time);
        if (stats) {
            stats->thread_ms.push_back(now_ms(CLOCK_THREAD_CPUTIME_ID) - t0);
            stats->process_ms.push_back(now_ms(CLOCK_PROCESS_CPUTIME_ID) - p0);
            stats->wall_ms.push_back(now_ms(CLOCK_MONOTONIC) - w0);
        }
    }
    return time;
}

static double mean(const std::vector<double>& v) {
    double s = 0;
    for (double x : v) s += x;
    return v.empty() ? 0 : s / v.size();
}

static double quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))];
}

static void report(const char* scene, const FrameStats& s, double idle_mean) {
    double m = mean(s.thread_ms);
    std::printf("%-12s frames %4zu  main thread ms/frame: mean %.3f p50 %.3f p99 %.3f max %.3f  "
                "process ms/frame %.3f  x idle %.2f  elements %zu\n",
                scene, s.thread_ms.size(), m, quantile(s.thread_ms, 0.5), quantile(s.thread_ms, 0.99),
                quantile(s.thread_ms, 1.0), mean(s.process_ms), idle_mean > 0 ? m / idle_mean : 1.0, ELEMENTS.size());
    std::fflush(stdout);
}

static void place_body(Element* e, Vector2 at) {
    e->position = at;
    if (e->physicsId == -1) return;
    PhysicsLock lock;
    PhysicsBodyData* body = GetPhysicsBodyByID(e->physicsId);
    if (body) body->position = at;
}

static int busy(int frames) {
    getCWD();
    cwd = make_program_dir("{}");
    ONLINE = false;  // no online hooks are installed: the mascot runs without them
    open_companion_window();
    CONFIG = nlohmann::json::object();
    vimo_create();
    float time = run_frames(120, 0, nullptr);  // fall and settle

    FrameStats idle;
    time = run_frames(frames, time, &idle);
    double idle_mean = mean(idle.thread_ms);
    report("idle", idle, idle_mean);

    // 200 chat boxes of typical length spread over the upper screen, and 300
    // letters from ten 30-letter lines burst into pieces that live on.
    srand(7);
    chat_boxes_limit = 200;  // the desktop's limit ("chat_boxes") is 40 by default: this scene holds all 200
    const char* words[] = {"hello", "vimo", "gg", "lol", "nice", "stream", "today", "again", "what", "yes"};
    for (int i = 0; i < 200; i++) {
        std::string text = "viewer" + std::to_string(i) + ":";
        for (int k = 0; k < 5; k++) text += std::string(" ") + words[(i * 7 + k * 3) % 10];
        Element* box = spawn_chat(text);
        place_body(box, Vector2{RESOLUTION.x * (0.05f + 0.9f * randf()), RESOLUTION.y * 0.6f * randf()});
    }
    const std::string letters = "thequickbrownfoxjumpsoverlazyd";
    for (int j = 0; j < 10; j++) {
        Element* line = newElement(-1);
        line->position = {RESOLUTION.x * (0.1f + 0.08f * j), RESOLUTION.y * 0.3f};
        for (size_t k = 0; k < letters.size(); k++) {
            Drawable d{};
            d.type = DRAWABLE_TEXT;
            d.source = "assets/neodgm.ttf:16:" + letters.substr(k, 1);
            d.color = {0, 0, 0, 255};
            d.offset = {static_cast<float>(k) * 8.0f - 120.0f, 0};
            line->drawables.push_back(d);
        }
        explodeIntoDrawables(line, 0.5f, 0);  // life 0: the letters stay for the whole measurement
    }
    time = run_frames(120, time, nullptr);
    FrameStats full;
    time = run_frames(frames, time, &full);
    report("busy", full, idle_mean);

    if (!gfx_compositor_running()) {
        shape_start();
        time = run_frames(60, time, nullptr);
        FrameStats cut;
        time = run_frames(frames, time, &cut);
        report("busy+shape", cut, idle_mean);
        shape_reset();
    } else {
        std::printf("busy+shape   skipped: a compositing manager runs, the window is not cut\n");
    }
    cleanup();
    return 0;
}

// A chat service on loopback that answers /api/chat after delay_ms, with one
// new message per poll (so the mascot keeps polling every 5 s); everything
// else is a quick 404.
// delay_ms < 0 hangs every request until the server is stopped.
struct SlowChat {
    httplib::Server http;
    std::thread thread;
    int port = 0;
    std::atomic<int> delay_ms{0};
    std::atomic<int> newest{0};
    std::atomic<int> requests{0};
    std::mutex m;
    std::condition_variable released;
    bool stopping = false;
    SlowChat() {
        http.Get("/api/chat", [this](const httplib::Request& req, httplib::Response& res) {
            requests++;
            {
                std::unique_lock<std::mutex> lock(m);
                int delay = delay_ms.load();
                auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay < 0 ? 3600000 : delay);
                released.wait_until(lock, until, [this] { return stopping; });
            }
            int count = std::atoi(req.get_param_value("count").c_str());
            if (count == 1) newest++;
            nlohmann::json page = nlohmann::json::array();
            for (int i = std::max(1, newest - count + 1); i <= newest; i++)
                page.push_back({{"message", "m" + std::to_string(i)},
                                {"text", "hello " + std::to_string(i)},
                                {"chatter", {{"corvane", "bench"}}}});
            res.set_content(page.dump(), "application/json");
        });
        port = http.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { http.listen_after_bind(); });
    }
    ~SlowChat() {
        {
            std::lock_guard<std::mutex> lock(m);
            stopping = true;
        }
        released.notify_all();
        http.stop();
        thread.join();
    }
};

static void report_stall(const char* phase, const std::vector<double>& wall, int polls) {
    int over = 0;
    for (double w : wall) over += w > 50 ? 1 : 0;
    std::printf("%-14s frames %4zu  chat requests %2d  longest frame %.1f ms  p99 %.1f ms  frames over 50 ms %d\n",
                phase, wall.size(), polls, quantile(wall, 1.0), quantile(wall, 0.99), over);
    std::fflush(stdout);
}

static int stall(double seconds) {
    SlowChat chat;
    std::string origin = "http://127.0.0.1:" + std::to_string(chat.port);
    getCWD();
    cwd = start_online_companion(origin);
    int frames = static_cast<int>(seconds * 60);
    float time = 0;
    double at_once = 0;
    for (int delay : {0, 200, -1}) {
        chat.delay_ms = delay;
        int before = chat.requests;
        FrameStats s;
        time = run_frames(frames, time, &s);
        std::string phase = delay < 0 ? "answer never" : "answer " + std::to_string(delay) + " ms";
        report_stall(phase.c_str(), s.wall_ms, chat.requests - before);
        if (delay == 0) at_once = quantile(s.wall_ms, 1.0);
        else std::printf("%-14s longest frame / answered at once: %.2f\n", phase.c_str(), quantile(s.wall_ms, 1.0) / at_once);
    }
    cleanup();
    return 0;
}


// ---- Emotes ----------------------------------------------------------------------

static uint32_t crc32_of(const std::string& bytes) {
    uint32_t c = 0xffffffffu;
    for (unsigned char b : bytes) {
        c ^= b;
        for (int k = 0; k < 8; k++) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
    }
    return ~c;
}

// A 28 x 28 picture as the service serves it: frames stacked, their delays in a
// "vimo-frames" text chunk before IEND (none for a still). Each frame one colour.
static std::string strip_png(int frames, int delay_ms, unsigned key) {
    const int side = 28;
    std::vector<unsigned char> rgba(size_t(side) * side * frames * 4);
    for (int f = 0; f < frames; f++)
        for (int i = 0; i < side * side; i++) {
            unsigned char* px = &rgba[(size_t(f) * side * side + i) * 4];
            px[0] = (unsigned char)(key * 37 + f * 60);
            px[1] = (unsigned char)(key * 11 + f * 90);
            px[2] = (unsigned char)(i % side * 9);
            px[3] = 255;
        }
    std::string png;
    stbi_write_png_to_func([](void* out, void* data, int size) { static_cast<std::string*>(out)->append((char*)data, size); },
                           &png, side, side * frames, 4, rgba.data(), side * 4);
    if (frames < 2) return png;
    std::string text = "vimo-frames";
    text += '\0';
    for (int f = 0; f < frames; f++) text += (f ? "," : "") + std::to_string(delay_ms);
    std::string chunk = "tEXt" + text;
    uint32_t n = uint32_t(text.size()), crc = crc32_of(chunk);
    std::string whole = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    whole += chunk + std::string{char(crc >> 24), char(crc >> 16), char(crc >> 8), char(crc)};
    return png.insert(png.size() - 12, whole);  // before IEND (length, type, CRC: 12 bytes)
}

// The service as far as these boxes need it: an empty chat and the pictures.
struct PictureService {
    httplib::Server http;
    std::thread thread;
    int port = 0;
    std::atomic<bool> still{false};  // serve every picture as a still
    PictureService() {
        http.Get("/api/chat", [](const httplib::Request&, httplib::Response& res) { res.set_content("[]", "application/json"); });
        http.Get(R"(/api/emote/a(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
            unsigned n = unsigned(std::stoul(req.matches[1].str()));
            res.set_content(still ? strip_png(1, 0, n) : strip_png(4, 80, n), "image/png");
        });
        port = http.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { http.listen_after_bind(); });
    }
    ~PictureService() {
        http.stop();
        thread.join();
    }
};

static long resident_kib() {
    FILE* f = std::fopen("/proc/self/status", "r");
    char line[256];
    long kib = 0;
    while (f && std::fgets(line, sizeof line, f))
        if (std::strncmp(line, "VmRSS:", 6) == 0) kib = std::atol(line + 6);
    if (f) std::fclose(f);
    return kib;
}

// 40 boxes spread over the upper screen: plain, or each with 10 emotes named
// from first_key on ("a<N>"), a word apart.
static std::vector<Element*> spawn_boxes(bool emotes, unsigned first_key) {
    std::vector<Element*> boxes;
    for (int i = 0; i < 40; i++) {
        std::string name = "viewer" + std::to_string(i), text;
        auto look = std::make_shared<ChatLook>();
        for (int k = 0; k < 10; k++) {
            if (k) text += " ";
            look->emotes.push_back({text.size(), text.size() + 4, "/api/emote/a" + std::to_string(first_key + i * 10 + k),
                                    28, 28, false});
            text += "emo" + std::to_string(k % 10);
        }
        look->name = name;
        look->text = text;
        Element* box = emotes ? spawn_chat_look(name + ": " + text, look) : spawn_chat(name + ": " + text);
        place_body(box, Vector2{RESOLUTION.x * (0.05f + 0.9f * randf()), RESOLUTION.y * 0.5f * randf()});
        boxes.push_back(box);
    }
    return boxes;
}

static void report_emotes(const char* scene, const FrameStats& s) {
    // The process's CPU takes in the renderer's threads (llvmpipe under Xvfb): what
    // an unchanged frame, whose present the graphics layer skips, saves shows there.
    std::printf("%-16s frames %4zu  main thread ms/frame p50 %.3f p99 %.3f  process ms/frame p50 %.3f p99 %.3f  "
                "wall ms/frame p50 %.2f p99 %.2f  RSS %.1f MiB  picture cache %.1f MiB\n",
                scene, s.thread_ms.size(), quantile(s.thread_ms, 0.5), quantile(s.thread_ms, 0.99),
                quantile(s.process_ms, 0.5), quantile(s.process_ms, 0.99), quantile(s.wall_ms, 0.5),
                quantile(s.wall_ms, 0.99), resident_kib() / 1024.0,
                emotes_cache_bytes() / 1048576.0);
    std::fflush(stdout);
}

static int emotes_scene(int frames) {
    PictureService service;
    std::string origin = "http://127.0.0.1:" + std::to_string(service.port);
    getCWD();
    cwd = start_online_companion(origin);
    srand(7);
    float time = run_frames(120, 0, nullptr);  // the mascot falls and settles
    std::printf("%-16s RSS %.1f MiB\n", "mascot alone", resident_kib() / 1024.0);
    unsigned first_key = 0;
    for (const char* scene : {"plain", "animated", "still"}) {
        bool plain = std::strcmp(scene, "plain") == 0;
        service.still = std::strcmp(scene, "still") == 0;
        std::vector<Element*> boxes = spawn_boxes(!plain, first_key);
        first_key += 400;  // the still scene's pictures are new ones
        // Until every picture is in (at most three fetched at once) and the boxes lie still.
        for (int i = 0; i < 3000 && (emotes_in_flight() > 0 || i < 240); i++) time = run_frames(1, time, nullptr);
        FrameStats s;
        time = run_frames(frames, time, &s);
        report_emotes(scene, s);
        for (Element* box : boxes) removeElement(box);
        time = run_frames(30, time, nullptr);
    }
    cleanup();
    return 0;
}

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "busy";
    int frames = 600;
    double seconds = 16;
    for (int i = 2; i + 1 < argc; i++) {
        if (std::strcmp(argv[i], "--frames") == 0) frames = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[++i]);
    }
    if (mode == "busy") return busy(frames);
    if (mode == "stall") return stall(seconds);
    if (mode == "emotes") return emotes_scene(frames);
    std::fprintf(stderr, "usage: %s busy [--frames N] | emotes [--frames N] | stall [--seconds S]\n", argv[0]);
    return 2;
}
