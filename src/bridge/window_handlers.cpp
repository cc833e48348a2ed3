#include "bridge/window_handlers.h"

#include "bridge/handlers.h"
#include "base/app_log.h"
#include "base/json_text.h"
#include "base/page_script.h"

#include <cctype>

namespace {

window_shell shell;

bool starts_with_ignoring_case(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(s[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

void set_window_shell(window_shell s) { shell = std::move(s); }

screen_size screen_size_for(std::string_view screen_name) {
    if (screen_name == "home-with-banner") return {514, 498};
    if (screen_name == "home") return {514, 414};
    return {424, 414};
}

std::optional<rgb_colour> parse_window_colour(std::string_view text) {
    if (text.size() < 7 || text[0] != '#') return std::nullopt;
    unsigned value = 0;
    for (std::size_t i = 1; i < text.size() && i <= 6; ++i) {
        int d = hex_digit(text[i]);
        if (d < 0) break;
        value = value * 16 + static_cast<unsigned>(d);
    }
    return rgb_colour{static_cast<int>((value >> 16) & 0xff), static_cast<int>((value >> 8) & 0xff),
                      static_cast<int>(value & 0xff)};
}

alert_text alert_text_for(const handler_data& data) {
    alert_text a;
    std::optional<std::string> title, message;
    if (data) {
        title = json_find_string(*data, "title");
        message = json_find_string(*data, "message");
    }
    a.caption = title ? *title : "Velunio";
    a.text = message ? *message : "";
    return a;
}

open_target classify_open_target(std::string_view uri) {
    if (uri.empty()) return open_target::nothing;
    if (starts_with_ignoring_case(uri, "velunio://")) return open_target::deep_link;
    if (starts_with_ignoring_case(uri, "http://") || starts_with_ignoring_case(uri, "https://"))
        return open_target::web;
    return open_target::refused;
}

void handler_show_alert(const handler_data& data) {
    alert_text a = alert_text_for(data);
    if (shell.show_alert) shell.show_alert(a.caption, a.text);
}

void handler_bring_to_front(const handler_data&) {
    if (shell.bring_to_front) shell.bring_to_front();
}

void handler_open_browser(const handler_data& data) {
    if (!data) return;
    const std::string& uri = *data;
    switch (classify_open_target(uri)) {
        case open_target::nothing:
            return;
        case open_target::refused:
            app_log("[openBrowser] refused: %s", uri.c_str());
            return;
        case open_target::web:
            app_log("[openBrowser] %s", uri.c_str());
            if (shell.open_uri) shell.open_uri(uri);
            return;
        case open_target::deep_link: {
            bool installed = shell.deeplink_handler_installed && shell.deeplink_handler_installed();
            if (installed && shell.open_uri) shell.open_uri(uri);
            app_log("[openBrowser] deeplink %s: %s", uri.c_str(), installed ? "ok" : "failed (no handler)");
            run_page_script(installed ? "window.velunio&&typeof window.velunio._onDeeplinkResult==='function'&&"
                                        "window.velunio._onDeeplinkResult(true)"
                                      : "window.velunio&&typeof window.velunio._onDeeplinkResult==='function'&&"
                                        "window.velunio._onDeeplinkResult(false)");
            return;
        }
    }
}

void handler_resize_window(const handler_data& data) {
    if (!data) return;
    screen_size size = screen_size_for(*data);
    if (shell.apply_window_size) shell.apply_window_size(size.width, size.height);
}

void handler_set_window_background(const handler_data& data) {
    if (!data) return;
    std::optional<rgb_colour> colour = parse_window_colour(*data);
    if (colour && shell.set_background) shell.set_background(*colour);
}
