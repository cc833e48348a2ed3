// The web view host in one process under a real display, as a page and a user meet it: the
// bridge's entries, the page's process, the window's place, desktop notices, the hand-over
// socket and the modal boxes (the strip's pixels: window_test.py). The tests share one window
// and run in order; the boxes come last, since the run's end cannot be taken back.
#include "app/second_instance.h"
#include "base/app_log.h"
#include "base/app_state.h"
#include "base/main_loop.h"
#include "base/page_script.h"
#include "base/posted_messages.h"
#include "bridge/handlers.h"
#include "bridge/window_handlers.h"
#include "host/main_window.h"
#include "host/message_box.h"
#include "host/user_interface.h"
#include "host/window_shell.h"
#include "support/temp_dir.h"

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

struct shared_state {
    temp_dir tmp;
    std::string out = tmp / "out";
    GTestDBus* bus = nullptr;
    GDBusConnection* service = nullptr;  // the tests' own notification service
    std::vector<std::pair<std::string, std::string>> notices;  // summary, body
    clock_type::time_point page_ready;
};
std::unique_ptr<shared_state> host;

std::string log_text() { return read_file(host->out + "/velunio-print.log"); }

std::size_t count_of(const std::string& needle) {
    std::string text = log_text();
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

bool spin_until(const std::function<bool()>& done, double seconds) {
    auto end = clock_type::now() + std::chrono::duration<double>(seconds);
    while (!done() && clock_type::now() <= end) g_main_context_iteration(nullptr, TRUE);  // a 10 ms timer keeps it waking
    return done();
}

void spin_for(double seconds) { spin_until([] { return false; }, seconds); }

bool logged(const std::string& line, std::size_t times = 1, double seconds = 10) {
    return spin_until([&] { return count_of(line) >= times; }, seconds);
}

GtkWindow* main_gtk_window() { return GTK_WINDOW(gtk_widget_get_toplevel(GTK_WIDGET(main_window_content_box()))); }

// The window's place as the display server has it.
GdkRectangle frame() {
    GdkRectangle r{};
    gdk_window_get_frame_extents(gtk_widget_get_window(GTK_WIDGET(main_gtk_window())), &r);
    return r;
}

void on_notify(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
               GDBusMethodInvocation* call, gpointer) {
    const gchar *summary = nullptr, *body = nullptr;
    g_variant_get_child(parameters, 3, "&s", &summary);
    g_variant_get_child(parameters, 4, "&s", &body);
    host->notices.emplace_back(summary, body);
    g_dbus_method_invocation_return_value(call, g_variant_new("(u)", static_cast<guint32>(host->notices.size())));
}

// A private session bus with nothing on it yet; the notification service joins it later.
void start_session_bus() {
    std::string display = std::getenv("DISPLAY");
    host->bus = g_test_dbus_new(G_TEST_DBUS_NONE);
    g_test_dbus_up(host->bus);  // sets DBUS_SESSION_BUS_ADDRESS, and unsets DISPLAY
    setenv("DISPLAY", display.c_str(), 1);
    host->service = g_dbus_connection_new_for_address_sync(
        g_test_dbus_get_bus_address(host->bus),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    ASSERT_NE(host->service, nullptr) << "dbus-daemon (scripts/bootstrap installs it)";
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(
        "<node><interface name='org.freedesktop.Notifications'><method name='Notify'><arg type='s'/><arg type='u'/>"
        "<arg type='s'/><arg type='s'/><arg type='s'/><arg type='as'/><arg type='a{sv}'/><arg type='i'/>"
        "<arg type='u' direction='out'/></method></interface></node>",
        nullptr);
    static const GDBusInterfaceVTable vtable{on_notify, nullptr, nullptr, {}};
    g_dbus_connection_register_object(host->service, "/org/freedesktop/Notifications", node->interfaces[0], &vtable,
                                      nullptr, nullptr, nullptr);
    g_dbus_node_info_unref(node);
}

class Host : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (host != nullptr) return;
        ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under scripts/test or a private Xvfb";
        host = std::make_unique<shared_state>();
        for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
            fs::create_directories(host->tmp / name);
            fs::permissions(host->tmp / name, fs::perms::owner_all);
            setenv(name, (host->tmp / name).c_str(), 1);
        }
        setenv("NO_AT_BRIDGE", "1", 1);
        start_session_bus();
        fs::create_directories(host->out);
        set_app_paths({HOST_PAGES_DIR, host->out, "1.0.4"});
        open_app_log(host->out);
        install_bridge_deliverers();
        ASSERT_EQ(claim_single_instance(host->out), instance_claim::first);
        ASSERT_TRUE(start_user_interface(false));
        // Wakes the loop for spin_until, and delivers what workers post, as the program's loop does.
        g_timeout_add(10, [](gpointer) -> gboolean { deliver_posted_messages(); return G_SOURCE_CONTINUE; }, nullptr);
        ASSERT_TRUE(logged("[JS] log: ready", 1, 30)) << log_text();
        host->page_ready = clock_type::now();
    }
    static void TearDownTestSuite() {
        if (host && host->bus) g_test_dbus_down(host->bus);
    }
};

