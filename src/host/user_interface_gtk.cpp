#include "host/user_interface.h"

#include "base/app_log.h"
#include "bridge/handlers.h"
#include "documents/upload.h"
#include "host/desktop_notice.h"
#include "host/main_window.h"
#include "host/message_box.h"
#include "host/web_view.h"
#include "host/window_shell.h"

#include <gtk/gtk.h>

#include <cstdio>

namespace {

void show_file_too_large_notice(const std::string& caption, const std::string& text) {
    show_message_box_and_wait(caption, text, message_box_icon::warning);
}

// The page hears of every printed file; the desktop only of those printed while the user
// cannot see the window.
void announce_printed_file(const printed_file_event& event) {
    if (event.found_at_start || main_window_in_view()) return;
    show_desktop_notice(printed_file_notice(event), show_and_raise_main_window);
}

}  // namespace

bool start_user_interface(bool start_hidden) {
    // Start-up has set the locale before the printer service's thread began.
    gtk_disable_setlocale();
    if (!gtk_init_check(nullptr, nullptr)) {
        std::fprintf(stderr, "velunio-print-app: cannot open display\n");
        app_log("[window] cannot open display");
        return false;
    }
    install_window_shell();
    if (!create_main_window(start_hidden)) {
        app_log("[window] main window not created");
        return false;
    }
    set_file_too_large_notice(show_file_too_large_notice);
    set_printed_file_observer(announce_printed_file);
    // A failing web view tells the user and ends the main loop itself.
    start_web_view();
    return true;
}
