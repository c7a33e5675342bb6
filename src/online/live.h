// Live notices (live.cpp; fetchFern_inner and live_take in answers.cpp): every
// five minutes the mascot asks who of the streamer's circle is live; each
// newly listed handle gets a notice bubble offering its channel page. The
// streamer's own notice sets VIMO_LIVE and can be snoozed.
//
// Threads: fetchFern_inner runs on the network worker and owns
// previousFernOnline; livesToSpawn passes handles from it to the main thread
// under livesToSpawn_lock; the rest is the main thread's.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

struct Element;

extern std::vector<std::string> previousFernOnline;  // handles of the last good answer (worker)
extern std::vector<std::string> livesToSpawn;        // handles to announce; guarded by livesToSpawn_lock
extern std::mutex livesToSpawn_lock;
extern std::string live_person;                      // handle of the notice shown last (main thread)
extern std::atomic<bool> VIMO_LIVE;                  // the streamer's notice shown and still listed
extern std::atomic<bool> VIMO_SNOOZED;               // the user dismissed the streamer's notice

void fetchFern();                          // Queue the live-list request
void fetchFern_inner(std::string body);    // Worker: announce new handles, clear VIMO_LIVE when gone
// The most handles one live list is read for (announced and remembered); the
// rest of a longer list is ignored, except that the streamer still counts as listed.
inline constexpr size_t LIVE_MAX_HANDLES = 256;
std::vector<std::string> live_take();      // Take livesToSpawn over under its lock
// The mascot's take: at most one handle, the last queued, since each notice
// replaces the one before; a streamer's notice skipped on the way still counts
// as shown (VIMO_LIVE set, the snooze cleared), as live_spawn would have done.
std::vector<std::string> live_take_latest();
Element* live_spawn(std::string handle);   // Show the notice for handle (replacing any bubble)
void live_click(Element* menu, int index);  // The notice's chooser
void clear_menu();                         // Remove an active block spawner, close the open bubble