TEST_F(Host, MissingFileAndFolderAnswer404ThatThePageReads) {
    EXPECT_TRUE(logged("[JS] log: fetched missing.js 404, js 404")) << log_text();
}

TEST_F(Host, TheBottomLeftCornerStaysThroughStackedResizesAndHideAndShow) {
    GtkWindow* window = main_gtk_window();
    // A move as a drag by the user makes one, once the window system has reported it.
    static bool moved = false;
    auto on_configure = +[](GtkWidget*, GdkEventConfigure* e, gpointer) -> gboolean {
        moved = moved || (e->x == 100 && e->y == 300);
        return FALSE;
    };
    gulong seen = g_signal_connect(window, "configure-event", G_CALLBACK(on_configure), nullptr);
    gtk_window_move(window, 100, 300);
    ASSERT_TRUE(spin_until([] { return moved; }, 5));
    g_signal_handler_disconnect(window, seen);
    const int bottom = frame().y + frame().height;
    // Two requests before the window system has carried out the first.
    apply_window_size(514, 498);
    apply_window_size(424, 414);
    EXPECT_TRUE(spin_until([&] { return frame().width == 424 && frame().height == 442; }, 5));
    for (bool hide : {false, true}) {
        if (hide) {
            gtk_widget_hide(GTK_WIDGET(window));  // as the close button does
            spin_for(0.3);
            show_and_raise_main_window();
            EXPECT_TRUE(spin_until([&] { return gtk_widget_get_mapped(GTK_WIDGET(window)) != 0; }, 5));
        }
        spin_for(0.3);
        EXPECT_EQ(frame().x, 100) << (hide ? "after hide and show" : "after the resizes");
        EXPECT_EQ(frame().y + frame().height, bottom) << (hide ? "after hide and show" : "after the resizes");
    }
    apply_window_size(514, 414);
}

TEST_F(Host, ATricklingPeerDoesNotHoldUpTheBridge) {
    run_page_script("window.velunio.roundTrips(3000)");
    std::jthread peer([] {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, instance_socket_path(host->out).c_str(), sizeof address.sun_path - 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            for (char c : encode_hand_over_record(std::string_view("velunioprinter://slow")).substr(0, 12)) {
                ::send(fd, &c, 1, MSG_NOSIGNAL);
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
            }
        ::close(fd);
    });
    ASSERT_TRUE(logged("[JS] log: slowest round trip ", 1, 15));
    std::string text = log_text();
    EXPECT_LT(std::stoi(text.substr(text.find("slowest round trip ") + 19)), 100)
        << "ms for one round trip while a peer trickles its record";
    EXPECT_TRUE(logged("[callback] Hand-over not complete within 2000 ms; dropped"));
}

