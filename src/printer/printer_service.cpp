#include "printer/printer_service.h"

#include "base/app_log.h"
#include "base/app_state.h"
#include "base/flows.h"
#include "base/output_folder.h"
#include "printer/flow_device.h"
#include "printer/flow_file.h"
#include "printer/job_claims.h"
#include "printer/log_relay.h"
#include "printer/loopback_port.h"
#include "printer/printer_driver.h"
#include "printer/service_config.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace {

char program_name[] = "Velunio Printaro";
char sub_command[] = "server";
char* service_argv[3] = {program_name, sub_command, nullptr};
char callback_data[] = "velunio";

std::atomic<int> service_threads{0};
std::atomic<bool> system_served{false};
std::atomic<bool> stop_requested{false};
std::atomic<bool> loop_started{false};
// Set before the thread starts and read on it alone afterwards.
printer_service_settings settings;

constexpr const char* service_version = "1.0";
constexpr const char* footer_text = "Velunio Printaro. Documents are saved to the output folder.";
constexpr const char* system_name = "Sign Myself (Velunio)";
constexpr const char* dnssd_subtypes = "_print,_universal";
constexpr const char* device_id = "MFG:Velunio;MDL:Printaro;";
constexpr const char* organization = "Orvane";
constexpr const char* contact_name = "Velunio";
constexpr const char* contact_email = "support@velunio.com";

// Multiple queues and the standard web pages. PAPPL 1.3 numbers its web interface bit
// 0x10; its bit 0x04 would open raw print sockets on every interface.
constexpr auto system_options =
    static_cast<pappl_soptions_t>(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE);

// The system and its printers are built afresh on every run: nothing is saved, and
// registering this keeps the main loop from loading or writing a state file of its own.
bool save_nothing(pappl_system_t*, void*) { return true; }

// The run loop sleeps in poll() for as long as nothing happens and only then notices a
// shutdown request; a timer every second bounds that wait. Its first run is also the first
// moment the loop is known to run, with the library's signal handlers in place.
bool wake_run_loop(pappl_system_t*, void*)
{
    if (!loop_started.exchange(true) && settings.on_loop_started)
        settings.on_loop_started();
    return true;
}

std::optional<std::string> setting_named(const char* name)
{
    if (std::string_view(name) == "VELUNIO_LOG_FILE")
        return settings.log_file;
    if (std::string_view(name) == "VELUNIO_LOG_LEVEL")
        return settings.log_level;
    return std::nullopt;
}

pappl_system_t* create_printer_system(int num_options, cups_option_t* options, void* data);
void create_flow_printer(pappl_system_t* system, const flow& f, int printer_id, const std::string& folder);

int run_printer_service()
{
    papplMainloop(2, service_argv, service_version, footer_text, 1, driver_table, nullptr, driver_callback, nullptr,
                  nullptr, create_printer_system, nullptr, callback_data);
    // Nothing of a job stays behind in the spool folder once the service has ended.
    if (!settings.spool_dir.empty())
        flow_remove_spool_folder(settings.spool_dir);
    if (system_served && !stop_requested && settings.on_ended_unasked)
        settings.on_ended_unasked();
    return 0;
}

// The application's log file is reached through the application's own writer (one lock,
// one rotation); any other name is handed to the library as it is.
log_relay_ptr relay_for(const std::string& configured)
{
    if (configured.empty() || !app_log_is_open() || configured != app_log_path())
        return nullptr;
    return create_log_relay();
}

