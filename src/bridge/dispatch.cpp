#include "bridge/dispatch.h"

#include "base/app_log.h"
#include "base/json_text.h"
#include "bridge/handlers.h"
#include "bridge/web_requests.h"
#include "documents/folder_watcher.h"
#include "documents/upload.h"
#include "window/web_view_scripts.h"

#include <array>

namespace {

std::function<void(const printed_file_event&)> printed_file_observer;

void log_from_page(const handler_data& data) { app_log("[JS] %s", data ? data->c_str() : ""); }

struct bridge_entry {
    std::string_view name;
    void (*handler)(const handler_data& data);
};

constexpr std::array<bridge_entry, 12> table = {{
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

// The console hook's entry first, then the shim's names in the shim's order.
constexpr bool table_follows_shim() {
    if (table.size() != bridge_handler_names.size() + 1 || table[0].name != "__log__") return false;
    for (std::size_t i = 0; i < bridge_handler_names.size(); ++i)
        if (table[i + 1].name != bridge_handler_names[i]) return false;
    return true;
}
static_assert(table_follows_shim(), "the dispatch table and the shim's handler list must agree");

}  // namespace

void on_web_message_received(std::string_view message) {
    dispatch_bridge_message(json_find_string(message, "handler"), json_find_string(message, "data"));
}

void dispatch_bridge_message(const std::optional<std::string>& handler, const std::optional<std::string>& data) {
    if (!handler) return;
    for (const auto& entry : table) {
        if (entry.name == *handler) {
            entry.handler(data);
            return;
        }
    }
    app_log("[bridge] UNHANDLED handler: %s", handler->c_str());
}

void install_bridge_deliverers() {
    set_posted_deliverer(deliver_upload_result);
    set_posted_deliverer([](const printed_file_event& event) {
        deliver_new_printed_file(event);
        if (printed_file_observer) printed_file_observer(event);
    });
    set_posted_deliverer(deliver_http_get_result);
    set_posted_deliverer(deliver_token_result);
    set_posted_deliverer(deliver_upload_progress);
}

void set_printed_file_observer(std::function<void(const printed_file_event&)> observer) {
    printed_file_observer = std::move(observer);
}
