#pragma once
// The few process-level system calls the portable floors need, one backend per platform.

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

// Absolute path of the running executable, or empty when it cannot be read.
std::string executable_path();

// Sets a variable of this process's environment, replacing an earlier value.
void set_environment_variable(const char* name, const std::string& value);

// The local wall-clock time now.
std::tm local_time_now();

// A log file opened for appending, shared for reading and writing with other processes and
// private to the user when it is created; null when it cannot be opened.
std::FILE* open_shared_append_file(const std::string& path);

// The size of the file behind the stream as the file system sees it now.
std::uintmax_t open_file_size(std::FILE* file);

// major.minor.build of the running program: the executable's file version on Windows, the
// build's version elsewhere; nullopt when it cannot be read.
std::optional<std::string> read_app_version();

// Where the output folder goes when VELUNIO_OUTPUT_DIR does not say: the first of these
// variables that is set, with `below` appended ($XDG_DATA_HOME/VelunioPrint,
// $HOME/.local/share/VelunioPrint; %APPDATA%\VelunioPrint, %LOCALAPPDATA%\VelunioPrint).
struct output_dir_default {
    const char* variable;
    const char* below;
};
std::vector<output_dir_default> output_dir_defaults();

// Creates one folder level readable by the user alone; a folder of the user's that already
// exists is made so. True when the folder exists afterwards.
bool create_private_folder(const std::string& path);

// True when the stream still writes to the file that `path` names now (another process may
// have renamed the file away and made a new one under the name).
bool stream_is_file_at(std::FILE* file, const std::string& path);

// The system's words for an error code (errno; a Windows error code) and the code, as
// "Access is denied. (5)".
std::string system_error_text(unsigned long code);

// The normal run's process settings, made before anything else and undone when it ends:
// per-monitor DPI awareness (v2) and a single-threaded COM apartment on the main thread on
// Windows; nothing elsewhere.
void enter_desktop_process();
void leave_desktop_process();
