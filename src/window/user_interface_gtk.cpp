#include "window/user_interface.h"

#include "app/app_log.h"
#include "app/second_instance.h"
#include "bridge/window_handlers.h"
#include "window/main_window.h"
#include "window/web_view.h"

#include <gtk/gtk.h>

#include <cstdio>

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
    set_bring_to_front_action(show_and_raise_main_window);
    // A failing web view tells the user and ends the main loop itself.
    start_web_view();
    return true;
}
