#include "host/window_shell.h"

#include "base/app_log.h"
#include "bridge/window_handlers.h"
#include "host/main_window.h"
#include "host/message_box.h"

#include <gio/gio.h>
#include <gtk/gtk.h>

#include <memory>

namespace {

struct gfree {
    void operator()(gpointer p) const { g_free(p); }
};

void show_alert(const std::string& caption, const std::string& text) {
    show_message_box(caption, text, message_box_icon::warning);
}

void open_uri(const std::string& uri) {
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &error)) {
        app_log("[openBrowser] not opened: %s", error ? error->message : "unknown");
        g_clear_error(&error);
    }
}

bool deeplink_handler_installed() {
    std::unique_ptr<GAppInfo, decltype(&g_object_unref)> app(g_app_info_get_default_for_uri_scheme("velunio"),
                                                             g_object_unref);
    if (!app) return false;
    const char* exe = g_app_info_get_executable(app.get());
    if (exe == nullptr || *exe == '\0') return false;
    if (g_path_is_absolute(exe)) return g_file_test(exe, G_FILE_TEST_IS_EXECUTABLE);
    std::unique_ptr<char, gfree> found(g_find_program_in_path(exe));
    return found != nullptr;
}

}  // namespace

void install_window_shell() {
    window_shell s;
    s.show_alert = show_alert;
    s.bring_to_front = show_and_raise_main_window;
    s.open_uri = open_uri;
    s.deeplink_handler_installed = deeplink_handler_installed;
    s.apply_window_size = apply_window_size;
    s.set_background = set_main_window_background;
    set_window_shell(std::move(s));
}
