#pragma once
// The desktop's operations behind the page's window and shell handlers.

// Installs them for the bridge once the main window exists. Main thread.
void install_window_shell();
