// The commune composer (commune.cpp): a bubble with a title, a hint and the
// draft line the user types into; Enter posts the draft to the service, whose
// chat feed every copy of the program shows.
//
// Threads: main thread, except commune_update_entered (network worker), which
// hands the answer over. The composer's state is one record private to
// commune.cpp; the names below are its fields.
#pragma once

#include <string>

#include "gfx/raylib.h"

struct Element;

extern std::string& commune_content;  // the draft (UTF-8); main thread
extern const Vector2& commune_size;   // bubble size as built, minus the empty draft line's height
extern const float& commune_left;     // x offset of the draft line's left edge anchor

Element* commune_spawn();                                  // Open the composer bubble (the window takes the keyboard)
void commune_destroy(Element* bubble);                     // onDestroy: the window gives the keyboard back
void commune_update(Element* bubble, float dt, float time);  // onUpdate: keys, draft, post
// One frame of the composer with the keys already read (commune_update's body;
// tests drive it). ch: typed code point or 0.
void commune_input(Element* bubble, int ch, bool enter, bool backspace);
void commune_redraw(Element* bubble);                      // Re-lay the draft line and the bubble's size
std::string commune_post_url();                            // The post's URL for the current draft
void commune_update_entered(std::string body);             // Worker: the post's answer, handed over
