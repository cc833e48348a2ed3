// Runs the printer service as the program does (output folder, application log, the log
// variables, the service on its own thread) until it is killed.
#include "base/app_log.h"
#include "base/app_state.h"
#include "base/output_folder.h"
#include "base/platform.h"
#include "printer/printer_service.h"

#include <string>
#include <unistd.h>

int main() {
    std::string output = derive_output_dir_from_environment();
    prepare_output_folder(output);
    open_app_log(output);
    set_environment_variable("PAPPL_NO_STATUS_UI", "1");
    set_environment_variable("VELUNIO_LOG_FILE", output + "/velunio-print.log");
    set_environment_variable("VELUNIO_LOG_LEVEL", "warn");
    start_printer_service(printer_service_settings_from_environment(output));
    while (true) pause();
}
