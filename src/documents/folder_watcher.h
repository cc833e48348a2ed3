#pragma once
// The output folder watcher: reports printed PDFs to the page, deletes them on its word.

#include "base/posted_messages.h"

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>

constexpr std::size_t new_printed_file_script_limit = 2560;

std::string new_printed_file_script(const printed_file_event& event);
void deliver_new_printed_file(const printed_file_event& event);

// The report for a name relative to the output folder ("sign-myself/a.pdf"), or nullopt
// when the name is not a PDF's.
std::optional<printed_file_event> printed_file_report(const std::string& output_dir, std::string_view relative);

// The one rule for what the page may be told about, upload and delete: a regular ".pdf" file
// (not a link) inside output_dir, reached through real folders (no link on the way), and
// outside what the program keeps there itself (the web view's data, the spool, the logs).
// Its path below output_dir, or nullopt for anything else.
std::optional<std::string> confined_printed_file(const std::string& output_dir, const std::string& path);

// Deletes the file when it is a printed file; refusals are logged.
void delete_printed_file(const std::string& output_dir, const std::string& path);
// Deletes every PDF directly in the flow folder, one log line each.
void clear_flow_folder(const std::string& output_dir, std::string_view flow_folder);

// Identity of the file at a path as the file system knows it (device, inode, change time):
// the same name given by a new rename has a new identity. nullopt when it cannot be read.
std::optional<std::string> file_identity(const std::string& path);

struct watcher_backend;
struct watcher_backend_deleter {
    void operator()(watcher_backend* backend) const;
};

// A watcher over one output folder. Every PDF is reported once per identity, so the
// initial scan, live renames and the rescans after lost events never report a file twice.
struct printed_file_watcher {
    std::string root;
    std::mutex lock;
    std::set<std::string> reported;
    // Files found while another program still wrote them; reported when it closes them.
    std::set<std::string> unfinished;
    std::unique_ptr<watcher_backend, watcher_backend_deleter> backend;
    std::thread thread;
};

// Creates the folders, sets the watches, reports the files present, then watches on a
// thread of its own. The process's watcher is never stopped; tests stop theirs.
std::unique_ptr<printed_file_watcher> start_printed_file_watcher(const std::string& output_dir);
void stop_printed_file_watcher(printed_file_watcher& watcher);

// Reports every printed file present once more, as found at start: a page loaded again (after
// its web process ended) asks for the watcher anew and must learn what is already there.
void report_present_files(printed_file_watcher& watcher);

// Called by the backend on the watcher thread.
void watcher_name_arrived(printed_file_watcher& watcher, const std::string& relative);
void watcher_folder_arrived(printed_file_watcher& watcher, const std::string& relative);
void watcher_events_lost(printed_file_watcher& watcher);
// A file was closed after writing: reported now if it was found unfinished before.
void watcher_file_closed(printed_file_watcher& watcher, const std::string& relative);

// True while some program has the file open for writing (backend).
bool file_is_being_written(const std::string& path);

// Backend seam (inotify on Linux).
std::unique_ptr<watcher_backend, watcher_backend_deleter> open_watcher_backend(const std::string& root);
void run_watcher_backend(printed_file_watcher& watcher);
void wake_watcher_backend(watcher_backend& backend);
