#include "host/user_interface.h"

#include "base/app_log.h"
#include "documents/upload.h"
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

}  // namespace

bool start_user_interface(bool start_hidden) {
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
    // A failing web view tells the user and ends the main loop itself.
    start_web_view();
    return true;
}
