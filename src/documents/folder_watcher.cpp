#include "documents/folder_watcher.h"

#include "base/app_log.h"
#include "base/flows.h"
#include "base/json_text.h"
#include "base/page_script.h"

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

bool has_pdf_suffix(std::string_view name) {
    if (name.size() < 5) return false;
    std::string_view ext = name.substr(name.size() - 4);
    return ext[0] == '.' && (ext[1] | 0x20) == 'p' && (ext[2] | 0x20) == 'd' && (ext[3] | 0x20) == 'f';
}

}  // namespace

std::optional<printed_file_event> printed_file_report(const std::string& output_dir, std::string_view relative) {
    if (!has_pdf_suffix(relative)) return std::nullopt;
    printed_file_event event;
    event.path = sanitize_utf8(output_dir + "/" + std::string(relative));
    // Anything outside the request folder counts as the first flow, the output folder's own files too.
    std::size_t slash = relative.find('/');
    std::optional<flow> in_flow = slash == std::string_view::npos ? std::nullopt : flow_for_folder(relative.substr(0, slash));
    event.flow = in_flow ? in_flow->flow_name : flows[0].flow_name;
    return event;
}

std::optional<std::string> confined_printed_file(const std::string& output_dir, const std::string& path) {
    if (path.empty()) return std::nullopt;
    std::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(path, ec))) return std::nullopt;
    fs::path resolved = fs::canonical(path, ec);
    if (ec) return std::nullopt;
    for (const flow& f : flows) {
        fs::path folder = fs::canonical(fs::path(output_dir) / f.folder, ec);
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

void clear_flow_folder(const std::string& output_dir, std::string_view flow_folder) {
    std::error_code ec;
    fs::directory_iterator it(fs::path(output_dir) / flow_folder, ec);
    if (ec) return;
    for (const auto& entry : it) {
        std::string name = entry.path().filename().string();
        std::error_code type_ec;
        if (!has_pdf_suffix(name) || entry.symlink_status(type_ec).type() == fs::file_type::directory) continue;
        std::error_code remove_ec;
        if (fs::remove(entry.path(), remove_ec) && !remove_ec) {
            app_log("[clearPrintedFiles] Deleted %.*s/%s", static_cast<int>(flow_folder.size()), flow_folder.data(),
                    name.c_str());
        } else {
            app_log("[clearPrintedFiles] Failed to delete %.*s/%s (err=%lu)", static_cast<int>(flow_folder.size()),
                    flow_folder.data(), name.c_str(), static_cast<unsigned long>(remove_ec.value()));
        }
    }
}

namespace {

// Reports the file unless this very file (same name, same identity) was reported before.
void report_once(printed_file_watcher& watcher, const std::string& relative, bool found_at_start = false) {
    auto event = printed_file_report(watcher.root, relative);
    if (!event) return;
    event->found_at_start = found_at_start;
    auto identity = file_identity(watcher.root + "/" + relative);
    if (identity) {
        std::lock_guard guard(watcher.lock);
        if (!watcher.reported.insert(relative + '\n' + *identity).second) return;
    }
    app_log("[startFileWatcher] New file detected: %s (printer=%s)", relative.c_str(), event->flow.c_str());
    post_to_main_window(std::move(*event));
}

void scan_folder(printed_file_watcher& watcher, const std::string& relative, bool at_start) {
    std::error_code ec;
    fs::directory_iterator it(fs::path(watcher.root) / relative, ec);
    if (ec) return;
    for (const auto& entry : it) {
        std::string name = relative + "/" + entry.path().filename().string();
        if (!has_pdf_suffix(name)) continue;
        if (at_start) app_log("[startFileWatcher] Existing file queued: %s", name.c_str());
        report_once(watcher, name, at_start);
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
    for (const flow& f : flows) scan_folder(watcher, std::string(f.folder), false);
}

std::unique_ptr<printed_file_watcher> start_printed_file_watcher(const std::string& output_dir) {
    auto watcher = std::make_unique<printed_file_watcher>();
    watcher->root = output_dir;
    std::error_code ec;
    fs::create_directory(output_dir, ec);
    for (const flow& f : flows) fs::create_directory(fs::path(output_dir) / f.folder, ec);
    // Watches first, then the scan: a file renamed in between is seen by both and reported once.
    watcher->backend = open_watcher_backend(output_dir);
    for (const flow& f : flows) scan_folder(*watcher, std::string(f.folder), true);
    if (watcher->backend) watcher->thread = std::thread(run_watcher_backend, std::ref(*watcher));
    return watcher;
}

void stop_printed_file_watcher(printed_file_watcher& watcher) {
    if (watcher.backend) wake_watcher_backend(*watcher.backend);
    if (watcher.thread.joinable()) watcher.thread.join();
}
