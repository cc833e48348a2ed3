#pragma once
// The output folder watcher: reports printed PDFs to the page, deletes them on its word.

#include "window/posted_messages.h"

#include <string>

constexpr std::size_t new_printed_file_script_limit = 2560;

std::string new_printed_file_script(const printed_file_event& event);

#include "bridge/dispatch.h"

inline constexpr bridge_handler handler_start_file_watcher = nullptr;
inline constexpr bridge_handler handler_delete_printed_file = nullptr;
inline constexpr bridge_handler handler_clear_printed_files = nullptr;
