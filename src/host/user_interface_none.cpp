// The desktop side where the build has no window yet (Windows, until its window and web view
// host land): the normal run says so and ends; the installer modes and the hand-over to a
// running instance do not need it.

#include "host/main_window.h"
#include "host/user_interface.h"

#include "base/app_log.h"

#include <cstdio>

bool start_user_interface(bool) {
    const char* reason = "[startup] This build has no window yet; the normal run ends here";
    app_log("%s", reason);
    std::fprintf(stderr, "%s\n", reason);
    return false;
}

void show_and_raise_main_window() {}
