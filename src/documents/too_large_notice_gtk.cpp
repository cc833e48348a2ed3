#include "documents/too_large_notice.h"

#include <gtk/gtk.h>

#include <condition_variable>
#include <mutex>

namespace {

struct notice_call {
    std::string caption;
    std::string text;
    std::mutex lock;
    std::condition_variable closed_cv;
    bool closed = false;
};

gboolean run_notice(gpointer user) {
    auto* call = static_cast<notice_call*>(user);
    GtkWidget* dialog =
        gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING, GTK_BUTTONS_OK, "%s", call->text.c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), call->caption.c_str());
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    gtk_window_present(GTK_WINDOW(dialog));
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    // Notified under the lock: the record lives on the waiting worker's stack.
    std::lock_guard guard(call->lock);
    call->closed = true;
    call->closed_cv.notify_one();
    return G_SOURCE_REMOVE;
}

}  // namespace

void show_file_too_large_notice(const std::string& caption, const std::string& text) {
    // GTK belongs to the main thread; the worker waits there until the box is closed.
    notice_call call;
    call.caption = caption;
    call.text = text;
    // Always queued, never run here: g_main_context_invoke could run it on this thread.
    g_idle_add(run_notice, &call);
    std::unique_lock guard(call.lock);
    call.closed_cv.wait(guard, [&] { return call.closed; });
}
