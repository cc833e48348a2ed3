#pragma once
// What the Windows tests share: a message pump with a limit, child processes, and the spooler's
// ports and printers as an installation adds them (for the registration test and its stand-in).

#include "base/wide_text.h"

#include <windows.h>
#include <winspool.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

// Serves this thread's messages until `done` holds or `limit_ms` has passed.
inline bool pump_until(const std::function<bool()>& done, DWORD limit_ms = 5000) {
    for (DWORD start = GetTickCount(); !done();) {
        if (GetTickCount() - start > limit_ms) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
    return true;
}

struct handle_closer {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using unique_handle = std::unique_ptr<void, handle_closer>;

// The child inherits the test's environment; it runs in `folder` (the test's when empty), with
// the token's non-elevated twin when `limited`.
inline unique_handle start_child(const std::string& executable, const std::string& arguments,
                                 const std::string& folder = "", bool limited = false) {
    std::wstring line = L"\"" + to_wide(executable) + L"\" " + to_wide(arguments), dir = to_wide(folder);
    TOKEN_LINKED_TOKEN linked{};
    if (HANDLE own = nullptr; limited && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own)) {
        unique_handle closing(own);
        DWORD size = 0;
        GetTokenInformation(own, TokenLinkedToken, &linked, sizeof linked, &size);
    }
    if (limited && !linked.LinkedToken) return nullptr;
    unique_handle token(linked.LinkedToken);  // none: the test's own
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessAsUserW(token.get(), nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              dir.empty() ? nullptr : dir.c_str(), &startup, &process))
        return nullptr;
    CloseHandle(process.hThread);
    return unique_handle(process.hProcess);
}

// The exit code, or nullopt when the child did not end within the limit (it is ended then).
// The test's windows are served meanwhile: the child may be sending to them.
inline std::optional<unsigned long> wait_for_child(HANDLE process, DWORD limit_ms = 60000) {
    DWORD code = 0;
    if (pump_until([&] { return WaitForSingleObject(process, 0) != WAIT_TIMEOUT; }, limit_ms))
        return GetExitCodeProcess(process, &code) ? std::optional<unsigned long>(code) : std::nullopt;
    TerminateProcess(process, 1);
    return std::nullopt;
}

inline std::optional<unsigned long> run_child(const std::string& executable, const std::string& arguments,
                                              const std::string& folder = "", bool limited = false) {
    return wait_for_child(start_child(executable, arguments, folder, limited).get());
}

inline void add_spooler_port(std::wstring name) {
    HANDLE monitor = nullptr;
    PRINTER_DEFAULTSW admin{nullptr, nullptr, SERVER_ACCESS_ADMINISTER};
    if (!OpenPrinterW(const_cast<wchar_t*>(L",XcvMonitor Local Port"), &monitor, &admin)) return;
    DWORD needed = 0, status = 0;
    auto size = static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t));
    XcvDataW(monitor, L"AddPort", reinterpret_cast<BYTE*>(name.data()), size, nullptr, 0, &needed, &status);
    ClosePrinter(monitor);
}

// True also when an interrupted run left the printer behind.
inline bool add_spooler_printer(std::wstring name, std::wstring port) {
    add_spooler_port(port);
    PRINTER_INFO_2W info{};
    info.pPrinterName = name.data();
    info.pPortName = port.data();
    info.pPrintProcessor = const_cast<wchar_t*>(L"WinPrint");
    info.pDatatype = const_cast<wchar_t*>(L"RAW");
    HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
    if (printer) ClosePrinter(printer);
    return printer != nullptr || GetLastError() == ERROR_PRINTER_ALREADY_EXISTS;
}
