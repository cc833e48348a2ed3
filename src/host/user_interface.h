#pragma once
// The desktop side of the normal run: display connection, main window, web view and the
// window handlers' operations. Main thread only.

// False when there is no display or no window could be made; the reason is on stderr. The
// process's locale is the caller's to set, before any thread starts.
bool start_user_interface(bool start_hidden);
