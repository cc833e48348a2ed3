#pragma once
// Notices through the desktop's notification service. Main thread.

#include "window/printed_notice.h"

#include <functional>

// Shows the notice; `on_activated` runs when the user clicks it. Without a session bus or a
// notification service the notice is logged as not shown, and the program carries on.
void show_desktop_notice(const desktop_notice& notice, std::function<void()> on_activated);
