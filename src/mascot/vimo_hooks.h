// The mascot's way into the online features. vimo_update is the clock of
// everything online and the main menu starts the login and the composer, but
// the mascot must run (and be tested) without the online module; so it calls
// the online features only through this table of function pointers.
//
// The online module fills every slot once at start-up, on the main thread,
// before the first frame (from its own init function, called by game_init
// before the mascot is created). A slot left null means "not available":
// the mascot skips that step, and the chat-poll schedule treats a poll that
// could not start as a quiet one. Tests put fakes here.
//
// Threads: the table is written once at start-up and read on the main thread.
// The functions themselves are called on the main thread only.
#pragma once

#include <string>
#include <vector>

struct Element;

struct VimoHooks {
    // Feed checks, started every 300 s from the mascot's update; each queues
    // its request and returns at once.
    void (*fetchFern)();
    void (*fetchBsky)();
    void (*fetchBlog)();

    // Takes the live-notice hand-over list over, under the lock its writer on
    // the network worker uses, and leaves it empty: at most one handle (each
    // notice would replace the one before), so at most one notice a frame.
    std::vector<std::string> (*take_lives)();
    // Shows one live notice (replacing any open bubble); returns its bubble.
    Element* (*live_spawn)(std::string handle);

    // The chat poll, which runs off the main thread: start one (false when
    // none could start), then ask each frame for its outcome: 1 news, 0 quiet,
    // -1 not ended yet. The outcome is known once the poll's boxes are queued.
    bool (*poll_chat_start)();
    int (*poll_chat_outcome)();
    // Takes the chat box texts queued by poll_chat over and leaves the list empty.
    std::vector<std::string> (*take_chats)();
    // Creates one chat box element.
    void (*spawn_chat)(std::string text);

    // The streamer's live state (single bytes written by the network worker
    // and by the live notice's chooser, read once per frame here).
    bool (*is_live)();      // VIMO_LIVE
    bool (*is_snoozed)();   // VIMO_SNOOZED

    // Main-menu choices.
    void (*login_spawn)();
    Element* (*commune_spawn)();

    // Runs the results the network worker handed over (login answers, the
    // commune post's answer) on the main thread, in arrival order. Called first
    // thing in every update, before the feed checks.
    void (*drain)();
};

extern VimoHooks vimo_hooks;  // all null until the online module fills it
