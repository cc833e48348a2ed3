#include "host/web_view.h"

#include "base/app_log.h"
#include "base/app_state.h"
#include "base/main_loop.h"
#include "bridge/dispatch.h"
#include "host/main_window.h"
#include "host/message_box.h"
#include "base/page_script.h"
#include "window/page_recovery.h"
#include "window/ui_files.h"
#include "window/web_view_scripts.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

constexpr const char* bridge_handler_name = "velunioBridge";

WebKitWebView* web_view = nullptr;

struct gobject_unref {
    void operator()(gpointer p) const { g_object_unref(p); }
};
template <typename T>
using gobject_ptr = std::unique_ptr<T, gobject_unref>;

struct gfree {
    void operator()(gpointer p) const { g_free(p); }
};

void respond(WebKitURISchemeRequest* request, int status, GBytes* body, const std::string& mime) {
    gsize length = 0;
    g_bytes_get_data(body, &length);
    gobject_ptr<GInputStream> stream(g_memory_input_stream_new_from_bytes(body));
    gobject_ptr<WebKitURISchemeResponse> response(
        webkit_uri_scheme_response_new(stream.get(), static_cast<gint64>(length)));
    webkit_uri_scheme_response_set_status(response.get(), static_cast<guint>(status), nullptr);
    webkit_uri_scheme_response_set_content_type(response.get(), mime.c_str());
    // Without the header as well, the page's fetch sees no content type.
    SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    soup_message_headers_replace(headers, "Content-Type", mime.c_str());
    webkit_uri_scheme_response_set_http_headers(response.get(), headers);  // takes the headers
    webkit_uri_scheme_request_finish_with_response(request, response.get());
}

// A status the page's fetch resolves with, rather than a failure it could not tell apart
// from a broken connection.
void refuse(WebKitURISchemeRequest* request, int status, const std::string& why) {
    const char* uri = webkit_uri_scheme_request_get_uri(request);
    app_log("[webview] %d for %s: %s", status, uri ? uri : "", why.c_str());
    std::string text = why + "\n";
    GBytes* body = g_bytes_new(text.data(), text.size());
    respond(request, status, body, "text/plain; charset=utf-8");
    g_bytes_unref(body);
}

void serve_ui_file(WebKitURISchemeRequest* request, gpointer) {
    const char* uri = webkit_uri_scheme_request_get_uri(request);
    const char* path = webkit_uri_scheme_request_get_path(request);
    ui_answer answer = answer_ui_request(ui_dir(), uri ? uri : "", path ? path : "");
    if (answer.status != 200) return refuse(request, answer.status, answer.why);
    gchar* contents = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(answer.file.c_str(), &contents, &length, nullptr))
        return refuse(request, 403, "unreadable");
    GBytes* body = g_bytes_new_take(contents, length);
    respond(request, 200, body, ui_mime_type(answer.file));
    g_bytes_unref(body);
}

void on_script_message(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer) {
    JSCValue* value = webkit_javascript_result_get_js_value(result);
    if (value == nullptr || !jsc_value_is_string(value)) return;
    std::unique_ptr<char, gfree> text(jsc_value_to_string(value));
    if (text) on_web_message_received(text.get());
}

gboolean on_context_menu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult*, gpointer) {
#ifdef VELUNIO_DEBUG_WEBVIEW
    return FALSE;
#else
    return TRUE;
#endif
}

gboolean on_scroll(GtkWidget*, GdkEventScroll* event, gpointer) {
    return (event->state & GDK_CONTROL_MASK) != 0 ? TRUE : FALSE;
}

gboolean on_key_press(GtkWidget*, GdkEventKey* event, gpointer) {
    if ((event->state & GDK_CONTROL_MASK) == 0) return FALSE;
    switch (event->keyval) {
        case GDK_KEY_plus:
        case GDK_KEY_equal:
        case GDK_KEY_minus:
        case GDK_KEY_0:
        case GDK_KEY_KP_Add:
        case GDK_KEY_KP_Subtract:
        case GDK_KEY_KP_0:
            return TRUE;
        default:
            return FALSE;
    }
}

gboolean on_decide_policy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer) {
    if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) return FALSE;
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    WebKitURIRequest* request = webkit_navigation_action_get_request(action);
    const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
    if (uri != nullptr && ui_navigation_allowed(uri)) {
        webkit_policy_decision_use(decision);
    } else {
        app_log("[webview] navigation refused: %s", uri ? uri : "");
        webkit_policy_decision_ignore(decision);
    }
    return TRUE;
}

void add_user_script(WebKitUserContentManager* ucm, const std::string& source) {
    WebKitUserScript* script = webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                                      WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(ucm, script);
    webkit_user_script_unref(script);
}

void fail(const char* why) {
    app_log("[webview] %s", why);
    show_message_box("Velunio Printaro", "Could not create the web view.\nPlease install WebKitGTK (libwebkit2gtk-4.1).",
                     message_box_icon::error);
    quit_main_loop(1);
}

// The engine starts its helper processes inside the load call, and a helper that cannot be
// started ends the program from within the engine (a fatal GLib error). While a load runs,
// such an error takes the failure path instead: the box, then exit code 1.
bool engine_starting = false;

