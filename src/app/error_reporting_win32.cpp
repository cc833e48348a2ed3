#include "app/error_reporting.h"

#include "base/app_log.h"
#include "base/wide_text.h"
#include "base/platform.h"

#include <windows.h>

#include <cstdio>

// Without the reporting library an unhandled exception leaves crash-<time>.txt beside the log.
// Its path and text are prepared here; the filter only formats the exception into them.

namespace {

std::wstring crash_folder;
std::string release_text;
std::string version_text;
LPTOP_LEVEL_EXCEPTION_FILTER previous_filter = nullptr;

LONG WINAPI on_unhandled_exception(EXCEPTION_POINTERS* info) {
    SYSTEMTIME t{};
    GetSystemTime(&t);
    wchar_t name[64];
    swprintf(name, 64, L"\\crash-%04u%02u%02u-%02u%02u%02u.txt", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
             t.wSecond);
    HANDLE file = CreateFileW((crash_folder + name).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        char text[512];
        const EXCEPTION_RECORD* record = info ? info->ExceptionRecord : nullptr;
        int n = std::snprintf(text, sizeof text,
                              "Velunio Printaro crash\r\nexception: 0x%08lX at %p\r\ntime: %04u-%02u-%02u %02u:%02u:%02u "
                              "UTC\r\nversion: %s\r\nrelease: %s\r\n",
                              record ? record->ExceptionCode : 0UL, record ? record->ExceptionAddress : nullptr, t.wYear,
                              t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, version_text.c_str(),
                              release_text.c_str());
        DWORD written = 0;
        if (n > 0) WriteFile(file, text, static_cast<DWORD>(n < static_cast<int>(sizeof text) ? n : sizeof text - 1),
                             &written, nullptr);
        CloseHandle(file);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void setup_error_reporting(const std::string& version, const std::string& crash_dir) {
    crash_folder = to_wide(crash_dir);
    version_text = version;
    release_text = error_reporting_release(version);
    previous_filter = SetUnhandledExceptionFilter(on_unhandled_exception);
    app_log("[Sentry] Disabled: built without error reporting");
}

void close_error_reporting() { SetUnhandledExceptionFilter(previous_filter); }
