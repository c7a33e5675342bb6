// vimo-service: the community web service the companion talks to. The chat the
// platforms' bridges send in, the accounts installations are linked to through
// the browser, the live list, the blog feed and a stand-in for the one Bluesky
// method the companion calls; all over HTTP (cpp-httplib), stored in SQLite.
// This header is the service's whole public face: its life, below.
//
// Threads: service_create/service_bind/service_stop on the owning thread;
// service_run blocks that thread (or another) while a pool of HTTP threads runs
// the handlers, which share the store (store/store.h) under its lock.
//
// The folders are the map, lowest first; a file includes only from its own
// folder and those below it (tools/check_layers.py checks):
//   text/      input rules, text cuts, names and blocked words (ICU)
//   images/    turning fetched images (PNG, GIF, WebP, AVIF) into checked PNG
//   store/     the SQLite database: one file per table family
//   core/      the options and the state every part shares (ServiceCore)
//   chat/      the one path every incoming message takes, and its "message" value
//   outbound/  TLS, the HTTPS client and the event loops calls to other servers run on
//   emotes/    image keys, emote providers' sets, fetching and caching images
//   bridges/   the chat platforms' clients, one folder each, and what they share
//   http/      requests and answers, connections, the wake-up channel
//   handlers/  the routes, the companion's calls, the streamer's actions, pages, sign-in
//   (here)     the Service's life (service.cpp) and the command line (main.cpp)
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/options.h"
#include "text/input.h"  // html_escape, xml_escape, valid_utf8, percent_decode

struct Service;  // store + HTTP server
struct ServiceDeleter {
    void operator()(Service* s) const;  // closes the database; must not be running
};
using ServicePtr = std::unique_ptr<Service, ServiceDeleter>;

// Open the database and set up the routes; nullptr and *error on failure.
ServicePtr service_create(const ServiceOptions& options, std::string* error);
// The admin token and whether this start created it (then it is shown once); only its
// hash is stored, so later starts return "".
std::string service_admin_token(Service& s, bool* created_now);
// Bind the listening socket; returns the port (the chosen one for port 0), or -1.
int service_bind(Service& s);
// The origin page links use (known after service_bind).
std::string service_origin(Service& s);
// Start the chat bridges the options ask for (after service_bind); returns one line
// for each ("twitch: reading #chan", ...), for the start-up output.
std::vector<std::string> service_start_bridges(Service& s);
// Serve until service_stop; returns when stopped.
void service_run(Service& s);
// Wait (bounded) until service_run is serving; false when it did not start.
bool service_wait_running(Service& s, int timeout_ms);
// Stop serving and the bridges (any thread); service_run returns.
void service_stop(Service& s);
// Close the database; the Service must not be running.
void service_destroy(ServicePtr& s);
