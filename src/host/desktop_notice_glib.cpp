#include "host/desktop_notice.h"

#include "base/app_log.h"

#include <gio/gio.h>

#include <deque>
#include <map>
#include <string>

namespace {

constexpr const char* service = "org.freedesktop.Notifications";
constexpr const char* object_path = "/org/freedesktop/Notifications";
constexpr int call_limit_ms = 5000;

struct pending_notice {
    desktop_notice notice;
    std::function<void()> on_activated;
};

// Main thread only. The bus is asked for once at a time; notices wait for its answer.
GDBusConnection* bus = nullptr;
bool bus_requested = false;
std::deque<pending_notice> waiting;
std::map<guint32, std::function<void()>> shown;  // by the service's id, until closed
std::map<guint, pending_notice> sent;             // by a number of ours, until answered
guint last_sent = 0;

void on_action(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
               gpointer) {
    guint32 id = 0;
    const gchar* action = nullptr;
    g_variant_get(parameters, "(u&s)", &id, &action);
    auto it = shown.find(id);
    if (it == shown.end() || std::string_view(action) != "default") return;
    auto activate = it->second;  // the callback may show a window that closes the notice
    app_log("[notify] Notice %u opened", id);
    if (activate) activate();
}

void on_closed(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
               gpointer) {
    guint32 id = 0, reason = 0;
    g_variant_get(parameters, "(uu)", &id, &reason);
    shown.erase(id);
}

void on_notified(GObject* source, GAsyncResult* result, gpointer user) {
    auto it = sent.find(GPOINTER_TO_UINT(user));
    if (it == sent.end()) return;
    pending_notice taken = std::move(it->second);
    sent.erase(it);
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (reply == nullptr) {
        app_log("[notify] Not shown (the notification service did not take it: %s): %s", error->message,
                taken.notice.summary.c_str());
        g_error_free(error);
        return;
    }
    guint32 id = 0;
    g_variant_get(reply, "(u)", &id);
    g_variant_unref(reply);
    shown[id] = std::move(taken.on_activated);
    app_log("[notify] Shown as notice %u: %s", id, taken.notice.summary.c_str());
}

void send(pending_notice notice) {
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    // The default action is what a click on the notice does.
    g_variant_builder_add(&actions, "s", "default");
    g_variant_builder_add(&actions, "s", "Open");
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    GVariant* arguments =
        g_variant_new("(susssasa{sv}i)", "Velunio Printaro", 0u, "velunio-printaro", notice.notice.summary.c_str(),
                      notice.notice.body.c_str(), &actions, &hints, -1);
    guint number = ++last_sent;
    sent.emplace(number, std::move(notice));
    g_dbus_connection_call(bus, service, object_path, service, "Notify", arguments, G_VARIANT_TYPE("(u)"),
                           G_DBUS_CALL_FLAGS_NONE, call_limit_ms, nullptr, on_notified, GUINT_TO_POINTER(number));
}

void on_bus_closed(GDBusConnection* closed, gboolean, GError*, gpointer) {
    if (closed != bus) return;
    app_log("[notify] The session bus closed; notices already shown can no longer be opened");
    g_object_unref(bus);
    bus = nullptr;
    shown.clear();
}

void on_bus(GObject*, GAsyncResult* result, gpointer) {
    bus_requested = false;
    GError* error = nullptr;
    bus = g_bus_get_finish(result, &error);
    if (bus == nullptr) {
        for (const pending_notice& n : waiting)
            app_log("[notify] Not shown (no session bus: %s): %s", error->message, n.notice.summary.c_str());
        waiting.clear();
        g_error_free(error);
        return;
    }
    // The program serves its printers whether or not the session bus stays: a bus that goes
    // away only ends the notices, and the next one asks for a bus again.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    g_signal_connect(bus, "closed", G_CALLBACK(on_bus_closed), nullptr);
    g_dbus_connection_signal_subscribe(bus, service, service, "ActionInvoked", object_path, nullptr,
                                       G_DBUS_SIGNAL_FLAGS_NONE, on_action, nullptr, nullptr);
    g_dbus_connection_signal_subscribe(bus, service, service, "NotificationClosed", object_path, nullptr,
                                       G_DBUS_SIGNAL_FLAGS_NONE, on_closed, nullptr, nullptr);
    while (!waiting.empty()) {
        send(std::move(waiting.front()));
        waiting.pop_front();
    }
}

}  // namespace

void show_desktop_notice(const desktop_notice& notice, std::function<void()> on_activated) {
    pending_notice n{notice, std::move(on_activated)};
    if (bus != nullptr) return send(std::move(n));
    waiting.push_back(std::move(n));
    // Asked again for each notice while there is none: a session may start after the program.
    if (!bus_requested) {
        bus_requested = true;
        g_bus_get(G_BUS_TYPE_SESSION, nullptr, on_bus, nullptr);
    }
}