TEST_F(Host, EveryEntryIsReachedAMinuteAfterLoadAndCollections) {
    std::vector<std::string> shell_calls;
    window_shell fake;
    fake.show_alert = [&](const std::string& c, const std::string&) { shell_calls.push_back("alert " + c); };
    fake.bring_to_front = [&] { shell_calls.push_back("front"); };
    fake.apply_window_size = [&](int w, int) { shell_calls.push_back("size " + std::to_string(w)); };
    fake.set_background = [&](rgb_colour c) { shell_calls.push_back("bg " + std::to_string(c.r)); };
    set_window_shell(fake);
    fs::create_directories(host->out + "/sign-myself");
    std::ofstream(host->out + "/sign-myself/gc.pdf") << "%PDF-1.4\n";
    spin_for(std::chrono::duration<double>(host->page_ready + std::chrono::seconds(60) - clock_type::now()).count());
    run_page_script("window.velunio.probe()");
    for (const char* reached : {"[startFileWatcher] Existing file queued: sign-myself/gc.pdf",
                                "[clearPrintedFiles] Deleted sign-myself/gc.pdf", "[JS] log: got get gc",
                                "[JS] log: got token ", "[openBrowser] deeplink velunio://gc: failed (no handler)",
                                "[uploadPrintedFile] Invalid message", "[deletePrintedFile] Refused: not a printed file: /gc"})
        EXPECT_TRUE(logged(reached)) << reached;
    EXPECT_EQ(shell_calls, (std::vector<std::string>{"alert t", "front", "size 514", "bg 18"}));
    EXPECT_EQ(count_of("[JS] log: lost "), 0u) << log_text();
    install_window_shell();
}

TEST_F(Host, APdfPrintedWhileTheWindowIsHiddenIsAnnouncedOnce) {
    GtkWidget* window = GTK_WIDGET(main_gtk_window());
    auto print = [](const std::string& folder, const std::string& name) {
        std::ofstream(host->tmp / "job.tmp") << "%PDF-1.4\n";
        fs::rename(host->tmp / "job.tmp", host->out + "/" + folder + "/" + name);
        return logged("[JS] log: got file " + host->out + "/" + folder + "/" + name);
    };
    handler_start_file_watcher(std::nullopt);  // once per process, whoever asks first
    gtk_widget_hide(window);
    // No service on the bus yet: the program says so and carries on.
    ASSERT_TRUE(print("sign-myself", "early.pdf"));
    EXPECT_TRUE(logged("[notify] Not shown (the notification service did not take it"));
    static bool owned = false;
    g_bus_own_name_on_connection(host->service, "org.freedesktop.Notifications", G_BUS_NAME_OWNER_FLAGS_NONE,
                                 [](GDBusConnection*, const gchar*, gpointer) { owned = true; }, nullptr, nullptr, nullptr);
    ASSERT_TRUE(spin_until([] { return owned; }, 5));

    ASSERT_TRUE(print("sign-myself", "Quarterly report.pdf"));
    ASSERT_TRUE(spin_until([] { return !host->notices.empty(); }, 5));
    EXPECT_EQ(host->notices[0].first, "New document to sign: Quarterly report.pdf");
    EXPECT_TRUE(contains(host->notices[0].second, "Sign Myself (Velunio)")) << host->notices[0].second;
    // A click on the notice brings the window back.
    g_dbus_connection_emit_signal(host->service, nullptr, "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                                  "ActionInvoked", g_variant_new("(us)", 1u, "default"), nullptr);
    EXPECT_TRUE(spin_until([] { return main_window_in_view(); }, 5));

    // Visible: the page alone hears of it. Hidden again: the next one is announced, and only it.
    ASSERT_TRUE(print("request-signature", "seen.pdf"));
    gtk_widget_hide(window);
    ASSERT_TRUE(print("request-signature", "unseen.pdf"));
    ASSERT_TRUE(spin_until([] { return host->notices.size() >= 2; }, 5));
    spin_for(0.3);
    ASSERT_EQ(host->notices.size(), 2u);
    EXPECT_EQ(host->notices[1].first, "New document to sign: unseen.pdf");
    EXPECT_TRUE(contains(host->notices[1].second, "Request Signature (Velunio)"));
    show_and_raise_main_window();
}

TEST_F(Host, TheKilledPageProcessIsLoggedAndThePageComesBack) {
    pid_t victim = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string pid, comm, state;
        pid_t parent = 0;
        if (stat >> pid >> comm >> state >> parent && parent == ::getpid() && comm == "(WebKitWebProces)")
            victim = std::stoi(pid);
    }
    ASSERT_NE(victim, 0) << "no web process below this one";
    ::kill(victim, SIGKILL);
    EXPECT_TRUE(logged("[webview] The page's process ended (it crashed or was killed); loading the page again"));
    EXPECT_TRUE(logged("[JS] log: ready", 2, 10)) << log_text();
}

