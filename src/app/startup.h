#pragma once
// The process entry: chooses the mode, prepares the normal run, runs it and shuts it down.

#include <optional>
#include <string>

// Returns the process exit code.
int run_program(int argc, char** argv);

// The same with the command line as one text (UTF-8), nullopt when none was passed: the
// Windows entry hands over its wide command line as it came.
int run_program_with_command_line(const std::optional<std::string>& command_line);
