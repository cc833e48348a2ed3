#pragma once
// Process-wide values fixed by start-up before any other thread exists, and the rules
// that derive them.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class run_mode { register_printers, unregister_printers, normal };

struct command_line_choice {
    run_mode mode = run_mode::normal;
    bool start_hidden = false;
};

// Options are plain, case-sensitive substrings, tested in the order --register,
// --unregister, --hidden; "--hidden" inside a callback URL therefore also counts.
command_line_choice select_mode(std::string_view command_line);

// The command line as the program sees it: argv[1..] joined by single spaces.
std::string join_command_line(int argc, const char* const* argv);

using env_lookup = std::function<std::optional<std::string>(const char* name)>;

// getenv, with an empty value counted as unset.
std::optional<std::string> env_value(const char* name);

// Longest output folder accepted from VELUNIO_OUTPUT_DIR; a longer value is refused
// rather than cut into a different folder.
constexpr std::size_t max_output_dir_length = 4095;

// VELUNIO_OUTPUT_DIR, else the platform's defaults (output_dir_defaults in platform.h:
// $XDG_DATA_HOME/VelunioPrint, $HOME/.local/share/VelunioPrint; %APPDATA%, %LOCALAPPDATA%),
// else the relative "VelunioPrint". `refused` is called with the reason when a value is refused.
std::string derive_output_dir(const env_lookup& lookup,
                              const std::function<void(const std::string&)>& refused = {});
std::string derive_output_dir_from_environment();

// Where one of the program's own files is looked for, in order and without repeats: `beside`
// next to the executable (the build tree, the Windows layout); `below_share` in the share folder
// of the prefix the executable is installed in (<prefix>/bin/../share/...), so that an
// installation into any prefix or root finds its files; the compiled-in installed path.
std::vector<std::string> installed_file_candidates(const std::string& executable_path, std::string_view beside,
                                                   std::string_view below_share, const std::string& compiled_in);

// The first of the candidates for the "ui" folder that is a folder; when none is, the
// compiled-in path, so that the log names where the page was expected.
std::string derive_ui_dir(const std::string& executable_path, const std::string& installed_ui_dir);

// major.minor.build of this build.
std::string build_version();

struct app_paths {
    std::string ui_dir;
    std::string output_dir;
    std::string app_version = "unknown";
};

// Set once by start-up (tests set their own); read from any thread afterwards.
void set_app_paths(app_paths paths);
const std::string& ui_dir();
const std::string& output_dir();
const std::string& app_version();

// Creates the folder and its missing parents; true when it exists afterwards.
bool create_folder_with_parents(const std::string& path);
