#include "documents/folder_watcher.h"

#include "base/app_log.h"
#include "base/flows.h"
#include "base/json_text.h"
#include "base/output_folder.h"
#include "base/page_script.h"
#include "base/platform.h"
#include "base/utf8_path.h"

#include <filesystem>
#include <iterator>
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
    event.path = sanitize_utf8(output_dir + native_separator + std::string(relative));
    // Anything outside the request folder counts as the first flow, the output folder's own files too.
    std::size_t slash = std::string_view::npos;
    for (std::size_t i = 0; i < relative.size() && slash == std::string_view::npos; ++i)
        if (is_path_separator(relative[i])) slash = i;
    std::optional<flow> in_flow = slash == std::string_view::npos ? std::nullopt : flow_for_folder(relative.substr(0, slash));
    event.flow = in_flow ? in_flow->flow_name : flows[0].flow_name;
    return event;
}

std::optional<std::string> confined_printed_file(const std::string& output_dir, const std::string& path) {
    if (path.empty() || output_dir.empty()) return std::nullopt;
    fs::path root = utf8_path(output_dir).lexically_normal();
    fs::path relative = utf8_path(path).lexically_normal().lexically_relative(root);
    if (!utf8_path(path).is_absolute() || relative.empty() || *relative.begin() == ".." || *relative.begin() == ".")
        return std::nullopt;
    if (is_program_data_name(path_utf8(*relative.begin())) || !has_pdf_suffix(path_utf8(relative.filename())))
        return std::nullopt;
    // Every step below the output folder must be a real folder, and the end a real file: a
    // link would lead the upload or "Clear all" out of the tree.
    std::error_code ec;
    fs::path at = root;
    for (auto part = relative.begin(); part != relative.end(); ++part) {
        at /= *part;
        fs::file_type type = fs::symlink_status(at, ec).type();
        bool last = std::next(part) == relative.end();
        if (ec || type != (last ? fs::file_type::regular : fs::file_type::directory)) return std::nullopt;
    }
    return path_utf8(at);
}

void delete_printed_file(const std::string& output_dir, const std::string& path) {
    auto resolved = confined_printed_file(output_dir, path);
    if (!resolved) {
        app_log("[deletePrintedFile] Refused: not a printed file: %s", path.c_str());
        return;
    }
    std::error_code ec;
    fs::remove(utf8_path(*resolved), ec);  // a failure is not reported
}

void clear_flow_folder(const std::string& output_dir, std::string_view flow_folder) {
    std::error_code ec;
    fs::path folder = utf8_path(output_dir) / flow_folder;
    // A flow folder that is a link would empty the folder it points at.
    if (fs::symlink_status(folder, ec).type() != fs::file_type::directory) return;
    fs::directory_iterator it(folder, ec);
    if (ec) return;
    for (const auto& entry : it) {
        std::string name = path_utf8(entry.path().filename());
        if (!confined_printed_file(output_dir, path_utf8(entry.path()))) continue;
        std::error_code remove_ec;
        if (fs::remove(entry.path(), remove_ec) && !remove_ec) {
            app_log("[clearPrintedFiles] Deleted %.*s%c%s", static_cast<int>(flow_folder.size()), flow_folder.data(),
                    native_separator, name.c_str());
        } else {
            app_log("[clearPrintedFiles] Failed to delete %.*s%c%s (err=%lu)", static_cast<int>(flow_folder.size()),
                    flow_folder.data(), native_separator, name.c_str(), static_cast<unsigned long>(remove_ec.value()));
        }
    }
}

namespace {

// Reports the file unless this very file (same name, same identity) was reported before.
void report_once(printed_file_watcher& watcher, const std::string& relative, bool found_at_start = false) {
    auto event = printed_file_report(watcher.root, relative);
    std::string path = watcher.root + native_separator + relative;
    if (!event || !confined_printed_file(watcher.root, path)) return;
    event->found_at_start = found_at_start;
    if (file_is_being_written(path)) {
        std::lock_guard guard(watcher.lock);
        watcher.unfinished.insert(relative);
        return;
    }
    auto identity = file_identity(path);
    if (identity) {
        std::lock_guard guard(watcher.lock);
        if (!watcher.reported.insert(relative + '\n' + *identity).second) return;
    }
    app_log("[startFileWatcher] New file detected: %s (printer=%s)", relative.c_str(), event->flow.c_str());
    post_to_main_window(std::move(*event));
}

void scan_folder(printed_file_watcher& watcher, const std::string& relative, bool at_start) {
    std::error_code ec;
    fs::directory_iterator it(utf8_path(watcher.root) / relative, ec);
    if (ec) return;
    for (const auto& entry : it) {
        std::string name = relative + native_separator + path_utf8(entry.path().filename());
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
    fs::recursive_directory_iterator it(utf8_path(watcher.root) / utf8_path(relative),
                                        fs::directory_options::skip_permission_denied, ec);
    if (ec) return;
    for (const auto& entry : it) {
        std::error_code type_ec;
        if (entry.symlink_status(type_ec).type() == fs::file_type::directory) continue;
        std::string name = path_utf8(fs::relative(entry.path(), utf8_path(watcher.root), type_ec));
        if (!type_ec) report_once(watcher, name);
    }
}

void watcher_file_closed(printed_file_watcher& watcher, const std::string& relative) {
    {
        std::lock_guard guard(watcher.lock);
        if (watcher.unfinished.erase(relative) == 0) return;
    }
    report_once(watcher, relative);
}

void watcher_events_lost(printed_file_watcher& watcher) {
    app_log("[startFileWatcher] Change notifications were lost; rescanning the flow folders");
    for (const flow& f : flows) scan_folder(watcher, std::string(f.folder), false);
}

void report_present_files(printed_file_watcher& watcher) {
    {
        std::lock_guard guard(watcher.lock);
        watcher.reported.clear();
    }
    for (const flow& f : flows) scan_folder(watcher, std::string(f.folder), true);
}

std::unique_ptr<printed_file_watcher> start_printed_file_watcher(const std::string& output_dir) {
    auto watcher = std::make_unique<printed_file_watcher>();
    watcher->root = output_dir;
    create_private_folder(output_dir);
    for (const flow& f : flows) create_private_folder(path_utf8(utf8_path(output_dir) / f.folder));
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
