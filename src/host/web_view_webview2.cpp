// The web view host on Windows, as far as this build goes: the runtime is reached through its
// loader library, looked up at run time, and every way of not getting there ends the run with
// the box that asks for the runtime. The host beyond the loader needs the WebView2 SDK's
// interfaces, which cannot be had for this build (docs/windows.md).

#include "host/web_view.h"

#include "base/app_log.h"
#include "base/main_loop.h"
#include "base/platform.h"
#include "host/message_box.h"

#include <windows.h>

#include <memory>
#include <type_traits>

namespace {

constexpr const char* environment_entry = "CreateCoreWebView2EnvironmentWithOptions";

struct library_freer {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};
using library_ptr = std::unique_ptr<std::remove_pointer_t<HMODULE>, library_freer>;

void end_run(const char* text) {
    show_message_box("Velunio Printaro", text, message_box_icon::error);
    quit_main_loop(1);
}

void no_environment() {
    end_run("Could not create WebView2 environment.\nPlease install the WebView2 Runtime from Microsoft.");
}

}  // namespace

bool start_web_view() {
    // Beside the program or in the system folder only: never from the current folder or the
    // search path, where another program's library of that name could be picked up.
    library_ptr loader(LoadLibraryExW(L"WebView2Loader.dll", nullptr,
                                      LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!loader) {
        app_log("[webview] WebView2Loader.dll not loaded: %s", system_error_text(GetLastError()).c_str());
        no_environment();
        return false;
    }
    if (GetProcAddress(loader.get(), environment_entry) == nullptr) {
        app_log("[webview] WebView2Loader.dll has no %s: %s", environment_entry,
                system_error_text(GetLastError()).c_str());
        no_environment();
        return false;
    }
    app_log("[webview] WebView2Loader.dll found, but this build has no WebView2 host to create the view with");
    end_run("This build of Velunio Printaro cannot show its page: it has no WebView2 host yet.");
    return false;
}
