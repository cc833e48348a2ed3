#pragma once
// The process entry: chooses the mode, prepares the normal run, runs it and shuts it down.

// Returns the process exit code.
int run_program(int argc, char** argv);
