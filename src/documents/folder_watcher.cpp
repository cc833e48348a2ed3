#include "documents/folder_watcher.h"

#include "app/app_log.h"
#include "app/app_state.h"
#include "bridge/json_text.h"
#include "window/page_script.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

std::string new_printed_file_script(const printed_file_event& event) {
    return "window.velunio&&typeof window.velunio._onNewPrintedFile==='function'&&window.velunio._onNewPrintedFile('" +
           js_escape_single(event.path) + "','" + js_escape_single(event.flow) + "')";
}

void deliver_new_printed_file(const printed_file_event& event) {
    run_bounded_page_script(new_printed_file_script(event), new_printed_file_script_limit, "new printed file report");
}

namespace {

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool has_pdf_suffix(std::string_view name) {
    return name.size() >= 5 && equals_ignoring_case(name.substr(name.size() - 4), ".pdf");
}

}  // namespace

std::optional<printed_file_event> printed_file_report(const std::string& output_dir, std::string_view relative) {
    if (!has_pdf_suffix(relative)) return std::nullopt;
    printed_file_event event;
    event.path = sanitize_utf8(output_dir + "/" + std::string(relative));
    std::size_t slash = relative.find('/');
    bool request_flow = slash != std::string_view::npos && equals_ignoring_case(relative.substr(0, slash), "request-signature");
    event.flow = request_flow ? "request_signature" : "sign_myself";
    return event;
}

std::optional<std::string> confined_printed_file(const std::string& output_dir, const std::string& path) {
    if (path.empty()) return std::nullopt;
    std::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(path, ec))) return std::nullopt;
    fs::path resolved = fs::canonical(path, ec);
    if (ec) return std::nullopt;
    for (const char* flow : flow_folders) {
        fs::path folder = fs::canonical(fs::path(output_dir) / flow, ec);
        if (!ec && resolved.parent_path() == folder) return resolved.string();
    }
    return std::nullopt;
}

void delete_printed_file(const std::string& output_dir, const std::string& path) {
    auto resolved = confined_printed_file(output_dir, path);
    if (!resolved) {
        app_log("[deletePrintedFile] Refused: not a printed file: %s", path.c_str());
        return;
    }
    std::error_code ec;
    fs::remove(*resolved, ec);  // a failure is not reported
}

void clear_flow_folder(const std::string& output_dir, const std::string& flow_folder) {
    std::error_code ec;
    fs::directory_iterator it(fs::path(output_dir) / flow_folder, ec);
    if (ec) return;
    for (const auto& entry : it) {
        std::string name = entry.path().filename().string();
        std::error_code type_ec;
        if (!has_pdf_suffix(name) || entry.symlink_status(type_ec).type() == fs::file_type::directory) continue;
        std::error_code remove_ec;
        if (fs::remove(entry.path(), remove_ec) && !remove_ec) {
            app_log("[clearPrintedFiles] Deleted %s/%s", flow_folder.c_str(), name.c_str());
        } else {
            app_log("[clearPrintedFiles] Failed to delete %s/%s (err=%lu)", flow_folder.c_str(), name.c_str(),
                    static_cast<unsigned long>(remove_ec.value()));
        }
    }
}

namespace {

// Reports the file unless this very file (same name, same identity) was reported before.
void report_once(printed_file_watcher& watcher, const std::string& relative) {
    auto event = printed_file_report(watcher.root, relative);
    if (!event) return;
    auto identity = file_identity(watcher.root + "/" + relative);
    if (identity) {
        std::lock_guard guard(watcher.lock);
        if (!watcher.reported.insert(relative + '\n' + *identity).second) return;
    }
    app_log("[startFileWatcher] New file detected: %s (printer=%s)", relative.c_str(), event->flow.c_str());
    post_to_main_window(std::move(*event));
}

void scan_folder(printed_file_watcher& watcher, const std::string& relative, bool log_queued) {
    std::error_code ec;
    fs::directory_iterator it(fs::path(watcher.root) / relative, ec);
    if (ec) return;
    for (const auto& entry : it) {
        std::string name = relative + "/" + entry.path().filename().string();
        if (!has_pdf_suffix(name)) continue;
        if (log_queued) app_log("[startFileWatcher] Existing file queued: %s", name.c_str());
        report_once(watcher, name);
    }
}

}  // namespace

void watcher_name_arrived(printed_file_watcher& watcher, const std::string& relative) { report_once(watcher, relative); }

void watcher_folder_arrived(printed_file_watcher& watcher, const std::string& relative) {
    // What was renamed into the folder before its watch existed, and what came with it.
    std::error_code ec;
    fs::recursive_directory_iterator it(fs::path(watcher.root) / relative,
                                        fs::directory_options::skip_permission_denied, ec);
    if (ec) return;
    for (const auto& entry : it) {
        std::error_code type_ec;
        if (entry.symlink_status(type_ec).type() == fs::file_type::directory) continue;
        std::string name = fs::relative(entry.path(), watcher.root, type_ec).generic_string();
        if (!type_ec) report_once(watcher, name);
    }
}

void watcher_events_lost(printed_file_watcher& watcher) {
    app_log("[startFileWatcher] Change notifications were lost; rescanning the flow folders");
    for (const char* flow : flow_folders) scan_folder(watcher, flow, false);
}

std::unique_ptr<printed_file_watcher> start_printed_file_watcher(const std::string& output_dir) {
    auto watcher = std::make_unique<printed_file_watcher>();
    watcher->root = output_dir;
    std::error_code ec;
    fs::create_directory(output_dir, ec);
    for (const char* flow : flow_folders) fs::create_directory(fs::path(output_dir) / flow, ec);
    // Watches first, then the scan: a file renamed in between is seen by both and reported once.
    watcher->backend = open_watcher_backend(output_dir);
    for (const char* flow : flow_folders) scan_folder(*watcher, flow, true);
    if (watcher->backend) watcher->thread = std::thread(run_watcher_backend, std::ref(*watcher));
    return watcher;
}

void stop_printed_file_watcher(printed_file_watcher& watcher) {
    if (watcher.backend) wake_watcher_backend(*watcher.backend);
    if (watcher.thread.joinable()) watcher.thread.join();
}

namespace {

bool watcher_started = false;  // main thread only

}  // namespace

void handler_start_file_watcher(const std::optional<std::string>&) {
    if (watcher_started) return;
    watcher_started = true;
    // The process's watcher runs until the process ends; it is deliberately never destroyed.
    static printed_file_watcher* process_watcher = start_printed_file_watcher(output_dir()).release();
    (void)process_watcher;
}

void handler_delete_printed_file(const std::optional<std::string>& data) {
    if (!data || data->empty()) return;
    delete_printed_file(output_dir(), *data);
}

void handler_clear_printed_files(const std::optional<std::string>&) {
    for (const char* flow : flow_folders) clear_flow_folder(output_dir(), flow);
}
