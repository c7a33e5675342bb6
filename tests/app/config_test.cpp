// "config.json": first start, kept keys, login id rules, corrupt files and
// failed saves. Every case runs in a temporary program directory (cwd), so
// the build directory's own config.json is never touched.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "app/config.h"
#include "base/files.h"
#include "physics/physics.h"

namespace fs = std::filesystem;

namespace {

// Set (or, for null, remove) an environment variable of this process.
void set_env(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value ? value : "");
#else
    if (value) setenv(name, value, 1);
    else unsetenv(name);
#endif
}

class ConfigTest : public ::testing::Test {
protected:
    fs::path dir;
    std::string savedCwd;

    void SetUp() override {
        savedCwd = cwd;
        // A folder of its own (mkdtemp is not on every system).
        std::random_device random;
        do dir = fs::temp_directory_path() / ("vimo_config_" + std::to_string(random()));
        while (!fs::create_directory(dir));
        cwd = dir.string() + "/";
        CONFIG = nullptr;
    }
    void TearDown() override {
        cwd = savedCwd;
        CONFIG = nullptr;
        std::error_code ignored;
        fs::permissions(dir, fs::perms::owner_all, ignored);
        fs::remove_all(dir, ignored);
    }

    void put(const std::string& name, const std::string& text) {
        std::ofstream(dir / name, std::ios::binary) << text;
    }
    std::string get(const std::string& name) {
        std::ifstream in(dir / name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // config_load with its standard output.
    std::string load(bool* usable = nullptr) {
        testing::internal::CaptureStdout();
        bool result = config_load();
        if (usable) *usable = result;
        return testing::internal::GetCapturedStdout();
    }
};

// Three decimal integers joined by two colons, each a float pattern in [0, 1].
void expectGeneratedId(const nlohmann::json& id) {
    ASSERT_TRUE(id.is_string()) << id.dump();
    std::smatch m;
    std::string s = id.get<std::string>();
    ASSERT_TRUE(std::regex_match(s, m, std::regex(R"((\d+):(\d+):(\d+))"))) << s;
    for (int i = 1; i <= 3; i++) EXPECT_LE(std::stoll(m[i].str()), 1065353216LL) << s;
}

TEST_F(ConfigTest, FirstStartGeneratesTheIdAndWritesTheFileAtOnce) {
    bool usable = true;
    std::string out = load(&usable);
    EXPECT_FALSE(usable);
    EXPECT_EQ(out.rfind("config result: \n", 0), 0u) << out;

    ASSERT_TRUE(fs::exists(dir / "config.json"));
    std::string text = get("config.json");
    nlohmann::json written = nlohmann::json::parse(text);
    ASSERT_TRUE(written.is_object());
    EXPECT_EQ(written.size(), 1u);
    expectGeneratedId(written["login_id"]);
    EXPECT_EQ(written, CONFIG);
    EXPECT_EQ(text.find(' '), std::string::npos) << "compact form: " << text;
    EXPECT_FALSE(fs::exists(dir / "config.json.bak"));
}

TEST_F(ConfigTest, TheIdComesFromTheSystemsRandomSourceNotTheStartTime) {
    // What the clock-seeded generator would have made of a start at this second.
    srand(77);
    float r1 = randf(), r2 = randf(), r3 = randf();
    const std::string fromClock = std::to_string(std::bit_cast<int32_t>(r1)) + ":" +
                                  std::to_string(std::bit_cast<int32_t>(r2)) + ":" +
                                  std::to_string(std::bit_cast<int32_t>(r3));
    // Two fresh starts in the same second (the same seed) get different ids.
    std::set<std::string> ids;
    for (int start = 0; start < 2; start++) {
        fs::remove(dir / "config.json");
        srand(77);
        load();
        expectGeneratedId(CONFIG["login_id"]);
        ids.insert(CONFIG["login_id"].get<std::string>());
        EXPECT_NE(CONFIG["login_id"], fromClock);
    }
    EXPECT_EQ(ids.size(), 2u);

    // The three draws still happen, id or not, so what follows sees the
    // generator in the same state either way.
    put("config.json", R"({"login_id":"kept"})");
    srand(77);
    load();
    EXPECT_EQ(CONFIG["login_id"], "kept");
    srand(77);
    randf(), randf(), randf();
    float next = randf();
    srand(77);
    load();
    EXPECT_EQ(randf(), next);
}

TEST_F(ConfigTest, EmptyObjectGetsAnIdThatIsSavedOnlyAtShutdown) {
    put("config.json", "{}");
    bool usable = false;
    std::string out = load(&usable);
    EXPECT_TRUE(usable);
    EXPECT_EQ(out, "config result: {}\n");
    expectGeneratedId(CONFIG["login_id"]);
    EXPECT_EQ(get("config.json"), "{}");

    game_close(nullptr);
    EXPECT_EQ(nlohmann::json::parse(get("config.json")), CONFIG);
}

TEST_F(ConfigTest, UnknownKeysAndHandWrittenLayoutSurviveASave) {
    put("config.json", "{\n    \"login_id\": \"abc\",\n    \"extra\": [1, 2],\n    \"name\": \"h\xC3\xA9\"\n}\n");
    load();
    CONFIG["last_chat"] = "m1";
    game_close(nullptr);
    EXPECT_EQ(get("config.json"), "{\"extra\":[1,2],\"last_chat\":\"m1\",\"login_id\":\"abc\",\"name\":\"h\xC3\xA9\"}");
}

TEST_F(ConfigTest, LoginIdRules) {
    put("config.json", R"({"login_id":null,"last_chat":"x"})");
    load();
    expectGeneratedId(CONFIG["login_id"]);
    EXPECT_EQ(CONFIG["last_chat"], "x");

    put("config.json", R"({"login_id":""})");
    load();
    EXPECT_EQ(CONFIG["login_id"], "");

    put("config.json", R"({"login_id":42})");
    load();
    EXPECT_EQ(CONFIG["login_id"], 42);

    // A file holding JSON null is a usable, empty configuration.
    put("config.json", "null");
    bool usable = false;
    load(&usable);
    EXPECT_TRUE(usable);
    ASSERT_TRUE(CONFIG.is_object());
    expectGeneratedId(CONFIG["login_id"]);
    EXPECT_FALSE(fs::exists(dir / "config.json.bak"));
}

TEST_F(ConfigTest, CorruptFileIsReportedBackedUpAndReplaced) {
    const std::string broken = R"({"login_id":"1:2:3", "last_chat": )";
    put("config.json", broken);
    bool usable = true;
    std::string out = load(&usable);
    EXPECT_FALSE(usable);
    EXPECT_NE(out.find("not a usable configuration"), std::string::npos) << out;
    EXPECT_EQ(get("config.json.bak"), broken);
    // The identity still readable in the broken text is kept, and the new file is valid.
    EXPECT_EQ(CONFIG["login_id"], "1:2:3");
    EXPECT_EQ(nlohmann::json::parse(get("config.json")), CONFIG);

    // A later good start leaves the backup alone.
    load();
    game_close(nullptr);
    EXPECT_EQ(get("config.json.bak"), broken);

    // A second, different corrupt file does not replace the first backup.
    put("config.json", "[1, 2]");
    out = load(&usable);
    EXPECT_FALSE(usable);
    EXPECT_EQ(get("config.json.bak"), broken);
    EXPECT_EQ(get("config.json.bak.2"), "[1, 2]");
    expectGeneratedId(CONFIG["login_id"]);

    // The same corrupt text again reuses its backup instead of piling up copies.
    put("config.json", "[1, 2]");
    load();
    EXPECT_FALSE(fs::exists(dir / "config.json.bak.3"));
}

TEST_F(ConfigTest, HostileFilesNeitherCrashNorStayBehind) {
    // A 100 KB "login_id" in a corrupt file: no id of the stored format is
    // salvaged, a new one is made, and the next start is an ordinary one.
    put("config.json", "{\"login_id\":\"" + std::string(100000, '7') + "\", ");
    bool usable = true;
    load(&usable);
    EXPECT_FALSE(usable);
    expectGeneratedId(CONFIG["login_id"]);
    load(&usable);
    EXPECT_TRUE(usable);

    // Only an id of the stored format is salvaged, even after one that is not.
    put("config.json", R"({"login_id":"<script>", "x": {"login_id" : "12:0:1065353215"}, )");
    load();
    EXPECT_EQ(CONFIG["login_id"], "12:0:1065353215");

    // Nesting deep enough to exhaust the stack when saved is refused on load.
    put("config.json", "{\"login_id\":\"1:2:3\",\"deep\":" + std::string(100000, '[') + std::string(100000, ']') + "}");
    load(&usable);
    EXPECT_FALSE(usable);
    EXPECT_EQ(CONFIG["login_id"], "1:2:3");
    game_close(nullptr);

    // A temporary of an interrupted save is gone after a start; other files stay.
    put("config.json.tmp-a1B2c3", "{\"half");
    put("config.json.tmp-notours", "x");
    load();
    EXPECT_FALSE(fs::exists(dir / "config.json.tmp-a1B2c3"));
    EXPECT_TRUE(fs::exists(dir / "config.json.tmp-notours"));

#ifndef _WIN32
    // The file holds the account's credential: owner only, also when it was
    // 0644. (Windows has no such modes: the user's folder's access rules hold.)
    fs::permissions(dir / "config.json", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                             fs::perms::others_read);
    game_close(nullptr);
    EXPECT_EQ(fs::status(dir / "config.json").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
#endif
}

TEST_F(ConfigTest, TopLevelScalarsAreCorruptToo) {
    for (const char* text : {"\"a string\"", "17", "true", "   "}) {
        put("config.json", text);
        fs::remove(dir / "config.json.bak");
        bool usable = true;
        load(&usable);
        EXPECT_FALSE(usable) << text;
        EXPECT_TRUE(CONFIG.is_object()) << text;
        expectGeneratedId(CONFIG["login_id"]);
        EXPECT_EQ(get("config.json.bak"), text);
    }
}

TEST_F(ConfigTest, FailedSaveIsReportedAndKeepsTheConfigurationInMemory) {
    cwd = (dir / "missing" / "deeper").string() + "/";
    std::string out = load();
    EXPECT_NE(out.find("could not write config.json"), std::string::npos) << out;
    expectGeneratedId(CONFIG["login_id"]);

    testing::internal::CaptureStdout();
    game_close(nullptr);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("could not write config.json"), std::string::npos) << out;
}

TEST_F(ConfigTest, BrokenUtf8DoesNotLoseTheFile) {
    put("config.json", R"({"login_id":"id-1"})");
    load();
    CONFIG["draft"] = std::string("ok \xFF\xFE end");
    testing::internal::CaptureStdout();
    game_close(nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("invalid bytes replaced"), std::string::npos) << out;
    nlohmann::json written = nlohmann::json::parse(get("config.json"));
    EXPECT_EQ(written["login_id"], "id-1");
    EXPECT_EQ(written["draft"], "ok \xEF\xBF\xBD\xEF\xBF\xBD end");
}

TEST(ConfigScale, ConfigValueThenGdkScaleThenXftDpi) {
    using nlohmann::json;
    const std::string dpi192 = "*customization:\t-color\nXft.antialias:\t1\nXft.dpi:\t192\n";
    auto expect = [](const ConfigScale& c, int scale, const std::string& source, bool problem) {
        EXPECT_EQ(c.scale, scale) << source;
        EXPECT_EQ(c.source, source);
        EXPECT_EQ(!c.problem.empty(), problem) << c.problem;
    };
    // A valid config value wins over every desktop setting.
    expect(config_scale_choose(json(3), "1", dpi192), 3, "config.json", false);
    // Absent, null or 0: the desktop's setting, quietly.
    expect(config_scale_choose(json(), "2", ""), 2, "GDK_SCALE", false);
    expect(config_scale_choose(json(0), nullptr, dpi192), 2, "Xft.dpi 192", false);
    expect(config_scale_choose(json(), nullptr, ""), 1, "default", false);
    // Invalid values are reported and fall back to the desktop.
    for (const json& bad : {json(4), json(-1), json(2.5), json("2"), json(true), json::array({2})})
        expect(config_scale_choose(bad, "2", ""), 2, "GDK_SCALE", true);
    ConfigScale big = config_scale_choose(json(std::string(500, 'x')), nullptr, "");
    EXPECT_LT(big.problem.size(), 160u) << big.problem;  // one readable line
    // GDK_SCALE: whole numbers only, at most 3; anything else goes on to Xft.dpi.
    expect(config_scale_choose(json(), "7", ""), 3, "GDK_SCALE", false);
    for (const char* bad : {"", "0", "-2", "2x", "1.5", "abc"})
        expect(config_scale_choose(json(), bad, dpi192), 2, "Xft.dpi 192", false);
    // Xft.dpi rounds dpi / 96 and stays within 1..3; unusable values give 1.
    expect(config_scale_choose(json(), nullptr, "Xft.dpi:\t144.0"), 2, "Xft.dpi 144", false);
    expect(config_scale_choose(json(), nullptr, "Xft.dpi: 120\n"), 1, "Xft.dpi 120", false);
    expect(config_scale_choose(json(), nullptr, "Xft.dpi:\t480\n"), 3, "Xft.dpi 480", false);
    expect(config_scale_choose(json(), nullptr, "Xft.dpi:\t20\n"), 1, "Xft.dpi 20", false);
    expect(config_scale_choose(json(), nullptr, "Xft.dpi:\tnone\nXft.dpix:\t192\n"), 1, "default", false);
    expect(config_scale_choose(json(), nullptr, "Xft.dpi:\t-192\n"), 1, "default", false);
    expect(config_scale_choose(json(), nullptr, "MyXft.dpi:\t192\n"), 1, "default", false);
}

TEST_F(ConfigTest, ScaleIsReadAheadWithoutTouchingTheFile) {
    const std::string text = R"({"login_id":"1:2:3","scale":3})";
    put("config.json", text);
    testing::internal::CaptureStdout();
    EXPECT_EQ(config_scale_read(), 3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "scale: 3 (config.json)\n");
    EXPECT_EQ(get("config.json"), text);
    // The key is the configuration's like any other: saved back as it was.
    load();
    game_close(nullptr);
    EXPECT_EQ(nlohmann::json::parse(get("config.json"))["scale"], 3);

    put("config.json", R"({"scale":"big"})");
    const char* old = std::getenv("GDK_SCALE");
    std::string saved = old ? old : "";
    set_env("GDK_SCALE", "2");
    testing::internal::CaptureStdout();
    EXPECT_EQ(config_scale_read(), 2);
    std::string out = testing::internal::GetCapturedStdout();
    set_env("GDK_SCALE", old ? saved.c_str() : nullptr);
    EXPECT_EQ(out, "config: \"scale\" must be an integer from 1 to 3 (not \"big\"); using the desktop's setting\n"
                   "scale: 2 (GDK_SCALE)\n");
}

}  // namespace
