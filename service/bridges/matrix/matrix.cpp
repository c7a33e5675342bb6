// The Matrix bridge: an ordinary account's access token, /sync long polls over
// HTTPS (outbound/https_client.h), the configured rooms' text messages stored and their
// redactions applied (sync.h reads the answers).
//
// Order of a run: /joined_rooms once (a configured room the account is not in
// is named), then /sync forever. The since token is saved after each batch is
// stored, so a restart resumes where the last stored batch ended: a batch cut
// short by a crash is read again and its messages are known by event id. With
// no saved token, the first answer only sets the token and the members' names:
// the rooms' past is not poured onto the desktop.
//
// Faults: a refused token ends the bridge (the report says why); 429 waits as
// long as the homeserver asks; 5xx and network faults back off (Backoff). A
// dropped connection or an unusable answer right after a good one is tried
// again at once, the next in a row backs off, so a broken server is never
// hammered and a normal reconnect costs nothing. The first /sync after a fault
// is not held, so the report says "connected" as soon as answers come again.
//
// Threads: start/stop from the service's owner; everything else is one coroutine
// on the bridge's thread (loop_bridge.h), which a stop ends wherever it waits.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>

#include "bridges/backoff.h"
#include "bridges/loop_bridge.h"
#include "outbound/https_client.h"
#include "bridges/matrix/sync.h"
#include "bridges/sink.h"
#include "outbound/tls.h"
#include "core/state.h"

namespace bridges {

namespace {

constexpr double SYNC_HOLD_S = 30;      // how long the homeserver holds a /sync with nothing new
constexpr double SYNC_GRACE_S = 15;     // past that, a /sync that has not answered is a dead connection
constexpr double CALL_TIMEOUT_S = 30;   // /joined_rooms and the first /sync (which the server does not hold)
constexpr double MAX_RATE_WAIT_S = 300; // the longest 429 wait taken as asked
const char* const SINCE_KEY = "matrix.since";

// What one call came to.
struct Verdict {
    enum Kind { Ok, Unusable, Transient, RateLimited, Refused } kind = Ok;
    std::string error;        // for the report and the stderr line
    bool server_error = false;  // a 5xx: back off even the first time
    double wait_s = 0;          // RateLimited: as the homeserver asked
};

Verdict judge(const HttpsAnswer& a) {
    if (a.status == 0) return {Verdict::Transient, a.error};
    if (a.status == 200) return {};
    MatrixError e = matrix_parse_error(a.body);
    std::string what = "HTTP " + std::to_string(a.status) + (e.code.empty() ? "" : " " + e.code) +
                       (e.message.empty() ? "" : ": " + e.message);
    if (a.status == 401 || a.status == 403 || e.code == "M_UNKNOWN_TOKEN" || e.code == "M_MISSING_TOKEN")
        return {Verdict::Refused, "the homeserver refused the access token (" + what + ")"};
    if (a.status == 429 || e.code == "M_LIMIT_EXCEEDED") {
        double wait = e.retry_after_ms >= 0 ? e.retry_after_ms / 1000.0 : 0;
        if (e.retry_after_ms < 0 && !a.retry_after.empty() && std::isdigit((unsigned char)a.retry_after[0]))
            wait = std::atof(a.retry_after.c_str());
        if (wait <= 0) wait = 1;
        Verdict v{Verdict::RateLimited, "rate limited by the homeserver (" + what + ")"};
        v.wait_s = std::min(wait, MAX_RATE_WAIT_S);
        return v;
    }
    Verdict v{Verdict::Transient, what};
    v.server_error = a.status >= 500;
    return v;
}

using outbound::awaitable;

class MatrixBridge : public LoopBridge {
public:
    MatrixBridge(ServiceCore& s, const BridgeOptions& o);
    ~MatrixBridge() override { stop(); }

private:
    bool prepare() override;
    awaitable<void> main_loop() override;
    awaitable<Verdict> check_rooms(HttpsClient& http);
    awaitable<Verdict> sync(HttpsClient& http);
    void apply(const MatrixSync& batch, bool store_events);
    awaitable<void> back_off(HttpsClient& http, Backoff& backoff, const std::string& error);
    void say(const std::string& line) { std::fprintf(stderr, "vimo-service: matrix: %s\n", line.c_str()); }

