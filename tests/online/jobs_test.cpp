// The clock of the online jobs: feeds at 5 s and then every 300 s, the
// chat-poll schedule, live notices and chat boxes, each job a fake.
#include <algorithm>
#include <cstdlib>
#include <utility>
#include <vector>

#include "mascot/mascot_fixture.h"
#include "online/jobs.h"
#include "online/online.h"

namespace {

// Recorders for the hooks.
std::vector<float> pollTimes;
std::vector<bool> pollAnswers;  // answers given in order; quiet once used up
std::vector<std::string> feedCalls;
std::vector<std::string> pendingLives, pendingChats, spawnedLives, spawnedChats;
bool live = false, snoozed = false;
float clockNow = 0;

int fakeOutcome = -1;      // what the outcome hook reports next
bool answerAtOnce = true;  // a started poll ends in the frame it starts in
bool fakePoll() {
    pollTimes.push_back(clockNow);
    size_t i = pollTimes.size() - 1;
    bool news = i < pollAnswers.size() ? pollAnswers[i] : false;
    if (answerAtOnce) fakeOutcome = news ? 1 : 0;
    return true;
}
int takeOutcome() { return std::exchange(fakeOutcome, -1); }
std::vector<std::string> takeLives() { return std::exchange(pendingLives, {}); }
std::vector<std::string> takeChats() { return std::exchange(pendingChats, {}); }
std::string pendingWake;  // what the wake-up channel announces next
std::string lastChat;     // the cursor the fake polls leave
std::string takeWake() { return std::exchange(pendingWake, {}); }

class OnlineJobsTest : public MascotScene {
protected:
    void SetUp() override {
        MascotScene::SetUp();
        online_jobs = {};
        online_jobs_reset();
        pollTimes.clear();
        pollAnswers.clear();
        feedCalls.clear();
        pendingLives.clear();
        pendingChats.clear();
        spawnedLives.clear();
        spawnedChats.clear();
        live = snoozed = false;
        clockNow = 0;
        fakeOutcome = -1;
        answerAtOnce = true;
        online_jobs.poll_chat_start = fakePoll;
        online_jobs.poll_chat_outcome = takeOutcome;
        online_jobs.fetchFern = [] { feedCalls.push_back("fern"); };
        online_jobs.fetchBsky = [] { feedCalls.push_back("bsky"); };
        online_jobs.fetchBlog = [] { feedCalls.push_back("blog"); };
        online_jobs.take_lives = takeLives;
        online_jobs.live_spawn = [](std::string h) -> Element* {
            spawnedLives.push_back(h);
            return nullptr;
        };
        online_jobs.take_chats = takeChats;
        online_jobs.spawn_chat = [](std::string t) { spawnedChats.push_back(t); };
        online_jobs.is_live = [] { return live; };
        online_jobs.is_snoozed = [] { return snoozed; };
        pendingWake.clear();
        lastChat.clear();
        online_jobs.take_wake = takeWake;
        online_jobs.wake_seen = [](const std::string& m) { return m == lastChat; };
        srand(7);  // the wake-up's random delays, drawn the same each run
    }
    void TearDown() override {
        online_jobs = {};
        MascotScene::TearDown();
    }

