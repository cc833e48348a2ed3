#pragma once
// The printer service: the printer library's main loop with the two flow printers, on a
// thread of its own.

#include "base/ipp_port.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

struct printer_service_settings {
    std::string output_dir;
    // The library's spool folder, emptied at start and removed at the end; empty leaves the
    // library's default (a folder under TMPDIR).
    std::string spool_dir;
    int port = default_ipp_port;
    std::optional<std::string> log_file;   // as VELUNIO_LOG_FILE gives it; none is standard error
    std::optional<std::string> log_level;  // as VELUNIO_LOG_LEVEL gives it; none is warn
    // On the service's thread, once its loop runs: the library has put its own signal
    // handlers in place by then.
    std::function<void()> on_loop_started;
    // The loop ended without stop_printer_service (a stop signal that the library caught).
    std::function<void()> on_ended_unasked;
};


// The settings as the environment gives them (VELUNIO_LOG_FILE, VELUNIO_LOG_LEVEL,
// VELUNIO_IPP_PORT), for the output folder given.
printer_service_settings printer_service_settings_from_environment(std::string output_dir);

// Starts one detached thread running the service.
void start_printer_service(printer_service_settings settings);

// Asks the main loop to end; the thread is not waited for. Safe to call more than once,
// and when the service never started.
void stop_printer_service();

// True from start_printer_service until the main loop has returned and the library's log
// lines have all been handed on.
bool printer_service_running();

// Waits, at most `limit`, for the service to end after stop_printer_service. A process
// that exits while the library still tears its system down races its static destructors.
bool wait_for_printer_service_end(std::chrono::milliseconds limit);
