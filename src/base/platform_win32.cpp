#include "base/platform.h"

#include "base/wide_text.h"

#include <windows.h>

#include <objbase.h>

#include <fcntl.h>
#include <io.h>
#include <stdlib.h>

std::string executable_path() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) {
            buffer.resize(n);
            return from_wide(buffer);
        }
        if (buffer.size() >= 32768) return {};
        buffer.resize(buffer.size() * 2);
    }
}

// Through the C library, so that its getenv sees the value as well as the system's.
void set_environment_variable(const char* name, const std::string& value) {
    _wputenv_s(to_wide(name).c_str(), to_wide(value).c_str());
}

std::tm local_time_now() {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    std::tm tm{};
    tm.tm_year = t.wYear - 1900;
    tm.tm_mon = t.wMonth - 1;
    tm.tm_mday = t.wDay;
    tm.tm_hour = t.wHour;
    tm.tm_min = t.wMinute;
    tm.tm_sec = t.wSecond;
    tm.tm_wday = t.wDayOfWeek;
    return tm;
}

// Append access only, shared for reading and writing with the other processes that log, in
// text mode: each line ends in CR LF.
std::FILE* open_shared_append_file(const std::string& path) {
    HANDLE handle = CreateFileW(to_wide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_TEXT | _O_APPEND);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "a");
    if (file == nullptr) _close(fd);
    return file;
}

std::uintmax_t open_file_size(std::FILE* file) {
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    LARGE_INTEGER size{};
    if (handle == INVALID_HANDLE_VALUE || !GetFileSizeEx(handle, &size)) return 0;
    return static_cast<std::uintmax_t>(size.QuadPart);
}

// The fixed file version of the executable's version resource, as major.minor.build.
std::optional<std::string> read_app_version() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::nullopt;
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) return std::nullopt;
    std::string data(size, '\0');
    if (!GetFileVersionInfoW(path, 0, size, data.data())) return std::nullopt;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) || info == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO))
        return std::nullopt;
    return std::to_string(HIWORD(info->dwFileVersionMS)) + "." + std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
           std::to_string(HIWORD(info->dwFileVersionLS));
}

std::vector<output_dir_default> output_dir_defaults() {
    return {{"APPDATA", "\\VelunioPrint"}, {"LOCALAPPDATA", "\\VelunioPrint"}};
}

// Folders below the user's profile (APPDATA, LOCALAPPDATA) inherit an access list that admits
// the user, the system and administrators only, which is what a private folder means here.
bool create_private_folder(const std::string& path) {
    if (CreateDirectoryW(to_wide(path).c_str(), nullptr)) return true;
    DWORD attributes = GetFileAttributesW(to_wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

namespace {

std::optional<BY_HANDLE_FILE_INFORMATION> file_information(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return std::nullopt;
    return info;
}

}  // namespace

bool stream_is_file_at(std::FILE* file, const std::string& path) {
    auto open_file = file_information(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))));
    HANDLE named_handle = CreateFileW(to_wide(path).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    auto named = file_information(named_handle);
    if (named_handle != INVALID_HANDLE_VALUE) CloseHandle(named_handle);
    return open_file && named && open_file->dwVolumeSerialNumber == named->dwVolumeSerialNumber &&
           open_file->nFileIndexHigh == named->nFileIndexHigh && open_file->nFileIndexLow == named->nFileIndexLow;
}

std::string system_error_text(unsigned long code) {
    wchar_t text[512] = {};
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                  static_cast<DWORD>(std::size(text)), nullptr);
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' || text[length - 1] == L' ')) --length;
    if (length == 0) return "error " + std::to_string(code);
    return from_wide(std::wstring_view(text, length)) + " (" + std::to_string(code) + ")";
}

namespace {
bool com_entered = false;
}

// DPI awareness is set at run time rather than in the manifest; the apartment is the one the web
// view and the shell want.
void enter_desktop_process() {
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    com_entered = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
}

void leave_desktop_process() {
    if (com_entered) CoUninitialize();
    com_entered = false;
}
