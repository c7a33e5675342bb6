// The service's own chat bridges: a client of each chat platform (Twitch IRC,
// Matrix /sync, Discord's gateway, Kick's Pusher socket) running beside the HTTP server, each on a
// thread of its own, storing what it reads through the same path as
// /api/ingest (sink.h over chat/incoming.h) and reporting how it fares (BridgeReport, shown on the
// streamer's pages and at /api/admin/bridges).
//
// Threads: a Bridge is started and stopped by the thread that owns the Service
// (service_start_bridges / service_stop); everything else it does happens on its
// own thread. BridgeReport is read by HTTP worker threads under its mutex.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "chat/incoming.h"

struct ServiceCore;
struct BridgeOptions;

namespace bridges {

// What became of one message a bridge read (the chat path's answer).
using Outcome = ChatOutcome;

// How one bridge fares, for the streamer. Every member function may be called from
// any thread.
class BridgeReport {
public:
    // platform: "twitch", ...; what: what it reads ("#chan1, #chan2", room ids, ...).
    BridgeReport(std::string platform, std::string what);

    void connecting();                                // a connection is being made
    void connected();                                 // it is up and reading
    void backing_off(double seconds, const std::string& error);  // waits, then tries again
    void failed(const std::string& error);            // gave up for good (a bad token, ...)
    void stopped();                                   // the service is stopping
    void error(const std::string& error);             // a dropped line or frame, a refused call
    void counted(Outcome outcome);                    // one message read
    void moderation();                                // one deletion, time-out, ban or clear applied
    void details(std::string text);                   // the platform's own line for the streamer (quota, ...)

    const std::string& platform() const { return platform_; }
    nlohmann::json to_json() const;  // state, next_try, stored, dropped, last_message_at, reconnects, last_error, details
    int64_t stored() const;
    int64_t reconnects() const;
    std::string state() const;

private:
    mutable std::mutex mutex_;
    std::string platform_, what_;
    std::string state_ = "connecting";
    int64_t next_try_ms_ = 0;  // wall clock of the next try while backing off
    int64_t stored_ = 0, duplicates_ = 0, limited_ = 0, banned_ = 0, invalid_ = 0, moderation_ = 0;
    int64_t reconnects_ = 0, errors_ = 0;
    int64_t last_message_ms_ = 0;
    bool ever_connected_ = false;
    std::string last_error_, last_error_at_;
    std::string details_;
};

// One platform's client.
class Bridge {
public:
    explicit Bridge(std::string platform, std::string what) : report_(std::move(platform), std::move(what)) {}
    virtual ~Bridge() = default;
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // Starts its thread and returns at once; false (the report says why) when it
    // cannot start at all.
    virtual bool start() = 0;
    // Asks the thread to end and joins it; within a second or two, whatever it waits on.
    // Safe to call again, and before start.
    virtual void stop() = 0;

    BridgeReport& report() { return report_; }

protected:
    BridgeReport report_;
};

// The bridges the options ask for (none when no platform is configured). Made here,
// started by service_start_bridges.
std::vector<std::unique_ptr<Bridge>> make_bridges(ServiceCore& s, const BridgeOptions& options);

std::unique_ptr<Bridge> make_twitch_bridge(ServiceCore& s, const BridgeOptions& options);
std::unique_ptr<Bridge> make_matrix_bridge(ServiceCore& s, const BridgeOptions& options);
std::unique_ptr<Bridge> make_discord_bridge(ServiceCore& s, const BridgeOptions& options);
std::unique_ptr<Bridge> make_youtube_bridge(ServiceCore& s, const BridgeOptions& options);
std::unique_ptr<Bridge> make_kick_bridge(ServiceCore& s, const BridgeOptions& options);

}  // namespace bridges
