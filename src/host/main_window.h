#pragma once
// The program's only top-level window: a borderless window with a drawn title strip and
// the web view below it. Main thread only.

#include "window/title_bar.h"

// Creates the window; shows it unless `start_hidden`. False when no window could be made.
bool create_main_window(bool start_hidden);

// Whether the user can see the window: shown and not minimised.
bool main_window_in_view();

// Shows, restores and raises the window where it was last (second instance, bringToFront).
void show_and_raise_main_window();

// The page's chosen size, title strip excluded; the bottom-left corner stays in place.
void apply_window_size(int logical_w, int logical_h_without_title);

// The colour of the strip and of the web view's background.
void set_main_window_background(rgb_colour colour);
rgb_colour main_window_background();

// Where the web view host packs the view (a GtkBox).
void* main_window_content_box();
