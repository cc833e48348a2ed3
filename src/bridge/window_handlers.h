#pragma once
// The page's handlers that act on the main window and the desktop. The decisions are made
// here; the desktop operations come from the window backend through `window_shell`.

#include "window/title_bar.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

struct window_shell {
    std::function<void(const std::string& caption, const std::string& text)> show_alert;
    std::function<void()> bring_to_front;
    // Hands an address to the desktop's default application for its scheme.
    std::function<void(const std::string& uri)> open_uri;
    // Whether an application is registered for the "velunio" scheme and its program exists.
    std::function<bool()> deeplink_handler_installed;
    std::function<void(int width, int height_without_title)> apply_window_size;
    std::function<void(rgb_colour colour)> set_background;
};

// Installed by the host at start-up (tests install fakes); an operation left empty is
// skipped.
void set_window_shell(window_shell shell);

struct screen_size {
    int width = 0;
    int height = 0;  // without the title strip
    bool operator==(const screen_size&) const = default;
};

screen_size screen_size_for(std::string_view screen_name);

// "#" and up to six hex digits, read up to the first non-hex character; nullopt when the
// text is shorter than 7 characters or does not begin with "#".
std::optional<rgb_colour> parse_window_colour(std::string_view text);

struct alert_text {
    std::string caption;
    std::string text;
};
alert_text alert_text_for(const std::optional<std::string>& data);

enum class open_target { nothing, deep_link, web, refused };

// Only web addresses and the service's own deep links leave the program; any other scheme
// (file:, a local program) is refused.
open_target classify_open_target(std::string_view uri);
