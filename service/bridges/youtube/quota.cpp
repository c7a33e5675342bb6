// The YouTube Data API's daily quota (see quota.h).
#include "bridges/youtube/quota.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>

namespace bridges {

namespace {

using namespace std::chrono;

constexpr int64_t DAY_S = 86400;
constexpr int64_t PST_S = -8 * 3600, PDT_S = -7 * 3600;

int64_t unix_of(year_month_day d) { return int64_t(sys_days(d).time_since_epoch().count()) * DAY_S; }

// Seconds of a poll cost in units at this wait: units / seconds.
double rate(double wait_s) { return wait_s > 0 ? double(YT_COST_MESSAGES) / wait_s : 0; }

std::string duration_text(double s) {
    char out[48];
    if (s < 120) std::snprintf(out, sizeof out, "%.1f s", s);
    else if (s < 7200) std::snprintf(out, sizeof out, "%.0f min", s / 60);
    else std::snprintf(out, sizeof out, "%.1f h", s / 3600);
    return out;
}

}  // namespace

int64_t pacific_offset_s(int64_t unix_s) {
    // The year as seen in UTC is the year of the changes: neither is near New Year.
    year y = year_month_day(floor<days>(sys_seconds(seconds(unix_s)))).year();
    // 2:00 PST = 10:00 UTC on the second Sunday of March; 2:00 PDT = 9:00 UTC on the first Sunday of November.
    int64_t start = unix_of(year_month_day(y / March / Sunday[2])) + 10 * 3600;
    int64_t end = unix_of(year_month_day(y / November / Sunday[1])) + 9 * 3600;
    return unix_s >= start && unix_s < end ? PDT_S : PST_S;
}

int64_t pacific_midnight_after(int64_t unix_s) {
    int64_t local = unix_s + pacific_offset_s(unix_s);
    int64_t day = local >= 0 ? local / DAY_S : (local - DAY_S + 1) / DAY_S;
    int64_t next_local = (day + 1) * DAY_S;
    // Midnight is never inside a change (they are at 2:00): the offset there is
    // the one an hour either side, taken at the later (PST) guess.
    int64_t guess = next_local - PST_S;
    return next_local - pacific_offset_s(guess);
}

std::string utc_minute_text(int64_t unix_s) {
    sys_seconds t{seconds(unix_s)};
    year_month_day d(floor<days>(t));
    hh_mm_ss<seconds> hms(t - floor<days>(t));
    char out[40];
    std::snprintf(out, sizeof out, "%04d-%02u-%02u %02d:%02d UTC", int(d.year()), unsigned(d.month()),
                  unsigned(d.day()), int(hms.hours().count()), int(hms.minutes().count()));
    return out;
}

void YtQuota::renew(int64_t now_s) {
    if (reset_s_ != 0 && now_s < reset_s_) return;
    spent_ = 0;
    exhausted_ = false;
    reset_s_ = pacific_midnight_after(now_s);
}

void YtQuota::restore(const std::string& saved, int64_t now_s) {
    long long reset = 0, spent = 0;
    int exhausted = 0;
    if (std::sscanf(saved.c_str(), "%lld %lld %d", &reset, &spent, &exhausted) != 3) return;
    // Only the count of the day now running: a reset past or far ahead is another day's.
    if (reset != pacific_midnight_after(now_s) || spent < 0) return;
    reset_s_ = reset;
    spent_ = spent;
    exhausted_ = exhausted != 0;
}

std::string YtQuota::saved() const {
    return std::to_string(reset_s_) + " " + std::to_string(spent_) + " " + (exhausted_ ? "1" : "0");
}

double YtQuota::poll_wait(double asked_s, int64_t now_s) const {
    double to_reset = double(reset_s_ - now_s);
    if (to_reset <= 0) return asked_s;  // a new day: the caller renews
    if (left() < YT_COST_MESSAGES) return to_reset;
    // Polls left at most, spread over the time to the reset.
    double even = to_reset / double(left() / YT_COST_MESSAGES);
    return asked_s >= even ? asked_s : even;
}

std::string YtQuota::details(double asked_s, int64_t now_s) const {
    std::string line = std::to_string(spent_) + " of " + std::to_string(budget_) + " units spent today, " +
                       std::to_string(left()) + " left; the day renews at " + utc_minute_text(reset_s_) +
                       " (midnight Pacific)";
    if (left() < YT_COST_MESSAGES)
        return line + (exhausted_ ? "; the API says the quota is spent: no call until then"
                                  : "; out of units: no call until then");
    if (asked_s <= 0) return line;
    double lasts = double(left()) / rate(asked_s);
    double to_reset = double(reset_s_ - now_s);
    if (lasts >= to_reset)
        return line + "; at this rate (a poll every " + duration_text(asked_s) + ") the units last " +
               duration_text(lasts) + ", past the reset";
    double wait = poll_wait(asked_s, now_s);
    return line + "; at the asked rate (a poll every " + duration_text(asked_s) + ") it would last " +
           duration_text(lasts) + ": slowed to a poll every " + duration_text(wait) + " to last until " +
           utc_minute_text(reset_s_);
}

}  // namespace bridges
