#include "host/message_box.h"

#include "base/app_log.h"
#include "base/main_loop.h"

#include <gtk/gtk.h>

#include <condition_variable>
#include <mutex>

namespace {

struct box_call {
    std::string caption;
    std::string text;
    message_box_icon icon;
    std::mutex lock;
    std::condition_variable closed_cv;
    bool closed = false;
};

gboolean show_for_worker(gpointer user) {
    auto* call = static_cast<box_call*>(user);
    show_message_box(call->caption, call->text, call->icon);
    // Notified under the lock: the record lives on the waiting worker's stack.
    std::lock_guard guard(call->lock);
    call->closed = true;
    call->closed_cv.notify_one();
    return G_SOURCE_REMOVE;
}

void on_response(GtkDialog*, gint, gpointer answered) { *static_cast<bool*>(answered) = true; }

// GTK draws the icon only when it is given one. Loaded here, where a missing icon theme (a
// reduced XDG_DATA_DIRS) is an error to log rather than an assertion inside GTK.
void set_icon(GtkWidget* dialog, const char* name) {
    GError* error = nullptr;
    cairo_surface_t* surface = gtk_icon_theme_load_surface(gtk_icon_theme_get_default(), name, 48,
                                                           gtk_widget_get_scale_factor(dialog), nullptr,
                                                           GTK_ICON_LOOKUP_FORCE_SIZE, &error);
    if (surface == nullptr) {
        app_log("[window] box without its icon %s: %s", name, error ? error->message : "not found");
        g_clear_error(&error);
        return;
    }
    GtkWidget* image = gtk_image_new_from_surface(surface);
    cairo_surface_destroy(surface);
    GtkMessageType type = GTK_MESSAGE_OTHER;
    g_object_get(dialog, "message-type", &type, nullptr);
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_message_dialog_set_image(GTK_MESSAGE_DIALOG(dialog), image);
    G_GNUC_END_IGNORE_DEPRECATIONS
    // Giving an image resets the type, which tells assistive tools what kind of box it is.
    g_object_set(dialog, "message-type", type, nullptr);
    gtk_widget_show(image);
}

}  // namespace

void show_message_box(const std::string& caption, const std::string& text, message_box_icon icon) {
    GtkMessageType type = icon == message_box_icon::error ? GTK_MESSAGE_ERROR : GTK_MESSAGE_WARNING;
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, type, GTK_BUTTONS_OK, "%s", text.c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), caption.c_str());
    set_icon(dialog, icon == message_box_icon::error ? "dialog-error" : "dialog-warning");
    // Without an owner and without a window manager, the box would open at the top-left corner.
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    bool answered = false;
    g_signal_connect(dialog, "response", G_CALLBACK(on_response), &answered);
    gtk_window_present(GTK_WINDOW(dialog));
    run_main_loop_until([&] { return answered; });
    gtk_widget_destroy(dialog);
}

void show_message_box_and_wait(const std::string& caption, const std::string& text, message_box_icon icon) {
    box_call call;
    call.caption = caption;
    call.text = text;
    call.icon = icon;
    // Always queued, never run here: g_main_context_invoke could run it on this thread.
    g_idle_add(show_for_worker, &call);
    std::unique_lock guard(call.lock);
    call.closed_cv.wait(guard, [&] { return call.closed; });
}
