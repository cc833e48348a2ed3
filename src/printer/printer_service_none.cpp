// The printer service where the printer library has no build (Windows, until PAPPL and libcups
// are built for it): start-up says so in the log, and the rest of the program runs without printers.

#include "printer/printer_service.h"

#include "base/app_log.h"
#include "base/flows.h"

printer_service_settings printer_service_settings_from_environment(std::string output_dir) {
    printer_service_settings settings;
    settings.output_dir = std::move(output_dir);
    settings.port = ipp_port_from_environment();
    return settings;
}

void start_printer_service(printer_service_settings settings) {
    app_log("[printer] This build has no printer service: \"%.*s\" and \"%.*s\" are not served on port %d",
            static_cast<int>(flows[0].printer_name.size()), flows[0].printer_name.data(),
            static_cast<int>(flows[1].printer_name.size()), flows[1].printer_name.data(), settings.port);
}

void stop_printer_service() {}

bool printer_service_running() { return false; }

bool wait_for_printer_service_end(std::chrono::milliseconds) { return true; }
