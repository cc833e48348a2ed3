#pragma once
// The web view host: the page below the title strip, served from the UI folder under the
// program's own scheme. Main thread only.

#include "window/title_bar.h"

// Creates the view in the main window and loads the start page; on failure tells the user
// and ends the run with exit code 1.
bool start_web_view();

// Colour shown where the page paints no background of its own.
void set_web_view_background(rgb_colour colour);
