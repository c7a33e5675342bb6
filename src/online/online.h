// Online features: login through the browser, the chat feed, the commune
// composer, live notices, and the Bluesky and blog checks. This header is the
// module's face to the program: its start-up, the online jobs of one frame and
// the browser seam. Each job declares the rest in a header of its own:
//   online/jobs.h         the jobs' table and the chat poll's schedule
//   online/wake.h         the wake-up channel
//   online/handover.h     results handed from the network worker to the main thread
//   online/json_text.h    reading service answers; UTF-8 text helpers
//   online/text_bounds.h  bounds on a chat box's text
//   online/chat_look.h    a chat line's colour, badges and emotes, and its layout
//   online/emotes.h       the chat pictures: fetched, cached, played
//   online/login.h, online/chat.h, online/commune.h, online/live.h,
//   online/feeds.h        the features
//
// Threads. Network callbacks (the *_inner functions, commune_update_entered)
// run on the network worker and never touch elements, `menu`, `USER` or
// `CONFIG`: what the main thread must do with an answer is queued with
// online_post and run by online_drain, which online_tick calls once per frame,
// first thing. Everything in these headers runs on the main thread unless its
// line says otherwise.
//
// The functions marked (answers.cpp) read a service answer and nothing but
// their own state, so that they can be tested and fuzzed without a window;
// they depend only on the JSON library.
#pragma once

#include <string>

// ---- Start-up --------------------------------------------------------------
// Fill every slot of online_jobs and of the mascot's vimo_hooks, reset the
// chat-poll schedule, read "chat_boxes" from CONFIG into chat_boxes_limit and
// "emote_cache_mb" into the pictures' cache bound, printing a line for a value
// that is not usable (main thread, before the first frame).
void online_init();

// ---- The online jobs of one frame (jobs.cpp) ---------------------------------
// Called by the frame loop before the elements' update: 0 drain the hand-over;
// 1 feed checks at 5 s, then every 300 s; 2 live notices (a notice brings the
// next poll within 5 s); 3 the chat poll, started when due, its outcome picked
// up in the frame it is handed over (news: 5 s after its slot, quiet: the
// interval doubles up to an hour); 4 chat boxes, dropped while the stream is
// live and not snoozed. Between 2 and 3, a wake-up (take_wake) brings the next
// poll within WAKE_SPREAD s and the interval back to 5 s, as a successful poll
// does; one that comes while a poll runs waits for that poll's outcome. time
// is the frame loop's running time before this frame, dt this frame's time.
// What each pass calls, and the schedule, are in online/jobs.h.
void online_tick(float dt, float time);

// ---- The browser ---------------------------------------------------------------
// Test seam: when set, the online features hand browser addresses here instead
// of to net's open(). Main thread (the addresses are opened from drained actions
// and choosers). Null in the program.
extern void (*online_open_hook)(const std::string& url);
void online_open(const std::string& url);  // open(url), or the hook when set
