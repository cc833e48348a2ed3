#pragma once
// Starts the program (or another executable) as a child of the test with extra environment,
// a working folder and, if asked, a limited token, and waits for it while the test's own
// windows keep receiving their messages; or starts it and leaves the waiting to the test.

#include "base/wide_text.h"

#include <windows.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

// A path of the build tree (a Unix path) as Wine's Windows side names it.
inline std::string windows_path(std::string path) {
    if (path.empty() || path[0] != '/') return path;
    for (char& c : path)
        if (c == '/') c = '\\';
    return "Z:" + path;
}

struct child_options {
    std::map<std::string, std::string> environment;  // added to (or replacing in) the test's own
    std::string folder;                              // working folder; the test's when empty
    bool limited_token = false;                      // the token's non-elevated twin
};

struct handle_closer {
    void operator()(HANDLE h) const { CloseHandle(h); }
};

struct running_child {
    std::unique_ptr<void, handle_closer> process;
    DWORD id = 0;
};

inline std::optional<running_child> start_child(const std::string& executable, const std::string& arguments,
                                                const child_options& options = {}) {
    std::map<std::wstring, std::wstring> variables;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (wchar_t* at = block; *at; at += wcslen(at) + 1) {
            std::wstring entry = at;
            std::size_t eq = entry.find(L'=', 1);
            if (eq != std::wstring::npos) variables[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
        FreeEnvironmentStringsW(block);
    }
    for (const auto& [name, value] : options.environment) variables[to_wide(name)] = to_wide(value);
    std::wstring block;
    for (const auto& [name, value] : variables) block += name + L"=" + value + L'\0';
    block += L'\0';

    std::wstring line = L"\"" + to_wide(windows_path(executable)) + L"\" " + to_wide(arguments);
    std::wstring folder = to_wide(windows_path(options.folder));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    BOOL started;
    if (options.limited_token) {
        HANDLE own = nullptr;
        TOKEN_LINKED_TOKEN linked{};
        DWORD size = 0;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own)) return std::nullopt;
        BOOL got = GetTokenInformation(own, TokenLinkedToken, &linked, sizeof linked, &size);
        CloseHandle(own);
        if (!got) return std::nullopt;
        started = CreateProcessAsUserW(linked.LinkedToken, nullptr, line.data(), nullptr, nullptr, FALSE,
                                       CREATE_UNICODE_ENVIRONMENT, block.data(), folder.empty() ? nullptr : folder.c_str(),
                                       &startup, &process);
        CloseHandle(linked.LinkedToken);
    } else {
        started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, block.data(),
                                 folder.empty() ? nullptr : folder.c_str(), &startup, &process);
    }
    if (!started) return std::nullopt;
    CloseHandle(process.hThread);
    return running_child{std::unique_ptr<void, handle_closer>(process.hProcess), process.dwProcessId};
}

// The exit code, or nullopt when the child did not end within the limit (it is ended then).
inline std::optional<unsigned long> wait_for_child(running_child& child, DWORD limit_ms = 60000) {
    HANDLE process = child.process.get();
    DWORD deadline = GetTickCount() + limit_ms;
    for (;;) {
        DWORD left = deadline - GetTickCount();
        if (static_cast<int>(left) <= 0) break;
        DWORD woken = MsgWaitForMultipleObjects(1, &process, FALSE, left, QS_ALLINPUT);
        if (woken != WAIT_OBJECT_0 + 1) break;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
    DWORD code = 0;
    bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code);
    if (!ended) TerminateProcess(process, 1);
    if (!ended) return std::nullopt;
    return code;
}

// The exit code, or nullopt when the child did not start or did not end within 60 s.
inline std::optional<unsigned long> run_child(const std::string& executable, const std::string& arguments,
                                              const child_options& options = {}) {
    std::optional<running_child> child = start_child(executable, arguments, options);
    if (!child) return std::nullopt;
    return wait_for_child(*child);
}
