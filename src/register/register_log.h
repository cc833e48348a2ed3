#pragma once
// The installer modes' log: appended to across runs, each line stamped with the local date
// and time, and every line echoed to standard error without its stamp.

#include "base/printf_format.h"

#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

// /var/log/velunio-printaro/printer-register.log when it can be written, else
// $TMPDIR (or /tmp) /vpr-printer-register.log; on Windows printer-register.log in
// %PROGRAMDATA%\Velunio Printaro, else %TEMP%\vpr-printer-register.log.
// VELUNIO_REGISTER_LOG replaces both.
// Without any, lines go to standard error only.
void open_register_log();
void close_register_log();
const std::string& register_log_path();

void reg_log(const char* format, ...) VELUNIO_PRINTF_FORMAT(1, 2);

// "[yyyy-mm-dd hh:mm:ss] " + message.
std::string register_log_line(const std::tm& local, std::string_view message);

// Platform seam (register_log_posix.cpp): the file opened for appending, refused when it is
// not a plain file of this user (the modes run as root; /tmp is shared).
std::FILE* open_register_log_file(const std::string& path);
// The paths tried in order.
std::vector<std::string> register_log_candidates();
// Lets the lines echoed to standard error show in the console that started the program (a
// Windows GUI program has none of its own); nothing elsewhere.
void attach_parent_console();
