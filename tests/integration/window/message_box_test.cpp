// The one modal box under a real display: a worker's box is shown by the main loop while the
// worker waits, with the caption, text and icon given; closing it lets the worker go on, and
// so does the end of the run, which must never wait on an open box.

#include "base/main_loop.h"
#include "host/message_box.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <atomic>
#include <cstdlib>
#include <thread>

namespace {

struct probe {
    std::string title;
    std::string text;
    GtkMessageType type = GTK_MESSAGE_OTHER;
    bool found = false;
    bool worker_waiting = false;
    bool close_by_quitting = false;
    std::atomic<bool>* returned = nullptr;
};

// Runs inside the box's modal loop: finds the box, reads it and ends it.
gboolean find_and_end(gpointer user) {
    auto* p = static_cast<probe*>(user);
    GList* windows = gtk_window_list_toplevels();
    for (GList* w = windows; w; w = w->next) {
        if (!GTK_IS_MESSAGE_DIALOG(w->data) || !gtk_widget_get_visible(GTK_WIDGET(w->data))) continue;
        GtkWidget* dialog = GTK_WIDGET(w->data);
        p->found = true;
        p->title = gtk_window_get_title(GTK_WINDOW(dialog));
        gchar* text = nullptr;
        g_object_get(dialog, "text", &text, "message-type", &p->type, nullptr);
        p->text = text ? text : "";
        g_free(text);
        p->worker_waiting = !p->returned->load();
        if (p->close_by_quitting) quit_main_loop(0);
        else gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
        break;
    }
    g_list_free(windows);
    return p->found ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
}

probe show_from_worker(bool close_by_quitting, message_box_icon icon) {
    std::atomic<bool> returned{false};
    probe p;
    p.returned = &returned;
    p.close_by_quitting = close_by_quitting;
    g_timeout_add(50, find_and_end, &p);
    std::thread worker([&] {
        show_message_box_and_wait("File cannot be signed", "The file \u201cx.pdf\u201d is too large.", icon);
        returned = true;
    });
    gint64 until = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
    while (!returned && g_get_monotonic_time() < until) g_main_context_iteration(nullptr, FALSE);
    EXPECT_TRUE(returned.load()) << "the worker still waits on the box";
    worker.join();
    return p;
}

}  // namespace

TEST(MessageBox, AWorkersBoxIsModalOnTheMainThreadAndEndsWithTheRun) {
    if (!std::getenv("DISPLAY") || !gtk_init_check(nullptr, nullptr)) GTEST_SKIP() << "no display";
    probe closed = show_from_worker(false, message_box_icon::warning);
    ASSERT_TRUE(closed.found);
    EXPECT_TRUE(closed.worker_waiting);
    EXPECT_EQ(closed.title, "File cannot be signed");
    EXPECT_EQ(closed.text, "The file \u201cx.pdf\u201d is too large.");
    EXPECT_EQ(closed.type, GTK_MESSAGE_WARNING);

    // Last: the run's end cannot be taken back in this process.
    probe quit = show_from_worker(true, message_box_icon::error);
    ASSERT_TRUE(quit.found);
    EXPECT_EQ(quit.type, GTK_MESSAGE_ERROR);
    EXPECT_TRUE(main_loop_quit_requested());
}
