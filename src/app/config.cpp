// The configuration file "config.json" and the mascot's creation.
#include "app/config.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <random>

#include "base/files.h"
#include "element/element.h"
#include "mascot/menu.h"
#include "mascot/vimo.h"
#include "net/endpoints.h"
#include "net/net.h"
#include "online/json_text.h"
#include "online/online.h"
#include "online/wake.h"
#include "physics/physics.h"
#include "platform/platform.h"

const std::string DEFAULT_CONFIG = "{}";

static const char* CONFIG_FILE = "config.json";
static const char* CONFIG_BACKUP_FILE = "config.json.bak";

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

// Whether text is a login id of the stored format: three unsigned decimal
// integers of at most ten digits each, joined by two colons.
static bool config_id_format(const std::string& text) {
    int parts = 1, digits = 0;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            if (++digits > 10) return false;
        } else if (c == ':' && digits > 0 && parts < 3) {
            parts++;
            digits = 0;
        } else {
            return false;
        }
    }
    return parts == 3 && digits > 0;
}

// The login id of a file that no longer parses, if a "login_id" entry still
// holds an id of the stored format; "" when none is found. One pass over the
// text with bounded look-ahead at each key, whatever the file holds.
static std::string config_salvage_login_id(const std::string& text) {
    static const std::string KEY = "\"login_id\"";
    static const size_t LONGEST_ID = 10 * 3 + 2;
    for (size_t at = text.find(KEY); at != std::string::npos; at = text.find(KEY, at + 1)) {
        size_t i = at + KEY.size();
        auto skip_blanks = [&] {
            while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) i++;
        };
        skip_blanks();
        if (i >= text.size() || text[i] != ':') continue;
        i++;
        skip_blanks();
        if (i >= text.size() || text[i] != '"') continue;
        size_t end = text.find('"', i + 1);
        if (end == std::string::npos || end - i - 1 > LONGEST_ID) continue;
        std::string id = text.substr(i + 1, end - i - 1);
        if (config_id_format(id)) return id;
    }
    return "";
}

// A new login id: three numbers from the system's random source, each the bit
// pattern of a float in [0, 1) (uniform over the patterns 0 .. 0x3F7FFFFF,
// about 30 bits each), so the stored format and the service stay as they are
// while nobody can work an id out from the time of its start.
static std::string config_new_login_id() {
    std::string id;
    for (int part = 0; part < 3; part++) {
        uint32_t bits = 0;
        do {
            if (!platform_random_bytes(&bits, sizeof bits)) {
                // Not expected on any kernel we run on; the C++ library's source
                // is the next best thing (never the clock-seeded generator).
                std::random_device device;
                bits = device();
            }
            bits &= 0x3FFFFFFFu;
        } while (bits >= 0x3F800000u);  // rejection keeps the draw uniform
        if (part > 0) id += ":";
        id += std::to_string(bits);
    }
    return id;
}

bool config_load() {
    // An interrupted save leaves its temporary beside the file; nothing reads it.
    int stale = remove_stale_temporaries(CONFIG_FILE);
    if (stale > 0) std::cout << "config: removed " << stale << " temporary file(s) of an interrupted save" << std::endl;
    std::string text = read(CONFIG_FILE);
    std::cout << "config result: " << net_cut(text) << std::endl;

    bool usable = !text.empty();
    if (usable) {
        try {
            // Nesting is bounded as in service answers: saving walks it recursively.
            CONFIG = json_parse_answer(text);
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

    // Drawn at every start and not used: the clock-seeded generator is the
    // mascot's, and what follows sees it advanced as it always was.
    for (int draw = 0; draw < 3; draw++) (void)randf();
    if (CONFIG["login_id"].is_null()) CONFIG["login_id"] = config_new_login_id();

    // No usable file: save the new identity now rather than at shutdown.
    if (!usable) game_close(nullptr);

    endpoints_configure(CONFIG);
    return usable;
}

// ---- HiDPI scale --------------------------------------------------------------------

static const int SCALE_MAX = 3;     // physical pixels per logical pixel at most
static const double BASE_DPI = 96;  // dots per inch of scale 1 (X's and the desktops' convention)

// A whole number written as text (surrounding blanks allowed); false for anything else.
static bool config_whole_number(const char* text, long* out) {
    if (text == nullptr) return false;
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (end == text || errno != 0) return false;
    while (*end == ' ' || *end == '\t') end++;
    if (*end != '\0') return false;
    *out = value;
    return true;
}

// The value of the resource name in xrdb's "name:\tvalue" lines, if present.
static bool config_x_resource(const std::string& resources, const std::string& name, std::string* out) {
    size_t at = 0;
    while (at < resources.size()) {
        size_t end = resources.find('\n', at);
        if (end == std::string::npos) end = resources.size();
        if (resources.compare(at, name.size(), name) == 0 && at + name.size() < end &&
            resources[at + name.size()] == ':') {
            *out = resources.substr(at + name.size() + 1, end - at - name.size() - 1);
            return true;
        }
        at = end + 1;
    }
    return false;
}

ConfigScale config_scale_choose(const nlohmann::json& configured, const char* gdkScale, const std::string& xResources) {
    ConfigScale choice{1, "default", ""};
    if (configured.is_number_integer()) {
        long long value = configured.get<long long>();
        if (value >= 1 && value <= SCALE_MAX) return {(int)value, "config.json", ""};
    }
    bool absent = configured.is_null() || (configured.is_number_integer() && configured.get<long long>() == 0);
    if (!absent) {
        std::string shown = configured.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        if (shown.size() > 40) shown = shown.substr(0, 37) + "...";
        choice.problem = "config: \"scale\" must be an integer from 1 to " + std::to_string(SCALE_MAX) + " (not " +
                         shown + "); using the desktop's setting";
    }
    long gdk = 0;
    if (config_whole_number(gdkScale, &gdk) && gdk >= 1) {
        choice.scale = gdk > SCALE_MAX ? SCALE_MAX : (int)gdk;
        choice.source = "GDK_SCALE";
        return choice;
    }
    std::string dpiText;
    if (config_x_resource(xResources, "Xft.dpi", &dpiText)) {
        char* end = nullptr;
        double dpi = std::strtod(dpiText.c_str(), &end);
        if (end != dpiText.c_str() && std::isfinite(dpi) && dpi > 0) {
            long scale = std::lround(dpi / BASE_DPI);
            choice.scale = scale < 1 ? 1 : scale > SCALE_MAX ? SCALE_MAX : (int)scale;
            choice.source = "Xft.dpi " + std::to_string(std::lround(dpi));
        }
    }
    return choice;
}

int config_scale_read() {
    // Only the one key, and quietly: config_load reads the whole file later
    // and reports whatever is wrong with it.
    nlohmann::json configured;
    std::string text = read(CONFIG_FILE);
    if (!text.empty()) {
        try {
            nlohmann::json file = json_parse_answer(text);
            if (file.is_object() && file.contains("scale")) configured = file["scale"];
        } catch (const std::exception&) {
        }
    }
    ConfigScale choice = config_scale_choose(configured, std::getenv("GDK_SCALE"), platform_x_resources());
    if (!choice.problem.empty()) std::cout << choice.problem << std::endl;
    std::cout << "scale: " << choice.scale << " (" << choice.source << ")" << std::endl;
    return choice.scale;
}

void game_init() {
    config_load();
    online_init();  // fills vimo_hooks before the mascot's first update
    wake_start();   // after the origins are read (config_load); its own thread and connection
    vimo_create();
    vimo->onDestroy = game_close;  // the mascot goes last, at shutdown: config.json is saved then
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