GLogWriterOutput write_log(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer) {
    if ((level & G_LOG_LEVEL_ERROR) != 0 && engine_starting) {
        engine_starting = false;
        std::string message;
        for (gsize i = 0; i < count; ++i)
            if (std::string_view(fields[i].key) == "MESSAGE" && fields[i].length < 0)
                message = static_cast<const char*>(fields[i].value);
        fail(("the web engine did not start: " + message).c_str());
        // The engine cannot be returned to: the fatal error would end the program on return.
        std::_Exit(1);
    }
    return g_log_writer_default(level, fields, count, nullptr);
}

template <typename Load>
void load_guarded(Load load) {
    engine_starting = true;
    load();
    engine_starting = false;
}

page_recovery recovery;

const char* termination_text(WebKitWebProcessTerminationReason reason) {
    switch (reason) {
        case WEBKIT_WEB_PROCESS_CRASHED:
            return "it crashed or was killed";
        case WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT:
            return "it used more memory than allowed";
        default:
            return "the program ended it";
    }
}

// A page without its process stays frozen on its last frame: load it again, within bounds.
void on_web_process_terminated(WebKitWebView* view, WebKitWebProcessTerminationReason reason, gpointer) {
    if (!page_may_reload(recovery, std::chrono::steady_clock::now())) {
        app_log("[webview] The page's process ended (%s), %zu times within %lld s; the page is not loaded again",
                termination_text(reason), recovery.ends.size(), static_cast<long long>(page_reload_window.count()));
        return;
    }
    app_log("[webview] The page's process ended (%s); loading the page again", termination_text(reason));
    load_guarded([view] { webkit_web_view_reload(view); });
}

}  // namespace

bool start_web_view() {
    g_log_set_writer_func(write_log, nullptr, nullptr);
    auto* box = static_cast<GtkWidget*>(main_window_content_box());
    if (box == nullptr) {
        fail("no main window for the web view");
        return false;
    }
    std::string data_dir = output_dir() + "/WebKit/data";
    std::string cache_dir = output_dir() + "/WebKit/cache";
    gobject_ptr<WebKitWebsiteDataManager> data(WEBKIT_WEBSITE_DATA_MANAGER(g_object_new(
        WEBKIT_TYPE_WEBSITE_DATA_MANAGER, "base-data-directory", data_dir.c_str(), "base-cache-directory",
        cache_dir.c_str(), nullptr)));
    gobject_ptr<WebKitWebContext> context(
        data ? WEBKIT_WEB_CONTEXT(g_object_new(WEBKIT_TYPE_WEB_CONTEXT, "website-data-manager", data.get(), nullptr))
             : nullptr);
    if (!context) {
        fail("web context not created");
        return false;
    }
    std::string scheme(ui_scheme);
    webkit_web_context_register_uri_scheme(context.get(), scheme.c_str(), serve_ui_file, nullptr, nullptr);

    gobject_ptr<WebKitUserContentManager> ucm(webkit_user_content_manager_new());
    // Connected before the registration, so that no early message is lost.
    g_signal_connect(ucm.get(), "script-message-received::velunioBridge", G_CALLBACK(on_script_message), nullptr);
    if (!webkit_user_content_manager_register_script_message_handler(ucm.get(), bridge_handler_name)) {
        fail("message handler not registered");
        return false;
    }
    add_user_script(ucm.get(), bridge_forwarder_script(bridge_handler_name));
    add_user_script(ucm.get(), document_creation_script(app_version()));

    gobject_ptr<WebKitSettings> settings(webkit_settings_new());
#ifdef VELUNIO_DEBUG_WEBVIEW
    webkit_settings_set_enable_developer_extras(settings.get(), TRUE);
#else
    webkit_settings_set_enable_developer_extras(settings.get(), FALSE);
#endif

    GtkWidget* widget = GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context.get(),
                                                "user-content-manager", ucm.get(), "settings", settings.get(),
                                                nullptr));
    if (widget == nullptr) {
        fail("web view not created");
        return false;
    }
    web_view = WEBKIT_WEB_VIEW(widget);
    g_signal_connect(widget, "context-menu", G_CALLBACK(on_context_menu), nullptr);
    g_signal_connect(widget, "scroll-event", G_CALLBACK(on_scroll), nullptr);
    g_signal_connect(widget, "key-press-event", G_CALLBACK(on_key_press), nullptr);
    g_signal_connect(widget, "decide-policy", G_CALLBACK(on_decide_policy), nullptr);
    g_signal_connect(widget, "web-process-terminated", G_CALLBACK(on_web_process_terminated), nullptr);
    set_web_view_background(main_window_background());

    gtk_box_pack_start(GTK_BOX(box), widget, TRUE, TRUE, 0);
    gtk_widget_show(widget);

    set_page_script_runner([](const std::string& script) {
        if (web_view != nullptr)
            webkit_web_view_evaluate_javascript(web_view, script.c_str(), static_cast<gssize>(script.size()), nullptr,
                                                nullptr, nullptr, nullptr, nullptr);
    });
    std::string start(ui_start_address);
    app_log("[webview] loading %s", start.c_str());
    load_guarded([&] { webkit_web_view_load_uri(web_view, start.c_str()); });
    return true;
}

void set_web_view_background(rgb_colour colour) {
    if (web_view == nullptr) return;
    GdkRGBA rgba{colour.r / 255.0, colour.g / 255.0, colour.b / 255.0, 1.0};
    webkit_web_view_set_background_color(web_view, &rgba);
}
