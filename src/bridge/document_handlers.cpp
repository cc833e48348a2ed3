#include "bridge/handlers.h"

#include "base/app_log.h"
#include "base/app_state.h"
#include "base/flows.h"
#include "base/json_text.h"
#include "documents/folder_watcher.h"
#include "documents/upload.h"


namespace {

printed_file_watcher* process_watcher = nullptr;  // main thread only

}  // namespace

void handler_start_file_watcher(const handler_data&) {
    // A page loaded again asks again; it is told what is there, and one watcher goes on.
    if (process_watcher != nullptr) return report_present_files(*process_watcher);
    // The process's watcher runs until the process ends; it is deliberately never destroyed.
    process_watcher = start_printed_file_watcher(output_dir()).release();
}

void handler_delete_printed_file(const handler_data& data) {
    if (!data || data->empty()) return;
    delete_printed_file(output_dir(), *data);
}

void handler_clear_printed_files(const handler_data&) {
    for (const flow& f : flows) clear_flow_folder(output_dir(), f.folder);
}

void handler_upload_printed_file(const handler_data& data) {
    std::optional<std::string> path, token, endpoint, name, flow_type;
    if (data) {
        path = json_find_string(*data, "path");
        token = json_find_string(*data, "token");
        endpoint = json_find_string(*data, "endpoint");
        name = json_find_string(*data, "envelopeName");
        flow_type = json_find_string(*data, "envelopeFlowType");
    }
    if (!path || !token || !endpoint || !name || !flow_type) {
        app_log("[uploadPrintedFile] Invalid message -- missing required field");
        return;
    }
    start_upload({std::move(*path), std::move(*token), std::move(*endpoint), std::move(*name), std::move(*flow_type)});
}
