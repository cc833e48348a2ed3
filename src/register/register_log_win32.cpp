#include "register/register_log.h"

#include "base/app_state.h"
#include "base/wide_text.h"

#include <windows.h>

#include <cstdio>

std::vector<std::string> register_log_candidates() {
    if (std::optional<std::string> chosen = env_value("VELUNIO_REGISTER_LOG")) return {*chosen};
    std::vector<std::string> candidates;
    if (std::optional<std::string> program_data = env_value("PROGRAMDATA")) {
        std::string folder = *program_data + "\\Velunio Printaro";
        CreateDirectoryW(to_wide(folder).c_str(), nullptr);  // an existing folder is the normal case
        candidates.push_back(folder + "\\printer-register.log");
    }
    if (std::optional<std::string> temporary = env_value("TEMP")) candidates.push_back(*temporary + "\\vpr-printer-register.log");
    return candidates;
}

// Text mode: every line feed is written as CR LF.
// "N": not inherited, or the PowerShell child would hold the log open after the mode ends.
std::FILE* open_register_log_file(const std::string& path) { return _wfopen(to_wide(path).c_str(), L"aN"); }

void attach_parent_console() {
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
    std::FILE* ignored = nullptr;
    ignored = std::freopen("CONOUT$", "w", stdout);
    ignored = std::freopen("CONOUT$", "w", stderr);
    (void)ignored;
}
