// The configuration file "config.json", the logged-in user and the mascot's
// creation. Main thread only: network callbacks never touch CONFIG or USER.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

struct Element;

extern nlohmann::json CONFIG;          // loaded by game_init, written back by game_close
extern const std::string DEFAULT_CONFIG;  // "{}": used when "config.json" is missing or empty
extern nlohmann::json USER;            // the logged-in account, null while nobody is logged in
extern Element* vimo;                  // the mascot element made by game_init

void game_init();                      // Load the configuration and create the mascot
void game_close(Element* e);           // Write "config.json" (the mascot's onDestroy; e is not read)
