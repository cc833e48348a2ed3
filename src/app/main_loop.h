#pragma once
// The main thread's event loop: the window, the web view and every posted result are
// served on it.

// Runs until quit_main_loop; returns the exit code given there. Ctrl-C and SIGTERM end it
// with exit code 0, as a window destroyed from outside would.
int run_main_loop();

// Any thread.
void quit_main_loop(int exit_code);

// Whether the run is ending; nested loops (a modal box) watch it to end with the run.
bool main_loop_quit_requested();
