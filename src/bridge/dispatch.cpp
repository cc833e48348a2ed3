#include "bridge/dispatch.h"

#include "app/app_log.h"
#include "bridge/bridge_handlers.h"
#include "bridge/json_text.h"

#include <array>

namespace {

void log_from_page(const std::optional<std::string>& data) { app_log("[JS] %s", data ? data->c_str() : ""); }

const std::array<bridge_entry, 12> table = {{
    {"__log__", log_from_page},
    {"showAlert", handler_show_alert},
    {"bringToFront", handler_bring_to_front},
    {"openBrowser", handler_open_browser},
    {"resizeWindow", handler_resize_window},
    {"setWindowBackground", handler_set_window_background},
    {"httpGet", handler_http_get},
    {"postToken", handler_post_token},
    {"startFileWatcher", handler_start_file_watcher},
    {"uploadPrintedFile", handler_upload_printed_file},
    {"deletePrintedFile", handler_delete_printed_file},
    {"clearPrintedFiles", handler_clear_printed_files},
}};

}  // namespace

const bridge_entry* bridge_table(std::size_t& count) {
    count = table.size();
    return table.data();
}

void on_web_message_received(std::string_view message) {
    dispatch_bridge_message(json_find_string(message, "handler"), json_find_string(message, "data"));
}

void dispatch_bridge_message(const std::optional<std::string>& handler, const std::optional<std::string>& data) {
    if (!handler) return;
    for (const auto& entry : table) {
        if (entry.name == *handler) {
            if (entry.handler != nullptr) {
                entry.handler(data);
                return;
            }
            break;
        }
    }
    app_log("[bridge] UNHANDLED handler: %s", handler->c_str());
}
