// The modal box on Windows: MessageBoxW with no owner, system-modal and brought to the
// foreground. A box runs a modal loop of its own on the calling thread; on the main thread that
// loop keeps serving the window and the posted results, and it ends when the run ends (the loop
// passes the quit message on).

#include "host/message_box.h"

#include "base/main_loop.h"
#include "base/wide_text.h"

#include <windows.h>

void show_message_box(const std::string& caption, const std::string& text, message_box_icon icon) {
    if (main_loop_quit_requested()) return;
    const UINT style = MB_OK | MB_SYSTEMMODAL | MB_SETFOREGROUND |
                       (icon == message_box_icon::error ? MB_ICONERROR : MB_ICONWARNING);
    MessageBoxW(nullptr, to_wide(text).c_str(), to_wide(caption).c_str(), style);
}

// A worker's box is its own: the system lets any thread show one, and the worker waits in it.
// The process ending with the run closes it.
void show_message_box_and_wait(const std::string& caption, const std::string& text, message_box_icon icon) {
    show_message_box(caption, text, icon);
}
