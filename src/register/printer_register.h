#pragma once
// The installer modes: --register adds one CUPS queue for each of the two printers of the
// running printer service, --unregister removes them. Both write the registration log.

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

struct flow_printer {
    const char* name;           // the printer's name, also the queue's description
    const char* resource_path;  // where the printer service publishes it
};
inline constexpr flow_printer flow_printers[] = {
    {"Sign Myself (Velunio)", "/ipp/print/Sign_Myself_(Velunio)"},
    {"Request Signature (Velunio)", "/ipp/print/Request_Signature_(Velunio)"},
};

// ipp://localhost:<port><path>: lpadmin's IPP Everywhere set-up takes only an IPP scheme.
std::string printer_ipp_url(const flow_printer& printer, int port);

// The printer name with spaces as underscores and only the characters a queue name may
// safely hold (letters, digits, '_', '-', '.'): "Sign Myself (Velunio)" -> "Sign_Myself_Velunio".
std::string queue_name_for(std::string_view printer_name);

struct queue_info {
    std::string name;
    std::string description;  // printer-info
    std::string device_uri;   // empty when the queue has none
};

// Queues counted as this program's by name or description.
bool is_flow_queue(const queue_info& queue);
// Queues whose device points at the printer service on `port`.
bool is_stale_device(std::string_view device_uri, int port);

// The presence check after lpadmin: by queue name, else the first queue whose device URI
// holds the URL. The found queue's name, or nullopt.
std::optional<std::string> find_registered_queue(const std::vector<queue_info>& queues,
                                                 std::string_view queue_name, std::string_view ipp_url);

// lpadmin's output as logged: the first 1023 bytes, trailing line ends and spaces removed.
std::string trimmed_child_output(std::string_view output);

// Deletes this program's queues, then any queue left that points at the printer service.
void remove_flow_printers();

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
bool is_elevated();                                                       // posix
bool wait_for_ipp_server(int attempts, int port, std::chrono::milliseconds pause);  // posix
void pause_for(std::chrono::milliseconds duration);                       // posix
unsigned long current_process_id();                                       // posix
std::string lpadmin_program();  // /usr/sbin/lpadmin, else found through PATH; posix

struct child_result {
    bool started = false;
    int error = 0;         // errno when not started
    int exit_code = 1;     // 1 when it cannot be read
    std::string output;    // stdout and stderr together, at most child_output_limit bytes
};
constexpr std::size_t child_output_limit = 1023;
constexpr std::chrono::milliseconds child_time_limit{90000};
child_result run_captured(const std::vector<std::string>& argv, std::chrono::milliseconds limit);  // posix

// The scheduler libcups finds (CUPS_SERVER, else the system's).
std::optional<std::vector<queue_info>> list_queues();  // cups
// nullopt when deleted or already gone, else the error text.
std::optional<std::string> delete_queue(const std::string& name);  // cups
