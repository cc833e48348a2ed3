#pragma once
// The application log: one text file in the output folder, shared by every thread of the
// normal run, the printer service and a second instance.

#include "base/printf_format.h"

#include <cstdint>
#include <string>
#include <string_view>

constexpr std::uintmax_t app_log_rotate_size = 0x300000;  // 3 MiB

// Opens <output_dir>/velunio-print.log for appending and writes the start banner.
// Logging stays off (every app_log does nothing) when the file cannot be opened.
// Calling it again closes the previous log first.
bool open_app_log(const std::string& output_dir);
void close_app_log();

// Writes "[hh:mm:ss] " and the formatted message as one line. UTF-8 throughout.
void app_log(const char* format, ...) VELUNIO_PRINTF_FORMAT(1, 2);
void app_log_text(std::string_view message);

// Writes an already formatted line (no time prefix) under the same lock and rotation,
// for writers that bring their own line format.
void app_log_raw_line(std::string_view line);

std::string app_log_path();
bool app_log_is_open();