    // Frames of the loop's clock: time is the sum of the earlier frames' dt.
    float time = 0;
    void runJobsUntil(float end, float dt) {
        while (time < end) {
            clockNow = time;
            online_tick(dt, time);
            time += dt;
        }
    }
    std::vector<float> intervals() {
        std::vector<float> out;
        for (size_t i = 1; i < pollTimes.size(); i++) out.push_back(pollTimes[i] - pollTimes[i - 1]);
        return out;
    }
};

TEST_F(OnlineJobsTest, QuietChatBacksOffToAnHour) {
    runJobsUntil(16000, 0.25f);
    ASSERT_FALSE(pollTimes.empty());
    EXPECT_EQ(pollTimes[0], 3.0f);
    std::vector<float> expected = {10, 20, 40, 80, 160, 320, 640, 1280, 2560, 3600, 3600, 3600};
    std::vector<float> got = intervals();
    got.resize(std::min(got.size(), expected.size()));
    EXPECT_EQ(got, expected);
    EXPECT_EQ(poll_duration, 3600);
}

TEST_F(OnlineJobsTest, FirstPollInTheFirstFrameAtThreeSeconds) {
    // Frames of 1/60 s: the first poll runs in the first frame whose time is >= 3.
    runJobsUntil(3.5f, 1.0f / 60);
    ASSERT_EQ(pollTimes.size(), 1u);
    EXPECT_GE(pollTimes[0], 3.0f);
    EXPECT_LT(pollTimes[0] - 1.0f / 60, 3.0f);
}

TEST_F(OnlineJobsTest, NewsResetsTheIntervalToFive) {
    pollAnswers = {false, false, false, true, true, false};
    runJobsUntil(200, 0.25f);
    std::vector<float> got = intervals();
    ASSERT_GE(got.size(), 6u);
    // 3 (quiet) +10 (quiet) +20 (quiet) +40 (news) +5 (news) +5 (quiet) +10 ...
    EXPECT_EQ(std::vector<float>(got.begin(), got.begin() + 6), (std::vector<float>{10, 20, 40, 5, 5, 10}));
}

TEST_F(OnlineJobsTest, LiveNoticePullsTheNextPollIn) {
    runJobsUntil(100, 0.25f);  // polls at 3, 13, 33, 73; next at 153, interval 80
    ASSERT_EQ(next_poll, 153);
    pendingLives = {"a", "b"};
    clockNow = time;
    float noticeTime = time;
    online_tick(0.25f, time);
    time += 0.25f;
    EXPECT_EQ(spawnedLives, (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(pendingLives.empty());
    EXPECT_EQ(poll_duration, 5);
    EXPECT_EQ(next_poll, noticeTime + 5);
    runJobsUntil(110, 0.25f);
    EXPECT_EQ(pollTimes.back(), noticeTime + 5);

    // A notice does not push a sooner poll later.
    next_poll = time + 1;
    float soon = next_poll;
    pendingLives = {"c"};
    online_tick(0.25f, time);
    EXPECT_EQ(next_poll, soon);
}

TEST_F(OnlineJobsTest, APollLateAfterAStalledFrameStillRunsAndPollingGoesOn) {
    runJobsUntil(14, 0.25f);  // polls at 3 and 13; next at 33
    ASSERT_EQ(pollTimes.size(), 2u);
    // A frame of 30 s (say a poll waiting on an unresponsive service) followed
    // by a normal one: the window of the next frame starts after 33.
    clockNow = time;
    online_tick(0.25f, time);
    time += 30;
    clockNow = time;
    online_tick(0.25f, time);
    time += 0.25f;
    EXPECT_EQ(pollTimes.size(), 3u);
    runJobsUntil(200, 0.25f);
    EXPECT_GE(pollTimes.size(), 5u);
    EXPECT_GT(next_poll, time);
}

TEST_F(OnlineJobsTest, ASlowPollIsNeverStartedTwiceAndItsOutcomeSetsTheSchedule) {
    answerAtOnce = false;
    runJobsUntil(60, 0.25f);  // started at 3, still running
    EXPECT_EQ(pollTimes, std::vector<float>{3});
    EXPECT_TRUE(vimo_poll_running);
    fakeOutcome = 0;  // ends quiet at 60: the slot at 13 is long past, so 10 s from now
    runJobsUntil(60.25f, 0.25f);
    EXPECT_FALSE(vimo_poll_running);
    EXPECT_EQ(next_poll, 70);
    runJobsUntil(71, 0.25f);
    EXPECT_EQ(pollTimes, (std::vector<float>{3, 70}));
    fakeOutcome = 1;  // news: back to 5 s after its slot
    runJobsUntil(72, 0.25f);
    EXPECT_EQ(next_poll, 75);
    EXPECT_EQ(poll_duration, 5);
}

TEST_F(OnlineJobsTest, AWakeUpPollsWithinTwoSecondsAndLeavesTheScheduleAsAPollWithNewsWould) {
    runJobsUntil(2000, 0.25f);  // quiet: polls at 3, 13, ..., 1273; next at 2553
    ASSERT_EQ(next_poll, 2553);
    size_t quiet = pollTimes.size();

    // A wake-up: the next poll within 2 s, the interval back to 5 s.
    pollAnswers.assign(quiet, false);
    pollAnswers.push_back(true);
    pendingWake = "db-7";
    float woken = time;
    runJobsUntil(woken + 3, 0.25f);
    ASSERT_EQ(pollTimes.size(), quiet + 1);
    EXPECT_GE(pollTimes.back(), woken);
    EXPECT_LE(pollTimes.back(), woken + WAKE_SPREAD);
    EXPECT_EQ(poll_duration, 5);
    // As after any poll with news: 5 s after its slot (the frame runs it up to a frame late).
    EXPECT_NEAR(next_poll, pollTimes.back() + 5, 0.25f);

    // A crowd's delays spread over the 2 s rather than falling on one moment.
    std::vector<float> delays;
    for (int i = 0; i < 40; i++) {
        online_jobs_reset();
        next_poll = 1e6f;
        pendingWake = "db-8";
        clockNow = 100;
        online_tick(0.25f, 100);
        delays.push_back(next_poll - 100);
    }
    auto [lo, hi] = std::minmax_element(delays.begin(), delays.end());
    EXPECT_GE(*lo, 0);
    EXPECT_LE(*hi, WAKE_SPREAD);
    EXPECT_GT(*hi - *lo, 1.0f);

    // A busy chat: a wake-up every second (the service's fold) and news at
    // every poll keep the pace of one poll every 5 s: 13 at most in 60 s.
    online_jobs_reset();
    pollTimes.clear();
    pollAnswers.assign(100, true);
    time = 0;
    for (int second = 0; second < 60; second++) {
        pendingWake = "db-busy-" + std::to_string(second);
        lastChat = "db-busy-" + std::to_string(second - 1);  // each poll shows what came before it
        runJobsUntil(float(second + 1), 1.0f / 60);
    }
    EXPECT_LE(pollTimes.size(), 13u);
    EXPECT_GE(pollTimes.size(), 11u);
    for (float gap : intervals()) EXPECT_GE(gap, 5 - 1.0f / 60);
}

TEST_F(OnlineJobsTest, AWakeUpWhosePollFoundAnOlderPageIsAskedAgainTwiceAtMost) {
    runJobsUntil(100, 0.25f);  // quiet; next poll at 153
    size_t before = pollTimes.size();

    // The poll after the wake-up finds nothing new (a cached page) and the
    // message is unseen: asked again 1 to 2 s later, twice, then the schedule.
    pendingWake = "db-9";
    runJobsUntil(108, 0.25f);  // the last recheck by 100 + 2 + 2 x 2; the schedule's next after 110
    ASSERT_EQ(pollTimes.size(), before + 3);
    for (size_t i = before + 1; i < pollTimes.size(); i++) {
        EXPECT_GE(pollTimes[i] - pollTimes[i - 1], WAKE_RECHECK_AFTER);
        EXPECT_LE(pollTimes[i] - pollTimes[i - 1], WAKE_RECHECK_AFTER + WAKE_SPREAD / 2 + 0.25f);
    }
    float last = pollTimes.back();
    EXPECT_NEAR(next_poll, last + 10, 0.25f);  // a quiet poll after the fastest interval: the plain back-off

    // A message already shown (the user's own post, or a poll that came first):
    // its wake-up's quiet poll is not asked again.
    lastChat = "db-10";
    pendingWake = "db-10";
    size_t n = pollTimes.size();
    runJobsUntil(time + 3, 0.25f);
    EXPECT_EQ(pollTimes.size(), n + 1);
    EXPECT_NEAR(next_poll, pollTimes.back() + 10, 0.25f);

    // A wake-up while a poll runs waits for that poll's outcome, then polls.
    answerAtOnce = false;
    next_poll = time;
    runJobsUntil(time + 0.5f, 0.25f);
    ASSERT_TRUE(vimo_poll_running);
    n = pollTimes.size();
    pendingWake = "db-11";
    runJobsUntil(time + 5, 0.25f);
    EXPECT_EQ(pollTimes.size(), n);  // none started beside the running one
    answerAtOnce = true;
    fakeOutcome = 0;
    float ended = time;
    runJobsUntil(time + 3, 0.25f);
    ASSERT_GE(pollTimes.size(), n + 1);
    EXPECT_LE(pollTimes[n], ended + 0.25f + WAKE_SPREAD);
}

TEST_F(OnlineJobsTest, FeedsAtFiveSecondsThenEveryFiveMinutes) {
    std::vector<float> ticks;
    float dt = 1.0f / 60;
    double t = 0;
    for (int frame = 0; frame < 60 * 620; frame++) {
        size_t before = feedCalls.size();
        online_tick(dt, (float)t);
        if (feedCalls.size() != before) {
            EXPECT_EQ(feedCalls.size() - before, 3u);
            ticks.push_back((float)t);
        }
        t += dt;
    }
    ASSERT_EQ(ticks.size(), 3u);
    EXPECT_NEAR(ticks[0], 5, dt);
    EXPECT_NEAR(ticks[1], 305, dt);
    EXPECT_NEAR(ticks[2], 605, dt);
    EXPECT_LT(ticks[0], 5);
    EXPECT_EQ(std::vector<std::string>(feedCalls.begin(), feedCalls.begin() + 3),
              (std::vector<std::string>{"fern", "bsky", "blog"}));
}

TEST_F(OnlineJobsTest, ChatBoxesDroppedWhileLiveAndNotSnoozed) {
    pendingChats = {"one", "two"};
    online_tick(0.01f, 0);
    EXPECT_EQ(spawnedChats, (std::vector<std::string>{"one", "two"}));

    live = true;
    pendingChats = {"three"};
    online_tick(0.01f, 0);
    EXPECT_EQ(spawnedChats.size(), 2u);
    EXPECT_TRUE(pendingChats.empty());  // dropped, not kept for later
    online_tick(0.01f, 0);
    EXPECT_EQ(spawnedChats.size(), 2u);

    snoozed = true;
    pendingChats = {"four"};
    online_tick(0.01f, 0);
    EXPECT_EQ(spawnedChats.back(), "four");
}

TEST_F(OnlineJobsTest, WithoutOnlineFeaturesTheJobsDoNothingHarmful) {
    online_jobs = {};
    for (float t = 0; t < 400; t += 0.5f) online_tick(0.5f, t);
    // The schedule still advances as for a quiet chat: 3, 13, 33, 73, 153, 313.
    EXPECT_EQ(poll_duration, 320);
    EXPECT_EQ(next_poll, 633);
    // And the full update runs too.
    vimo_update(vimo, 1.0f / 60, 401);
    EXPECT_FALSE(vimo->drawables[0].source.empty());
}

}  // namespace
