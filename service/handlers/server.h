// The whole Service: the shared core (core/state.h) and what serving adds, the
// HTTP server and its connections' limits, the chat bridges, the wake-up
// channel and the platforms people sign in with. Every handler takes it; the
// parts below the handlers take the ServiceCore it is.
//
// Threads: set up on the owning thread (service.cpp) before any handler runs;
// the handlers then read it from any HTTP worker thread (each member locks for
// itself or is read only).
#pragma once

#include <memory>
#include <vector>

#include <httplib.h>

#include "bridges/bridge.h"
#include "core/state.h"
#include "emotes/image_key.h"
#include "emotes/images.h"
#include "handlers/signin.h"
#include "http/connections.h"
#include "http/hold.h"
#include "http/wake.h"
#include "outbound/https_client.h"
#include "outbound/loop.h"

struct Service : ServiceCore {
    httplib::Server http;
    int listen_fd = -1;  // the listening socket, once bound
    // 5 s for a request's headers in total, 10 s for its body and answer.
    service_detail::HeaderDeadline deadline{std::chrono::seconds(5), std::chrono::seconds(10)};
    std::vector<std::unique_ptr<bridges::Bridge>> bridges;  // started by service_start_bridges
    service_detail::WakeHub wake;                            // held GET /api/wake requests
    service_detail::WakePublisher publisher;                 // running when options.publish_url is set
    service_detail::HoldRelease hold;                        // running when options.hold_s > 0
    std::vector<service_detail::SigninProvider> signin;      // platforms to sign in with; empty: typed names
    std::shared_ptr<boost::asio::ssl::context> signin_tls;   // for https providers; nullptr when none is
    outbound::Loops signin_calls;  // the sign-in callbacks' provider calls; service_stop ends them
    std::unique_ptr<ImageStore> images;      // /api/emote/KEY's images; service_stop ends its fetches
};
