#include "app/main_loop.h"

#include "window/posted_messages.h"

#include <atomic>
#include <csignal>
#include <glib-unix.h>
#include <glib.h>

namespace {

std::atomic<int> exit_code{0};
std::atomic<GMainLoop*> running_loop{nullptr};
std::atomic<bool> quit_requested{false};

gboolean deliver_on_main(gpointer) {
    deliver_posted_messages();
    return G_SOURCE_REMOVE;
}

// g_idle_add is safe from any thread and wakes the default context.
void wake_main_loop() { g_idle_add(deliver_on_main, nullptr); }

gboolean on_stop_signal(gpointer) {
    quit_main_loop(0);
    return G_SOURCE_CONTINUE;
}

}  // namespace

int run_main_loop() {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    running_loop.store(loop);
    set_posted_message_waker(wake_main_loop);
    wake_main_loop();  // whatever was posted before the loop ran
    guint sigint = g_unix_signal_add(SIGINT, on_stop_signal, nullptr);
    guint sigterm = g_unix_signal_add(SIGTERM, on_stop_signal, nullptr);
    if (!quit_requested.load()) g_main_loop_run(loop);
    g_source_remove(sigint);
    g_source_remove(sigterm);
    set_posted_message_waker(nullptr);
    running_loop.store(nullptr);
    g_main_loop_unref(loop);
    return exit_code.load();
}

void quit_main_loop(int code) {
    exit_code.store(code);
    quit_requested.store(true);
    if (GMainLoop* loop = running_loop.load()) g_main_loop_quit(loop);
}
