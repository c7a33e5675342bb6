// The YouTube Data API's daily quota as the bridge spends it: the units of each
// call counted against the day's budget, the day renewed at midnight Pacific
// time (America/Los_Angeles: PST, UTC-8, and PDT, UTC-7, from the second Sunday
// of March 2:00 to the first Sunday of November 2:00), and the chat's polls
// slowed when the asked rate would spend the budget before the day ends.
//
// Threads: pure functions; a YtQuota belongs to the bridge's thread.
#pragma once

#include <cstdint>
#include <string>

namespace bridges {

inline constexpr int64_t YT_COST_PLAYLIST = 1;   // playlistItems.list
inline constexpr int64_t YT_COST_VIDEOS = 1;     // videos.list
inline constexpr int64_t YT_COST_MESSAGES = 5;   // liveChatMessages.list

// Pacific time's offset from UTC at the instant unix_s: -8 h or -7 h, in seconds.
int64_t pacific_offset_s(int64_t unix_s);
// The first midnight in Pacific time after the instant unix_s (seconds since
// 1970, UTC): when the quota's day renews.
int64_t pacific_midnight_after(int64_t unix_s);
// "2026-12-10 08:00 UTC"
std::string utc_minute_text(int64_t unix_s);

class YtQuota {
public:
    explicit YtQuota(int64_t units_a_day) : budget_(units_a_day) {}

    // The count at now (a new day starts from nothing): spent today and until when.
    void renew(int64_t now_s);
    // A saved count ("RESET SPENT EXHAUSTED") taken back when it is of the same day.
    void restore(const std::string& saved, int64_t now_s);
    std::string saved() const;  // "RESET SPENT EXHAUSTED"

    void spend(int64_t units) { spent_ += units; }
    // The API said the quota is spent (another user of the key, a smaller budget):
    // nothing is left until the reset, whatever the count says.
    void exhaust() { exhausted_ = true; }
    int64_t spent() const { return spent_; }
    int64_t left() const { return exhausted_ || spent_ >= budget_ ? 0 : budget_ - spent_; }
    int64_t reset_s() const { return reset_s_; }

    // The wait before the next chat poll, asked_s or longer so that the budget
    // lasts to the reset; with no budget for a poll left, the time to the reset.
    double poll_wait(double asked_s, int64_t now_s) const;
    // The report's details line, with the chat polled every asked_s (0 while no
    // chat is read).
    std::string details(double asked_s, int64_t now_s) const;

private:
    int64_t budget_;
    int64_t spent_ = 0;
    bool exhausted_ = false;
    int64_t reset_s_ = 0;  // unix seconds of the next Pacific midnight; 0 before renew
};

}  // namespace bridges
