#pragma once
// The printer service: PAPPL's main loop with the two flow printers, on a thread of its own.

#include <pappl/pappl.h>

#include <chrono>
#include <string>

// Starts one detached thread running run_printer_service. The environment it reads
// (VELUNIO_LOG_FILE, VELUNIO_LOG_LEVEL, VELUNIO_OUTPUT_DIR, VELUNIO_IPP_PORT) must be set
// before.
void start_printer_service();

// Asks the main loop to end; the thread is not waited for. Safe to call more than once,
// and when the service never started.
void stop_printer_service();

// True from start_printer_service until the main loop has returned and the library's log
// lines have all been handed on.
bool printer_service_running();

// Waits, at most `limit`, for the service to end after stop_printer_service. A process
// that exits while the library still tears its system down races its static destructors.
bool wait_for_printer_service_end(std::chrono::milliseconds limit);

// The thread routine: PAPPL's main loop with the "server" sub-command.
int run_printer_service();

// The system callback: builds the system, its listeners, drivers and printers.
pappl_system_t* create_printer_system(int num_options, cups_option_t* options, void* data);

// Makes a flow's sub-folder and its printer; failures are logged.
void create_flow_printer(pappl_system_t* system, const char* printer_name, const std::string& folder,
                         const char* sub_folder);
