#include "base/main_loop.h"

#include "base/posted_messages.h"

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

// A signal handler may only write to the pipe; the main loop reads it.
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

bool open_stop_pipe() {
    if (stop_pipe[0] >= 0) return true;
    if (::pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) == 0) return true;
    stop_pipe[0] = stop_pipe[1] = -1;
    return false;
}

}  // namespace

void claim_stop_signals() {
    if (!open_stop_pipe()) return;
    for (int sig : {SIGINT, SIGTERM}) {
        struct sigaction sa {};
        sa.sa_handler = on_stop_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(sig, &sa, nullptr);
    }
}

int run_main_loop() {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    running_loop.store(loop);
    set_posted_message_waker(wake_main_loop);
    wake_main_loop();  // whatever was posted before the loop ran

    claim_stop_signals();
    guint pipe_source = stop_pipe[0] >= 0 ? g_unix_fd_add(stop_pipe[0], G_IO_IN, on_stop_pipe, nullptr) : 0;

    if (!quit_requested.load()) g_main_loop_run(loop);

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
    // Wakes a nested loop too, which then sees the request.
    g_main_context_wakeup(nullptr);
}

bool main_loop_quit_requested() { return quit_requested.load(); }

void run_main_loop_until(const std::function<bool()>& done) {
    while (!done() && !quit_requested.load()) g_main_context_iteration(nullptr, TRUE);
}
