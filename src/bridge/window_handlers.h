#pragma once
// The page's handlers that act on the main window and the desktop.

#include "bridge/dispatch.h"

inline constexpr bridge_handler handler_show_alert = nullptr;
inline constexpr bridge_handler handler_bring_to_front = nullptr;
inline constexpr bridge_handler handler_open_browser = nullptr;
inline constexpr bridge_handler handler_resize_window = nullptr;
inline constexpr bridge_handler handler_set_window_background = nullptr;
