// The configuration file "config.json" and the mascot's creation.
#include "app/config.h"

#include <bit>
#include <cstdint>
#include <iostream>
#include <regex>

#include "app/files.h"
#include "element/element.h"
#include "mascot/menu.h"
#include "mascot/vimo.h"
#include "net/endpoints.h"
#include "online/online.h"
#include "physics/physics.h"

nlohmann::json CONFIG;
const std::string DEFAULT_CONFIG = "{}";
nlohmann::json USER;
Element* vimo = nullptr;

static const char* CONFIG_FILE = "config.json";
static const char* CONFIG_BACKUP_FILE = "config.json.bak";

// A float in [0, 1] as the decimal of its IEEE single-precision bit pattern.
static std::string float_bits(float r) {
    return std::to_string(std::bit_cast<int32_t>(r));
}

// Keeps an unreadable configuration beside the real one, so the login id it
// held can be recovered by hand. Never replaces an earlier backup with other
// content: a second corrupt file goes to "config.json.bak.2", ".3" and so on.
static void config_backup(const std::string& text) {
    std::string name = CONFIG_BACKUP_FILE;
    for (int n = 2; n < 1000; n++) {
        std::string existing = read(name);
        if (existing.empty() || existing == text) break;
        name = std::string(CONFIG_BACKUP_FILE) + "." + std::to_string(n);
    }
    if (write(name, text))
        std::cout << "config: kept the unreadable file as " << name << std::endl;
    else
        std::cout << "config: could not keep the unreadable file as " << name << std::endl;
}

// The login id of a file that no longer parses, if its "login_id" entry is
// still intact (a plain string without escapes); "" when none is found.
static std::string config_salvage_login_id(const std::string& text) {
    static const std::regex login_id(R"re("login_id"\s*:\s*"([^"\\]*)")re");
    std::smatch m;
    if (std::regex_search(text, m, login_id)) return m[1].str();
    return "";
}

bool config_load() {
    std::string text = read(CONFIG_FILE);
    std::cout << "config result: " << text << std::endl;

    bool usable = !text.empty();
    if (usable) {
        try {
            CONFIG = nlohmann::json::parse(text);
            if (!CONFIG.is_object() && !CONFIG.is_null())
                throw std::runtime_error(std::string("top level is ") + CONFIG.type_name() + ", not an object");
        } catch (const std::exception& error) {
            std::cout << "config: config.json is not a usable configuration (" << error.what()
                      << "); starting from the default" << std::endl;
            config_backup(text);
            usable = false;
        }
    }
    if (!usable) {
        CONFIG = nlohmann::json::parse(DEFAULT_CONFIG);
        // A corrupt file's identity is worth more than a fresh one.
        std::string salvaged = text.empty() ? "" : config_salvage_login_id(text);
        if (!salvaged.empty()) {
            CONFIG["login_id"] = salvaged;
            std::cout << "config: recovered login_id " << salvaged << std::endl;
        }
    }

    // Drawn at every start, used or not, so the generator advances the same way.
    float r1 = randf();
    float r2 = randf();
    float r3 = randf();
    if (CONFIG["login_id"].is_null())
        CONFIG["login_id"] = float_bits(r1) + ":" + float_bits(r2) + ":" + float_bits(r3);

    // No usable file: save the new identity now rather than at shutdown.
    if (!usable) game_close(nullptr);

    endpoints_configure(CONFIG);
    return usable;
}

void vimo_create() {
    vimo = newElement(0);
    vimo->id = "vimo";
    vimo->size = {128, 128};
    vimo->canRotate = false;
    vimo->autoFlip = true;
    Drawable image{};
    image.type = DRAWABLE_IMAGE;
    image.source = "assets/guy";
    image.offset = {0, 0};
    image.size = {128, 128};
    image.rotation = 0;
    image.color = {255, 255, 255, 255};
    vimo->drawables.push_back(image);
    enablePhysics(vimo);
    vimo->onUpdate = vimo_update;
    vimo->onClick = vimo_click;
    vimo->onDrag = vimo_drag;
    vimo->onRelease = vimo_release;
    vimo->onDestroy = game_close;
}

void game_init() {
    config_load();
    online_init();  // fills vimo_hooks before the mascot's first update
    vimo_create();
}

std::string config_dump() {
    try {
        return CONFIG.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    } catch (const nlohmann::json::type_error& error) {
        // Text typed or received with broken UTF-8 must not cost the whole file
        // (and with it the login id): save it with the bad bytes replaced.
        std::cout << "config: " << error.what() << "; saving with invalid bytes replaced" << std::endl;
        return CONFIG.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
}

void game_close(Element* e) {
    if (!write(CONFIG_FILE, config_dump()))
        std::cout << "config: could not write config.json; the configuration was not saved" << std::endl;
    // The mascot is being destroyed: nothing may reach it through vimo any more.
    if (e != nullptr && e == vimo) vimo = nullptr;
}
