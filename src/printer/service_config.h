#pragma once
// Settings of the printer service taken from the environment, the two flow printers, the
// device URIs of their folders and the names their job files get.

#include <pappl/pappl.h>

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// getenv as it is: an empty value counts as set (the log file rule needs that).
using raw_env_lookup = std::function<std::optional<std::string>(const char* name)>;
std::optional<std::string> raw_env(const char* name);

struct service_log_settings {
    std::string file = "-";  // "-" is the library's standard error
    pappl_loglevel_t level = PAPPL_LOGLEVEL_WARN;
};

// VELUNIO_LOG_FILE (even when empty) else "-"; VELUNIO_LOG_LEVEL "error", "info" or
// "debug", compared exactly, else warn.
service_log_settings settle_service_log(const raw_env_lookup& lookup);

constexpr const char* flow_device_scheme = "velunio-file";

// The forward-slash absolute form of a folder, or nothing when it cannot be made absolute.
std::optional<std::string> to_uri_path(const std::string& path);

// "velunio-file://<folder>?ext=pdf" with the folder percent-encoded (a space is %20) and the
// query as it is; nothing when the URI cannot be assembled.
std::optional<std::string> flow_device_uri(const std::string& folder);

// The folder named by such a URI; nothing for any other URI.
std::optional<std::string> flow_device_folder(std::string_view uri);

// The part of a job's file name taken from the job name: one path component that cannot
// climb out of the folder, hide itself, or carry control characters or broken UTF-8.
std::string job_file_stem(std::string_view job_name);

// attempt 1 gives "<stem>.pdf", attempt n > 1 gives "<stem>-<n>.pdf".
std::string job_file_name(std::string_view stem, int attempt);

// Temporary job files are ".velunio-<unique>.part": hidden, and never ending in ".pdf".
constexpr std::string_view flow_temp_prefix = ".velunio-";
constexpr std::string_view flow_temp_suffix = ".part";
bool is_flow_temp_name(std::string_view name);
