#include "host/user_interface.h"

#include "documents/upload.h"
#include "host/main_window.h"
#include "host/message_box.h"
#include "host/web_view.h"
#include "host/window_shell.h"

namespace {

void show_file_too_large_notice(const std::string& caption, const std::string& text) {
    show_message_box_and_wait(caption, text, message_box_icon::warning);
}

}  // namespace

bool start_user_interface(bool start_hidden) {
    install_window_shell();
    if (!create_main_window(start_hidden)) return false;
    set_file_too_large_notice(show_file_too_large_notice);
    // A failing web view tells the user and ends the main loop itself.
    start_web_view();
    return true;
}
