// The registration mode's process-level calls on Windows: the token's elevation, Windows
// Sockets for the wait, and PowerShell's Add-Printer -IppURL with its output in a temporary file.

#include "register/printer_register.h"

#include "base/wide_text.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <memory>

namespace {

struct handle_closer {
    void operator()(HANDLE h) const {
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};
using owned_handle = std::unique_ptr<void, handle_closer>;

owned_handle owned(HANDLE h) { return owned_handle(h == INVALID_HANDLE_VALUE ? nullptr : h); }

}  // namespace

bool is_elevated() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
    owned_handle token(raw);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size)) return false;
    return elevation.TokenIsElevated != 0;
}

void pause_for(std::chrono::milliseconds duration) { Sleep(static_cast<DWORD>(duration.count())); }

unsigned long current_process_id() { return GetCurrentProcessId(); }

// A queue that Add-Printer -IppURL made sends documents to the printer as they are.
std::optional<std::string> finish_queue(const flow&, const std::string&) { return std::nullopt; }

// Run from an elevated command prompt, as the not-elevated line says.
std::string_view register_command() { return "VelunioPrintApp.exe --register (from an elevated command prompt)"; }

const register_words& platform_register_words() {
    static const register_words words{"powershell",
                                      "Add-Printer -IppURL",
                                      "Add-Printer",
                                      "CreateProcess(powershell)",
                                      "FATAL: not elevated. Re-run from setup-postinstall.bat or an elevated cmd.",
                                      "VelunioPrintApp.exe",
                                      "DeletePrinter"};
    return words;
}

std::string printer_ipp_url(const flow& printer, int port) {
    return "http://localhost:" + std::to_string(port) + std::string(printer.resource_path);
}

std::string registered_queue_name(const flow& printer) { return std::string(printer.printer_name); }

bool wait_for_ipp_server(int attempts, int port, std::chrono::milliseconds pause) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool connected = false;
    for (int attempt = 0; attempt < attempts && !connected; ++attempt) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s != INVALID_SOCKET) {
            connected = connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
            closesocket(s);
        }
        if (!connected) pause_for(pause);
    }
    WSACleanup();
    return connected;
}

child_result run_add_queue(const flow&, const std::string& url) {
    std::string command =
        "powershell.exe -NoProfile -ExecutionPolicy Bypass -Command \"try { Add-Printer -IppURL '" + url +
        "' -ErrorAction Stop; Write-Output 'Add-Printer ok' } catch { Write-Error $_; exit 1 }\"";
    std::wstring line = to_wide(command);
    child_result result;

    wchar_t folder[MAX_PATH + 1];
    wchar_t temporary[MAX_PATH + 1];
    if (GetTempPathW(MAX_PATH + 1, folder) == 0 || GetTempFileNameW(folder, L"vpr", 0, temporary) == 0) {
        result.error = static_cast<int>(GetLastError());
        result.failed_call = "CreateFile(temp)";
        return result;
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    owned_handle output = owned(CreateFileW(temporary, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_TEMPORARY, nullptr));
    if (!output) {
        result.error = static_cast<int>(GetLastError());
        result.failed_call = "CreateFile(temp)";
        DeleteFileW(temporary);
        return result;
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output.get();
    startup.hStdError = output.get();
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process)) {
        result.error = static_cast<int>(GetLastError());
        output.reset();
        DeleteFileW(temporary);
        return result;
    }
    result.started = true;
    owned_handle process_handle(process.hProcess), thread_handle(process.hThread);
    WaitForSingleObject(process.hProcess, static_cast<DWORD>(child_time_limit.count()));
    DWORD code = 1;
    // A child still running after the wait reads as STILL_ACTIVE (259) and is left running.
    if (!GetExitCodeProcess(process.hProcess, &code)) code = 1;
    result.exit_code = static_cast<int>(code);
    output.reset();

    owned_handle input = owned(CreateFileW(temporary, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (input) {
        std::string bytes(child_output_limit, '\0');
        DWORD got = 0;
        if (ReadFile(input.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr)) bytes.resize(got);
        else bytes.clear();
        result.output = std::move(bytes);
    }
    input.reset();
    DeleteFileW(temporary);
    return result;
}
