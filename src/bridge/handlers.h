#pragma once
// Every handler of the bridge table: adapters from the page's message data to the areas
// that do the work.

#include "base/posted_messages.h"

#include <functional>
#include <optional>
#include <string>

using handler_data = std::optional<std::string>;

// Window and shell (window_handlers.cpp).
void handler_show_alert(const handler_data& data);
void handler_bring_to_front(const handler_data& data);
void handler_open_browser(const handler_data& data);
void handler_resize_window(const handler_data& data);
void handler_set_window_background(const handler_data& data);

// Web requests (web_requests.cpp).
void handler_http_get(const handler_data& data);
void handler_post_token(const handler_data& data);

// Printed documents (document_handlers.cpp).
void handler_start_file_watcher(const handler_data& data);
void handler_upload_printed_file(const handler_data& data);
void handler_delete_printed_file(const handler_data& data);
void handler_clear_printed_files(const handler_data& data);

// Registers the page calls of every worker result with the posted-message table. Start-up,
// before any worker runs.
void install_bridge_deliverers();

// Told of each printed file once the page has been: the host announces it on the desktop
// while its window is out of sight. Start-up, main thread.
void set_printed_file_observer(std::function<void(const printed_file_event&)> observer);
