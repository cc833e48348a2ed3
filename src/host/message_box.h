#pragma once
// The program's one modal box: the page's alert, the too-large notice and the web view's
// failure all use it. A box never outlives the run: a stop signal closes it.

#include <string>

enum class message_box_icon { warning, error };

// Main thread: shows the box and returns once it is closed or the run ends.
void show_message_box(const std::string& caption, const std::string& text, message_box_icon icon);

// Any other thread: shows the box for it (GTK on the main thread; Windows on the calling
// thread, as the system allows) and returns once it is closed or the run ends.
void show_message_box_and_wait(const std::string& caption, const std::string& text, message_box_icon icon);
