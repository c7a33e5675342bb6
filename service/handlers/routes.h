// The routes of vimo-service: every path the service answers, as one table of
// named handlers (routes.cpp). The companion's calls are handled there; the
// pages' handlers are in pages.cpp, the streamer's actions in actions.cpp.
//
// Threads: add_routes on the owning thread while the Service is set up, before
// it serves; the handlers then run on the HTTP worker threads.
#pragma once

#include "handlers/server.h"
#include "http/http.h"

namespace service_detail {

// Registers every route of the table on s.http, each behind guarded().
void add_routes(Service& s);

}  // namespace service_detail
