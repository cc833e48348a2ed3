#include "app/startup.h"

#include "app/app_log.h"
#include "app/callback_scheme.h"
#include "app/second_instance.h"
#include "app/app_state.h"
#include "app/error_reporting.h"
#include "app/main_loop.h"
#include "documents/too_large_notice.h"
#include "printer/printer_service.h"
#include "register/printer_register.h"
#include "window/user_interface.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#ifndef VELUNIO_INSTALLED_UI_DIR
#define VELUNIO_INSTALLED_UI_DIR "/usr/share/velunio-printaro/ui"
#endif

namespace {

int run_normal(bool start_hidden, const std::optional<std::string>& command_line) {
    setenv("PAPPL_NO_STATUS_UI", "1", 1);

    app_paths paths;
    paths.ui_dir = derive_ui_dir(executable_path(), VELUNIO_INSTALLED_UI_DIR);
    paths.output_dir = derive_output_dir([](const char* name) { return env_value(name); },
                                         [](const std::string& why) { std::fprintf(stderr, "%s\n", why.c_str()); });
    paths.app_version = build_version();
    set_app_paths(paths);

    // Parents too: a new user may not have ~/.local/share yet, and without the folder the
    // log would be silently off.
    create_folder_with_parents(output_dir());
    open_app_log(output_dir());
    setup_error_reporting(app_version(), output_dir());

    if (claim_single_instance(output_dir()) == instance_claim::second) {
        app_log("[startup] Second instance, cmdline: %s", command_line ? command_line->c_str() : "(none)");
        handle_second_instance(command_line);
        close_error_reporting();
        return 0;
    }

    app_log("Starting. ui=%s out=%s", ui_dir().c_str(), output_dir().c_str());
    register_callback_scheme();

    std::string log_file = output_dir() + "/velunio-print.log";
    setenv("VELUNIO_LOG_FILE", log_file.c_str(), 1);
    setenv("VELUNIO_LOG_LEVEL", "warn", 1);
    start_printer_service();
    if (!start_user_interface(start_hidden)) {
        stop_printer_service();
        wait_for_printer_service_end(std::chrono::seconds(2));
        close_error_reporting();
        return 1;
    }

    set_file_too_large_notice(show_file_too_large_notice);

    int exit_code = run_main_loop();

    stop_printer_service();
    // Lets the service's last lines reach the log before the process ends under it.
    wait_for_printer_service_end(std::chrono::seconds(2));
    close_error_reporting();
    return exit_code;
}

}  // namespace

int run_program(int argc, char** argv) {
    std::string command_line = join_command_line(argc, argv);
    command_line_choice choice = select_mode(command_line);
    switch (choice.mode) {
        case run_mode::register_printers:
            return velunio_register_printers();
        case run_mode::unregister_printers:
            return velunio_unregister_printers();
        case run_mode::normal:
            break;
    }
    std::optional<std::string> passed;
    if (argc > 1) passed = command_line;
    return run_normal(choice.start_hidden, passed);
}