struct box_probe {
    bool by_ending_the_run = false;
    std::string seen;  // caption|text|icon|place
};

// Runs inside the box's own loop: describes the open box, then closes it by its button or by
// the end of the run.
gboolean close_box(gpointer data) {
    auto* probe = static_cast<box_probe*>(data);
    GList* all = gtk_window_list_toplevels();
    for (GList* w = all; w; w = w->next) {
        if (!GTK_IS_MESSAGE_DIALOG(w->data) || !gtk_widget_get_mapped(GTK_WIDGET(w->data))) continue;
        GtkWidget* box = GTK_WIDGET(w->data);
        gchar* text = nullptr;
        GtkMessageType type = GTK_MESSAGE_OTHER;
        g_object_get(box, "text", &text, "message-type", &type, nullptr);
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        GtkWidget* image = gtk_message_dialog_get_image(GTK_MESSAGE_DIALOG(box));
        G_GNUC_END_IGNORE_DEPRECATIONS
        bool drawn = GTK_IS_IMAGE(image) && gtk_image_get_storage_type(GTK_IMAGE(image)) == GTK_IMAGE_SURFACE;
        GdkRectangle f{};
        gdk_window_get_frame_extents(gtk_widget_get_window(box), &f);
        GdkWindow* root = gdk_get_default_root_window();
        bool centred = std::abs(2 * f.x + f.width - gdk_window_get_width(root)) <= 2 &&
                       std::abs(2 * f.y + f.height - gdk_window_get_height(root)) <= 2;
        const char* icon = !drawn ? "no icon" : type == GTK_MESSAGE_ERROR ? "error" : type == GTK_MESSAGE_WARNING ? "warning" : "?";
        probe->seen = std::string(gtk_window_get_title(GTK_WINDOW(box))) + "|" + text + "|" + icon + "|" +
                      (centred ? "centred" : "at " + std::to_string(f.x) + "," + std::to_string(f.y));
        g_free(text);
        if (probe->by_ending_the_run) quit_main_loop(0);
        else gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_OK);
    }
    g_list_free(all);
    return probe->seen.empty() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

// The page's alert opens from its message, on the main thread, and closes by its button. A
// worker's box is shown by the main thread while the worker waits, until the run ends.
TEST_F(Host, TheModalBoxIsCentredWithItsIconAndEndsWithTheRun) {
    box_probe alert{false, {}};
    g_timeout_add(50, close_box, &alert);
    run_page_script(R"(window.webkit.messageHandlers.showAlert.postMessage('{"title":"Alert","message":"hello"}'))");
    EXPECT_TRUE(spin_until([&] { return !alert.seen.empty(); }, 10));
    EXPECT_EQ(alert.seen, "Alert|hello|warning|centred");

    std::atomic<bool> returned{false};
    box_probe ending{true, {}};
    g_timeout_add(50, close_box, &ending);
    std::thread worker([&] {
        show_message_box_and_wait("File cannot be signed", "The file \u201cx.pdf\u201d is too large.", message_box_icon::error);
        returned = true;
    });
    EXPECT_TRUE(spin_until([&] { return returned.load(); }, 10)) << "the worker still waits on the box";
    worker.join();
    EXPECT_EQ(ending.seen, "File cannot be signed|The file \u201cx.pdf\u201d is too large.|error|centred");
    EXPECT_TRUE(main_loop_quit_requested());
}

}  // namespace
