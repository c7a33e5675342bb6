// The mascot's way into the online features it needs itself: the streamer's
// live state (the mascot hangs still while live and its main menu stays shut)
// and the main menu's online choices. The mascot must run (and be tested)
// without the online module, which sits above it, so it reaches them only
// through this table of function pointers. The periodic online jobs are not
// here: the frame loop runs them (online_tick, online/online.h).
//
// The online module fills every slot once at start-up, on the main thread,
// before the first frame (online_init, called by game_init before the mascot
// is created). A slot left null means "not available": the mascot counts the
// stream as not live, and the menu says the service is not reachable yet.
// Tests put fakes here.
//
// Threads: the table is written once at start-up and read on the main thread.
// The functions themselves are called on the main thread only.
#pragma once

struct Element;

struct VimoHooks {
    // The streamer's live state (single bytes written by the network worker
    // and by the live notice's chooser, read once per frame here).
    bool (*is_live)();      // VIMO_LIVE
    bool (*is_snoozed)();   // VIMO_SNOOZED

    // Main-menu choices.
    void (*login_spawn)();
    Element* (*commune_spawn)();
};

extern VimoHooks vimo_hooks;  // all null until the online module fills it
