#pragma once
// Carries the printer library's log lines into the application log. PAPPL 1.3 offers no
// log callback, only a file it opens itself; it is given a pipe instead, and a reader
// thread hands each line to the application log routine, so one writer with one lock and
// one rotation keeps the shared file whole.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

using log_line_sink = std::function<void(std::string_view line)>;

// Appends `chunk` to `pending` and passes every complete line (without its line end) to
// `sink`; a line longer than `max_line` is passed on in pieces of that size.
void split_log_lines(std::string& pending, std::string_view chunk, const log_line_sink& sink,
                     std::size_t max_line = 16384);

// Creates the pipe and starts its reader; returns the name the library should open as its
// log file, or nothing when no pipe can be made.
std::optional<std::string> start_log_relay(log_line_sink sink);

// Called once the library has opened the name: the name is removed, the pipe stays.
void log_relay_opened(const std::string& name);
