// The too-large box under a real display: shown by the main loop while the worker waits,
// with the caption, text and warning icon given; the worker goes on once it is closed.

#include "documents/too_large_notice.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <atomic>
#include <cstdlib>
#include <thread>

namespace {

struct seen_box {
    std::string title;
    std::string text;
    GtkMessageType type = GTK_MESSAGE_OTHER;
    bool found = false;
};

}  // namespace

namespace {

struct probe {
    seen_box seen;
    std::atomic<bool>* returned = nullptr;
    bool waited = false;
};

// Runs inside the box's own modal loop: finds it, reads it and closes it.
gboolean find_and_close(gpointer user) {
    auto* p = static_cast<probe*>(user);
    GList* windows = gtk_window_list_toplevels();
    for (GList* w = windows; w; w = w->next) {
        if (!GTK_IS_MESSAGE_DIALOG(w->data) || !gtk_widget_get_visible(GTK_WIDGET(w->data))) continue;
        GtkWidget* dialog = GTK_WIDGET(w->data);
        p->seen.found = true;
        p->seen.title = gtk_window_get_title(GTK_WINDOW(dialog));
        gchar* text = nullptr;
        g_object_get(dialog, "text", &text, "message-type", &p->seen.type, nullptr);
        p->seen.text = text ? text : "";
        g_free(text);
        p->waited = !p->returned->load();
        gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
        break;
    }
    g_list_free(windows);
    return p->seen.found ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
}

}  // namespace

TEST(TooLargeNotice, ModalWarningRunOnTheMainThread) {
    if (!std::getenv("DISPLAY") || !gtk_init_check(nullptr, nullptr)) GTEST_SKIP() << "no display";
    std::atomic<bool> returned{false};
    probe p;
    p.returned = &returned;
    g_timeout_add(50, find_and_close, &p);
    std::thread worker([&] {
        show_file_too_large_notice("File cannot be signed", "The file \u201cx.pdf\u201d is too large.");
        returned = true;
    });
    gint64 until = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
    while (!returned && g_get_monotonic_time() < until) g_main_context_iteration(nullptr, FALSE);
    worker.join();
    ASSERT_TRUE(p.seen.found);
    EXPECT_TRUE(p.waited);  // the worker was still waiting while the box was open
    EXPECT_EQ(p.seen.title, "File cannot be signed");
    EXPECT_EQ(p.seen.text, "The file \u201cx.pdf\u201d is too large.");
    EXPECT_EQ(p.seen.type, GTK_MESSAGE_WARNING);
}
