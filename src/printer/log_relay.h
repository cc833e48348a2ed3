#pragma once
// Carries the printer library's log lines into the application log. PAPPL 1.3 offers no
// log callback, only a file it opens itself; it is given a pipe instead, and a reader
// thread hands each line to the application log routine, so one writer with one lock and
// one rotation keeps the shared file whole.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

using log_line_sink = std::function<void(std::string_view line)>;

// Appends `chunk` to `pending` and passes every complete line (without its line end) to
// `sink`; a line longer than `max_line` is passed on in pieces of that size.
void split_log_lines(std::string& pending, std::string_view chunk, const log_line_sink& sink,
                     std::size_t max_line = 16384);

struct log_relay;  // the pipe's read end; defined by the platform backend
struct log_relay_closer {
    void operator()(log_relay* relay) const;
};
using log_relay_ptr = std::unique_ptr<log_relay, log_relay_closer>;

// Creates the pipe; null when no pipe can be made.
log_relay_ptr create_log_relay();

// The name the library should open as its log file.
const std::string& log_relay_name(const log_relay& relay);

// Called once the library has opened (or failed to open) the name: the name is removed and
// a reader thread passes the lines to `sink` until the library closes its end.
void run_log_relay(log_relay_ptr relay, log_line_sink sink);

// Reader threads that have not yet seen the library close its end.
int log_relays_running();
