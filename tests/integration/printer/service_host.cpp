// Runs the printer service as the program does (application log opened, the log variables
// exported, the service on its own thread) until it is killed. Tests use it to kill the
// service in the middle of a job.
#include "app/app_log.h"
#include "app/app_state.h"
#include "printer/printer_service.h"

#include <cstdlib>
#include <string>
#include <unistd.h>

int main()
{
    std::string output = derive_output_dir_from_environment();
    create_folder_with_parents(output);
    open_app_log(output);
    setenv("PAPPL_NO_STATUS_UI", "1", 1);
    setenv("VELUNIO_LOG_FILE", (output + "/velunio-print.log").c_str(), 1);
    setenv("VELUNIO_LOG_LEVEL", "warn", 1);
    start_printer_service();
    while (true)
        pause();
}
