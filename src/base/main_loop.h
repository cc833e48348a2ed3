#pragma once
// The main thread's event loop: the window, the web view and every posted result are
// served on it.

#include <functional>

// Runs until quit_main_loop; returns the exit code given there. Ctrl-C and SIGTERM end it
// with exit code 0, as a window destroyed from outside would.
int run_main_loop();

// Any thread.
void quit_main_loop(int exit_code);

// Whether the run is ending.
bool main_loop_quit_requested();

// Main thread: serves events until `done` holds or the run is ending. A modal box runs in
// it, so that a stop signal ends the run, not only the box.
void run_main_loop_until(const std::function<bool()>& done);

// Any thread: puts the program's stop-signal handlers in place (again). A library that
// installs its own handlers (the printer library does, once its loop runs) would otherwise
// end only itself on Ctrl-C.
void claim_stop_signals();
