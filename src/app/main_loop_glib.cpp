#include "app/main_loop.h"

#include "window/posted_messages.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <unistd.h>

namespace {

std::atomic<int> exit_code{0};
std::atomic<GMainLoop*> running_loop{nullptr};
std::atomic<bool> quit_requested{false};
int stop_pipe[2] = {-1, -1};

gboolean deliver_on_main(gpointer) {
    deliver_posted_messages();
    return G_SOURCE_REMOVE;
}

// g_idle_add is safe from any thread and wakes the default context.
void wake_main_loop() { g_idle_add(deliver_on_main, nullptr); }

void on_stop_signal(int) {
    char byte = 1;
    ssize_t ignored = ::write(stop_pipe[1], &byte, 1);
    (void)ignored;
}

gboolean on_stop_pipe(gint fd, GIOCondition, gpointer) {
    char buf[16];
    while (::read(fd, buf, sizeof buf) > 0) {
    }
    quit_main_loop(0);
    return G_SOURCE_CONTINUE;
}

// The printer library installs its own SIGINT and SIGTERM handlers when its loop starts,
// which would stop only the printers; the program's handlers are put back so that a stop
// signal ends the whole run, whose shutdown then stops the printers.
gboolean keep_stop_handlers(gpointer) {
    for (int sig : {SIGINT, SIGTERM}) {
        struct sigaction current {};
        ::sigaction(sig, nullptr, &current);
        if (current.sa_handler != on_stop_signal) {
            struct sigaction sa {};
            sa.sa_handler = on_stop_signal;
            sigemptyset(&sa.sa_mask);
            sa.sa_flags = SA_RESTART;
            ::sigaction(sig, &sa, nullptr);
        }
    }
    return G_SOURCE_CONTINUE;
}

}  // namespace

int run_main_loop() {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    running_loop.store(loop);
    set_posted_message_waker(wake_main_loop);
    wake_main_loop();  // whatever was posted before the loop ran

    if (stop_pipe[0] < 0 && ::pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) stop_pipe[0] = stop_pipe[1] = -1;
    guint pipe_source = stop_pipe[0] >= 0 ? g_unix_fd_add(stop_pipe[0], G_IO_IN, on_stop_pipe, nullptr) : 0;
    keep_stop_handlers(nullptr);
    guint keeper = g_timeout_add(250, keep_stop_handlers, nullptr);

    if (!quit_requested.load()) g_main_loop_run(loop);

    g_source_remove(keeper);
    if (pipe_source != 0) g_source_remove(pipe_source);
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

bool main_loop_quit_requested() { return quit_requested.load(); }