    ServiceCore& s_;
    std::string url_, token_, tls_ca_;
    std::set<std::string> rooms_;
    BaseUrl hs_;
    std::string filter_;  // url-encoded JSON filter, the same for every /sync
    std::shared_ptr<boost::asio::ssl::context> tls_;
    // Bridge thread only:
    std::optional<std::string> since_;  // nullopt before the first batch ever
    bool up_ = false;                   // a good answer came since the last fault
    std::set<std::string> told_encrypted_;  // rooms already named as encrypted
    MatrixNames names_;
};

std::string joined(const std::vector<std::string>& rooms) {
    std::string out;
    for (const std::string& r : rooms) out += (out.empty() ? "" : ", ") + r;
    return out;
}

MatrixBridge::MatrixBridge(ServiceCore& s, const BridgeOptions& o)
    : LoopBridge("matrix", joined(o.matrix_rooms)), s_(s), url_(o.matrix_homeserver), token_(o.matrix_token),
      tls_ca_(o.tls_ca), rooms_(o.matrix_rooms.begin(), o.matrix_rooms.end()) {}

bool MatrixBridge::prepare() {
    std::string error;
    for (const std::string& room : rooms_)
        if (room.size() < 4 || room[0] != '!' || room.find(':') == std::string::npos)
            error = "not a room id (!id:server; an alias #name:server is not taken): " + room;
    if (error.empty() && token_.empty()) error = "no access token";
    if (error.empty()) {
        // The access token is sent with every call: never in the clear, not even to loopback.
        if (parse_base_url(url_, false, &hs_, &error))
            tls_ = make_tls_context(tls_ca_, &error);
        else
            error = "the homeserver " + error;
    }
    if (!tls_) {
        report_.failed(error);
        return false;
    }
    filter_ = url_encode(matrix_sync_filter(rooms_));
    return true;
}

awaitable<void> MatrixBridge::main_loop() {
    HttpsClient http(co_await boost::asio::this_coro::executor, tls_, hs_.host, hs_.port);
    Backoff backoff;
    since_ = load_state(s_, SINCE_KEY);
    bool rooms_checked = false;
    int failures = 0;  // in a row, since the last good answer
    report_.connecting();
    for (;;) {
        Verdict v;  // not co_await (a ? b : c): GCC 12 destroys the chosen awaitable wrongly
        if (rooms_checked)
            v = co_await sync(http);
        else
            v = co_await check_rooms(http);
        switch (v.kind) {
            case Verdict::Ok:
                rooms_checked = true;
                if (!up_) {
                    report_.connected();
                    backoff.connected();
                    up_ = true;
                }
                failures = 0;
                break;
            case Verdict::Refused:
                report_.failed(v.error);
                say(v.error + "; the bridge stops (give it a new token and restart)");
                co_return;
            case Verdict::RateLimited:
                up_ = false;  // the report shows the wait, then connected again
                report_.backing_off(v.wait_s, v.error);
                co_await outbound::sleep_for(v.wait_s);
                report_.connecting();
                break;
            case Verdict::Unusable:
            case Verdict::Transient:
                if (v.kind == Verdict::Transient) up_ = false;
                if (++failures > 1 || v.server_error) {
                    up_ = false;
                    co_await back_off(http, backoff, v.error);
                } else {
                    report_.error(v.error);
                }
                if (!up_) report_.connecting();
                break;
        }
    }
}

awaitable<void> MatrixBridge::back_off(HttpsClient& http, Backoff& backoff, const std::string& error) {
    http.close();
    double wait = backoff.next_delay();
    report_.backing_off(wait, error);
    co_await outbound::sleep_for(wait);
}

// Names the configured rooms the account is not in (their messages cannot come);
// a homeserver that cannot answer this only costs the check.
awaitable<Verdict> MatrixBridge::check_rooms(HttpsClient& http) {
    HttpsAnswer a = co_await http.get(hs_.prefix + "/_matrix/client/v3/joined_rooms", token_, CALL_TIMEOUT_S,
                             MATRIX_MAX_BODY_BYTES);
    Verdict v = judge(a);
    if (v.kind == Verdict::Refused || v.kind == Verdict::RateLimited || a.status == 0 || v.server_error) co_return v;
    std::set<std::string> in;
    if (v.kind != Verdict::Ok || !matrix_parse_joined(a.body, &in)) {
        report_.error("could not list the joined rooms (" + (v.error.empty() ? "wrong shape" : v.error) + ")");
        co_return Verdict{};
    }
    for (const std::string& room : rooms_) {
        if (in.count(room)) continue;
        std::string line = "the account has not joined " + room + ": join it to bridge it; the other rooms are read";
        say(line);
        report_.error(line);
    }
    co_return Verdict{};
}

awaitable<Verdict> MatrixBridge::sync(HttpsClient& http) {
    std::string target = hs_.prefix + "/_matrix/client/v3/sync?filter=" + filter_;
    // The first sync of all is a snapshot, and the first after a fault shows at
    // once that the homeserver answers again: neither is held.
    bool hold = since_ && up_;
    target += "&timeout=" + std::to_string(hold ? int(SYNC_HOLD_S * 1000) : 0);
    if (since_) target += "&since=" + url_encode(*since_);
    HttpsAnswer a = co_await http.get(target, token_, hold ? SYNC_HOLD_S + SYNC_GRACE_S : CALL_TIMEOUT_S,
                             MATRIX_MAX_BODY_BYTES);
    Verdict v = judge(a);
    if (v.kind != Verdict::Ok) co_return v;
    MatrixSync batch;
    std::string error;
    if (!matrix_parse_sync(a.body, rooms_, names_, &batch, &error)) co_return Verdict{Verdict::Unusable, error};
    apply(batch, since_.has_value());
    save_state(s_, SINCE_KEY, batch.next_batch);
    since_ = batch.next_batch;
    co_return v;
}

// store_events false: the first answer of all, whose messages and gaps are the
// rooms' past; its state (names, encryption) is now.
void MatrixBridge::apply(const MatrixSync& batch, bool store_events) {
    for (const std::string& room : batch.encrypted) {
        if (!told_encrypted_.insert(room).second) continue;
        std::string line = room + " is end-to-end encrypted: the bridge holds no keys and cannot read its messages";
        say(line);
        report_.error(line);
    }
    if (batch.malformed > 0)
        report_.error(std::to_string(batch.malformed) + " events of the wrong shape in a /sync answer were skipped");
    if (!store_events) return;
    for (const MatrixEvent& e : batch.events) {
        if (e.kind == MatrixEvent::Text)
            store_chat(s_, report_, {"matrix", e.room, e.event_id, e.sender, e.name, e.text, e.sender});
        else
            delete_chat(s_, report_, "matrix", e.event_id);
    }
    for (const std::string& room : batch.gaps)
        report_.error("more was said in " + room + " than one answer holds: the older part of that stretch was not read");
}

}  // namespace

std::unique_ptr<Bridge> make_matrix_bridge(ServiceCore& s, const BridgeOptions& options) {
    return std::make_unique<MatrixBridge>(s, options);
}

}  // namespace bridges
