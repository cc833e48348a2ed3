#pragma once
// Crash and error reporting. The backend is chosen at build time: the reporting library
// when the build finds it, otherwise a crash record written beside the application log.

#include <string>

// "velunio-printer@<version>"
std::string error_reporting_release(const std::string& version);

// Writes its start-up line to the application log. `crash_dir` is the log's folder.
void setup_error_reporting(const std::string& version, const std::string& crash_dir);
void close_error_reporting();
