// ReadDirectoryChangesW over the whole output folder tree into a 4096-byte buffer, file-name
// changes only: a name given by a rename (FILE_ACTION_RENAMED_NEW_NAME) is reported, every
// other action is not, and folders are not watched for (unlike inotify's, the subtree watch
// has no gap for a new folder to close). A read that returns no entries lost some (the buffer
// overflowed): the flow folders are scanned again. The read is overlapped so that a test can
// stop its watcher.

#include "documents/folder_watcher.h"

#include "base/wide_text.h"
#include "base/utf8_path.h"

#include <windows.h>

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

struct handle_closer {
    void operator()(HANDLE h) const {
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};
using owned_handle = std::unique_ptr<void, handle_closer>;

owned_handle open_folder(const std::string& path, DWORD flags) {
    HANDLE h = CreateFileW(to_wide(path).c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
    return owned_handle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

constexpr DWORD buffer_size = 4096;

}  // namespace

// A writer that shares the file for reading only (as the printer service and most programs
// do) makes an open that asks for write sharing fail with a sharing violation.
bool file_is_being_written(const std::string& path) {
    HANDLE h = CreateFileW(to_wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    owned_handle file(h == INVALID_HANDLE_VALUE ? nullptr : h);
    return !file && GetLastError() == ERROR_SHARING_VIOLATION;
}

struct watcher_backend {
    std::string root;
    owned_handle folder;
    owned_handle changed;  // the overlapped read's event
    owned_handle stop;
    alignas(DWORD) char buffer[buffer_size];
    OVERLAPPED overlapped{};
};

void watcher_backend_deleter::operator()(watcher_backend* backend) const { std::default_delete<watcher_backend>()(backend); }

std::optional<std::string> file_identity(const std::string& path) {
    owned_handle file(CreateFileW(to_wide(path).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file || file.get() == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandle(file.get(), &info) ||
        !GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof basic))
        return std::nullopt;
    // The change time moves with a rename, as a POSIX ctime does.
    return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) + ":" +
           std::to_string(info.nFileIndexLow) + ":" + std::to_string(basic.ChangeTime.QuadPart);
}

namespace {

bool start_read(watcher_backend& backend) {
    ResetEvent(backend.changed.get());
    backend.overlapped = OVERLAPPED{};
    backend.overlapped.hEvent = backend.changed.get();
    return ReadDirectoryChangesW(backend.folder.get(), backend.buffer, buffer_size, TRUE, FILE_NOTIFY_CHANGE_FILE_NAME,
                                 nullptr, &backend.overlapped, nullptr) != 0;
}

// Wine reports changes inside a folder that existed before the watch began only once the
// folder has been opened after it began; opening them costs nothing on Windows.
void touch_existing_folders(const std::string& root) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(utf8_path(root), ec)) {
        std::error_code type_ec;
        if (entry.is_directory(type_ec)) open_folder(path_utf8(entry.path()), 0);
    }
}

void report_entries(printed_file_watcher& watcher, const char* data, DWORD length) {
    for (DWORD offset = 0; offset + sizeof(FILE_NOTIFY_INFORMATION) <= length;) {
        const auto* entry = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(data + offset);
        if (entry->Action == FILE_ACTION_RENAMED_NEW_NAME)
            watcher_name_arrived(watcher, from_wide({entry->FileName, entry->FileNameLength / sizeof(WCHAR)}));
        if (entry->NextEntryOffset == 0) break;
        offset += entry->NextEntryOffset;
    }
}

}  // namespace

std::unique_ptr<watcher_backend, watcher_backend_deleter> open_watcher_backend(const std::string& root) {
    std::unique_ptr<watcher_backend, watcher_backend_deleter> backend(std::make_unique<watcher_backend>().release());
    backend->root = root;
    backend->folder = open_folder(root, FILE_FLAG_OVERLAPPED);
    backend->changed.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    backend->stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!backend->folder || !backend->changed || !backend->stop) return nullptr;
    // The first read is placed here, so that what happens after the caller's scan is caught.
    if (!start_read(*backend)) return nullptr;
    touch_existing_folders(root);
    return backend;
}

void wake_watcher_backend(watcher_backend& backend) { SetEvent(backend.stop.get()); }

void run_watcher_backend(printed_file_watcher& watcher) {
    watcher_backend& backend = *watcher.backend;
    for (;;) {
        HANDLE waits[2] = {backend.changed.get(), backend.stop.get()};
        DWORD woken = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (woken != WAIT_OBJECT_0) break;
        DWORD length = 0;
        if (!GetOverlappedResult(backend.folder.get(), &backend.overlapped, &length, FALSE)) {
            if (GetLastError() != ERROR_NOTIFY_ENUM_DIR) return;  // the folder is gone
            length = 0;
        }
        if (length == 0) watcher_events_lost(watcher);
        else report_entries(watcher, backend.buffer, length);
        if (!start_read(backend)) return;
    }
    CancelIoEx(backend.folder.get(), &backend.overlapped);
    DWORD ignored = 0;
    GetOverlappedResult(backend.folder.get(), &backend.overlapped, &ignored, TRUE);
}
