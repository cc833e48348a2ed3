#pragma once
// The installer modes: --register adds one CUPS queue for each of the two printers of the
// running printer service, --unregister removes them. Both write the registration log.

#include "base/flows.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Exit codes of the registration mode.
constexpr int register_ok = 0;
constexpr int register_failed = 1;
constexpr int register_not_elevated = 5;

int velunio_register_printers();
int velunio_unregister_printers();  // always 0

// The printer's address as the platform's queue takes it (backend).
std::string printer_ipp_url(const flow& printer, int port);

// The name under which the platform's queue for `printer` is looked for after an add: the
// CUPS queue name, or on Windows the printer's own name.
std::string registered_queue_name(const flow& printer);

struct queue_info {
    std::string name;
    std::string description;  // printer-info
    std::string device_uri;   // the device URI, or on Windows the port; empty when there is none
};

// Queues counted as this program's: a name holding one of the program's words (letter case
// kept), or a description that is exactly one of the two printer names.
bool is_flow_queue(const queue_info& queue);
// Queues whose device points at the printer service on `port`.
bool is_stale_device(std::string_view device_uri, int port);

// The presence check after lpadmin: by queue name, else the first queue whose device URI
// holds the URL. The found queue's name, or nullopt.
std::optional<std::string> find_registered_queue(const std::vector<queue_info>& queues,
                                                 std::string_view queue_name, std::string_view ipp_url);

// The queue tool's output as logged: the first 1023 bytes, trailing line ends and spaces removed.
std::string trimmed_child_output(std::string_view output);

// The device URI a queue finally gets: the printer's URL, with the backend told not to hold
// the queue until the printer service reports the job's end (the file has landed by then).
std::string queue_device_uri(const std::string& ipp_url);

// The queue's PPD with PDF passed to the printer service unchanged: no rescaling to the
// queue's paper, no rewriting, the document as it was printed. Other formats keep their
// conversions (text becomes PDF, pictures go as they are).
std::string ppd_with_pdf_passthrough(const std::string& ppd);

// Gives an added queue its final device URI and PPD, enabled and accepting (backend).
// nullopt when done, else the error text.
std::optional<std::string> finish_queue(const flow& printer, const std::string& ipp_url);

// Deletes this program's queues, then any queue left that points at the printer service.
void remove_flow_printers();

// What start-up logs about the queues: that a queue points at each printer on `port`, or which
// printers have none and how to add them (`queues` is nullopt when no scheduler answered).
std::string queue_report(const std::optional<std::vector<queue_info>>& queues, int port);
// Reads the queues and logs queue_report's line. Waits on the scheduler: call it off the main thread.
void log_queue_report(int port);

// Timings with their test overrides from the environment (absent: the fixed values).
struct register_timing {
    int attempts = 45;
    std::chrono::milliseconds pause{1000};
    std::chrono::milliseconds presence_pause{500};
    std::chrono::milliseconds retry_pause{3000};
};
register_timing register_timing_from_environment();
// A positive decimal number of at most 7 digits, else nullopt.
std::optional<int> positive_setting(std::optional<std::string> value);

// Platform seams.
bool is_elevated();
bool wait_for_ipp_server(int attempts, int port, std::chrono::milliseconds pause);
void pause_for(std::chrono::milliseconds duration);
unsigned long current_process_id();

// The platform's names in the log lines, so that each build names its own tools.
struct register_words {
    std::string_view tool;             // the program that adds a queue, as in "<tool> output"
    std::string_view add_command;      // how an add is logged: "[name] <add_command> '<url>'"
    std::string_view added_by;         // "[name] <added_by> ok, printer present"
    std::string_view start_failure;    // "<start_failure> failed err=<n>"
    std::string_view not_elevated;     // the whole FATAL line
    std::string_view program;          // "Is <program> running?"
    std::string_view delete_call;      // "WARNING: not elevated; <delete_call> may fail."
};
const register_words& platform_register_words();
// The command a user types to add the queues.
std::string_view register_command();

struct child_result {
    bool started = false;
    int error = 0;         // errno (GetLastError on Windows) when not started
    std::string_view failed_call;  // what failed when not started; empty: words.start_failure
    int exit_code = 1;     // 1 when it cannot be read
    std::string output;    // stdout and stderr together, at most child_output_limit bytes
};
constexpr std::size_t child_output_limit = 1023;
constexpr std::chrono::milliseconds child_time_limit{90000};
child_result run_captured(const std::vector<std::string>& argv, std::chrono::milliseconds limit);

// Runs the platform's tool that adds the queue for `printer` at `url`, output captured.
child_result run_add_queue(const flow& printer, const std::string& url);

// The queues of the platform's spooler: CUPS (the scheduler libcups finds: CUPS_SERVER, else
// the system's), or the Windows print spooler's local and connected printers.
std::optional<std::vector<queue_info>> list_queues();
// Deletes one of this program's queues, and where ports stand apart from queues (Windows) its
// port too; failures are logged in the platform's words.
void delete_flow_queue(const queue_info& queue);

// A device that points at the printer service: a CUPS queue's device URI (deleting it deletes
// that queue), or a Windows printer port.
struct stale_port {
    std::string name;
    std::string queue;  // the CUPS queue that uses it; empty on Windows
};
std::optional<std::vector<stale_port>> list_ports();
void delete_stale_port(const stale_port& port);