// The system callback: builds the system, its listeners, drivers and printers.
pappl_system_t* create_printer_system(int, cups_option_t*, void*)
{
    pappl_contact_t contact;
    std::memset(&contact, 0, sizeof(contact));
    papplCopyString(contact.name, contact_name, sizeof(contact.name));
    papplCopyString(contact.email, contact_email, sizeof(contact.email));

    service_log_settings log = settle_service_log(setting_named);
    log_relay_ptr relay = relay_for(log.file);
    std::string log_file = relay ? log_relay_name(*relay) : log.file;
    int port = settings.port;

    // A spool folder of the service's own, private and on the output folder's file system,
    // so that a spooled document can become the landed file without a copy.
    std::string spool_error;
    const std::string& spool = settings.spool_dir;
    bool own_spool = !spool.empty() && flow_prepare_spool_folder(spool, spool_error);
    pappl_system_t* system = papplSystemCreate(system_options, system_name, port, dnssd_subtypes,
                                               own_spool ? spool.c_str() : nullptr, log_file.c_str(), log.level,
                                               nullptr, false);
    if (relay)
        run_log_relay(std::move(relay), [](std::string_view line) { app_log_raw_line(line); });
    if (!system)
        return nullptr;
    if (!spool.empty() && !own_spool)
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Cannot create spool directory '%s': %s", spool.c_str(),
                 spool_error.c_str());
    reset_job_claims();
    // Rotation belongs to the application log.
    papplSystemSetMaxLogSize(system, 0);
    papplSystemSetSaveCallback(system, save_nothing, nullptr);

    if (!loopback_port_available(port) || !papplSystemAddListeners(system, "localhost")) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Failed to add TCP listeners on port %d.", port);
        papplSystemDelete(system);
        return nullptr;
    }
    papplSystemSetPrinterDrivers(system, 1, driver_table, nullptr, nullptr, driver_callback, callback_data);
    // Pictures become PDF pages here rather than raster pages of the library's own filters.
    for (const char* picture : {"image/jpeg", "image/png"})
        papplSystemAddMIMEFilter(system, picture, "application/pdf", driver_filter_picture, nullptr);
    papplSystemAddTimerCallback(system, 0, 1, wake_run_loop, nullptr);
    papplSystemSetContact(system, &contact);
    papplSystemSetDNSSDName(system, system_name);

    const std::string& output = settings.output_dir;
    std::optional<std::string> folder = to_uri_path(output);
    if (!folder) {
        std::string error;
        if (!flow_make_directory(output, error)) {
            papplLog(system, PAPPL_LOGLEVEL_ERROR, "Cannot create output directory '%s': %s", output.c_str(),
                     error.c_str());
            papplSystemDelete(system);
            return nullptr;
        }
        folder = to_uri_path(output);
        if (!folder)
            folder = output;
    }

    register_flow_device();
    // IPP wants printer-id from 1; PAPPL 1.3 hands out 0 when asked for the next free one.
    for (std::size_t i = 0; i < flows.size(); ++i)
        create_flow_printer(system, flows[i], static_cast<int>(i) + 1, *folder);
    system_served = true;
    return system;
}

// Makes a flow's sub-folder and its printer; failures are logged.

void create_flow_printer(pappl_system_t* system, const flow& f, int printer_id, const std::string& folder)
{
    std::string printer_name(f.printer_name);
    std::string path = folder + "/" + std::string(f.folder);
    std::string error;
    if (!flow_make_directory(path, error)) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Cannot create sub-directory '%s': %s", path.c_str(), error.c_str());
        return;
    }
    flow_remove_stale_temp_files(path);
    std::optional<std::string> uri = flow_device_uri(path);
    pappl_printer_t* printer =
        uri ? papplPrinterCreate(system, printer_id, printer_name.c_str(), velunio_driver_name, device_id, uri->c_str()) : nullptr;
    if (!printer) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Failed to create printer '%s'.", printer_name.c_str());
        return;
    }
    papplPrinterSetDNSSDName(printer, printer_name.c_str());
    papplPrinterSetOrganization(printer, organization);
}

}  // namespace

printer_service_settings printer_service_settings_from_environment(std::string output_dir)
{
    printer_service_settings s;
    s.output_dir = std::move(output_dir);
    s.spool_dir = spool_dir_for(s.output_dir);
    s.port = ipp_port_from_environment();
    s.log_file = raw_env("VELUNIO_LOG_FILE");
    s.log_level = raw_env("VELUNIO_LOG_LEVEL");
    return s;
}

void start_printer_service(printer_service_settings given)
{
    settings = std::move(given);
    loop_started = false;
    stop_requested = false;
    system_served = false;
    service_threads++;
    std::thread([] {
        run_printer_service();
        service_threads--;
    }).detach();
}

bool printer_service_running() { return service_threads.load() > 0 || log_relays_running() > 0; }

bool wait_for_printer_service_end(std::chrono::milliseconds limit)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (printer_service_running()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void stop_printer_service()
{
    stop_requested = true;
    papplMainloopShutdown();
}
