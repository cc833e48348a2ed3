#include "base/app_state.h"

#include "base/platform.h"
#include "base/utf8_path.h"
#include "build_info.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

command_line_choice select_mode(std::string_view command_line) {
    command_line_choice choice;
    if (command_line.find("--register") != std::string_view::npos) {
        choice.mode = run_mode::register_printers;
    } else if (command_line.find("--unregister") != std::string_view::npos) {
        choice.mode = run_mode::unregister_printers;
    } else {
        choice.start_hidden = command_line.find("--hidden") != std::string_view::npos;
    }
    return choice;
}

std::string join_command_line(int argc, const char* const* argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) line += ' ';
        line += argv[i];
    }
    return line;
}

std::optional<std::string> env_value(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

std::string derive_output_dir(const env_lookup& lookup,
                              const std::function<void(const std::string&)>& refused) {
    if (auto explicit_dir = lookup("VELUNIO_OUTPUT_DIR")) {
        if (explicit_dir->size() <= max_output_dir_length) return *explicit_dir;
        if (refused) {
            refused("VELUNIO_OUTPUT_DIR is " + std::to_string(explicit_dir->size()) +
                    " characters long, more than a path may hold; using the default folder");
        }
    }
    for (const output_dir_default& rule : output_dir_defaults())
        if (auto base = lookup(rule.variable)) return *base + rule.below;
    return "VelunioPrint";
}

std::string derive_output_dir_from_environment() {
    return derive_output_dir([](const char* name) { return env_value(name); });
}

std::vector<std::string> installed_file_candidates(const std::string& executable_path, std::string_view beside,
                                                   std::string_view below_share, const std::string& compiled_in) {
    namespace fs = std::filesystem;
    std::vector<std::string> candidates;
    auto add = [&](const fs::path& path) {
        std::string text = path_utf8(path.lexically_normal());
        if (!text.empty() && std::find(candidates.begin(), candidates.end(), text) == candidates.end())
            candidates.push_back(std::move(text));
    };
    if (!executable_path.empty()) {
        fs::path dir = utf8_path(executable_path).parent_path();
        add(dir / utf8_path(beside));
        add(dir.parent_path() / "share" / utf8_path(below_share));
    }
    add(utf8_path(compiled_in));
    return candidates;
}

std::string derive_ui_dir(const std::string& executable_path, const std::string& installed_ui_dir) {
    std::vector<std::string> candidates =
        installed_file_candidates(executable_path, "ui", "velunio-printaro/ui", installed_ui_dir);
    std::error_code ec;
    for (const std::string& candidate : candidates)
        if (std::filesystem::is_directory(utf8_path(candidate), ec)) return candidate;
    if (!installed_ui_dir.empty()) return installed_ui_dir;
    return candidates.empty() ? std::string("ui") : candidates.front();
}

std::string build_version() {
    return std::to_string(VELUNIO_VERSION_MAJOR) + "." + std::to_string(VELUNIO_VERSION_MINOR) + "." +
           std::to_string(VELUNIO_VERSION_PATCH);
}

namespace {
app_paths& paths_storage() {
    static app_paths paths;
    return paths;
}
}  // namespace

void set_app_paths(app_paths paths) { paths_storage() = std::move(paths); }
const std::string& ui_dir() { return paths_storage().ui_dir; }
const std::string& output_dir() { return paths_storage().output_dir; }
const std::string& app_version() { return paths_storage().app_version; }

bool create_folder_with_parents(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(utf8_path(path), ec);
    return std::filesystem::is_directory(utf8_path(path), ec);
}
