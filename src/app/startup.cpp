#include "app/startup.h"

#include "app/callback_scheme.h"
#include "app/error_reporting.h"
#include "app/second_instance.h"
#include "base/app_log.h"
#include "base/app_state.h"
#include "base/main_loop.h"
#include "base/output_folder.h"
#include "base/platform.h"
#include "bridge/handlers.h"
#include "host/main_window.h"
#include "host/user_interface.h"
#include "printer/printer_service.h"
#include "register/printer_register.h"

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#ifndef VELUNIO_INSTALLED_UI_DIR
#define VELUNIO_INSTALLED_UI_DIR "/usr/share/velunio-printaro/ui"
#endif

namespace {

// The process settings of the normal run (DPI awareness, the COM apartment), first made and
// last undone.
struct desktop_process {
    desktop_process() { enter_desktop_process(); }
    ~desktop_process() { leave_desktop_process(); }
    desktop_process(const desktop_process&) = delete;
    desktop_process& operator=(const desktop_process&) = delete;
};

int run_normal(bool start_hidden, const std::optional<std::string>& command_line) {
    // Once, here, before any other thread: setlocale is not safe while another thread reads
    // the locale (the printer service does as it starts), so the toolkit does not set it again.
    std::setlocale(LC_ALL, "");
    desktop_process desktop;
    set_environment_variable("PAPPL_NO_STATUS_UI", "1");

    app_paths paths;
    paths.ui_dir = derive_ui_dir(executable_path(), VELUNIO_INSTALLED_UI_DIR);
    paths.output_dir = derive_output_dir([](const char* name) { return env_value(name); },
                                         [](const std::string& why) { std::fprintf(stderr, "%s\n", why.c_str()); });
    paths.app_version = read_app_version().value_or("unknown");
    set_app_paths(paths);

    // Parents too: a new user may not have ~/.local/share yet, and without the folder the
    // log would be silently off. The folder and the web view's data are the user's alone.
    prepare_output_folder(output_dir());
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

    // The printer service takes its settings as arguments; the variables stay for anything
    // that reads them from the environment.
    printer_service_settings service;
    service.output_dir = output_dir();
    service.spool_dir = spool_dir_for(service.output_dir);
    service.port = ipp_port_from_environment();
    service.log_file = output_dir() + "/velunio-print.log";
    service.log_level = "warn";
    set_environment_variable("VELUNIO_LOG_FILE", *service.log_file);
    set_environment_variable("VELUNIO_LOG_LEVEL", *service.log_level);
    service.on_loop_started = claim_stop_signals;
    service.on_ended_unasked = [] { quit_main_loop(0); };

    claim_stop_signals();
    install_bridge_deliverers();
    int port = service.port;
    start_printer_service(std::move(service));
    // Reading the queues waits on the scheduler, which may not answer at all: a worker of
    // its own keeps that off the start.
    std::thread([port] { log_queue_report(port); }).detach();
    if (!start_user_interface(start_hidden)) {
        stop_printer_service();
        wait_for_printer_service_end(std::chrono::seconds(2));
        close_error_reporting();
        return 1;
    }

    set_bring_to_front_action(show_and_raise_main_window);

    int exit_code = run_main_loop();

    stop_printer_service();
    // Lets the service's last lines reach the log before the process ends under it.
    wait_for_printer_service_end(std::chrono::seconds(2));
    close_error_reporting();
    return exit_code;
}

}  // namespace

int run_program(int argc, char** argv) {
    std::optional<std::string> passed;
    if (argc > 1) passed = join_command_line(argc, argv);
    return run_program_with_command_line(passed);
}

int run_program_with_command_line(const std::optional<std::string>& passed) {
    command_line_choice choice = select_mode(passed.value_or(""));
    switch (choice.mode) {
        case run_mode::register_printers:
            return velunio_register_printers();
        case run_mode::unregister_printers:
            return velunio_unregister_printers();
        case run_mode::normal:
            break;
    }
    return run_normal(choice.start_hidden, passed);
}
