#include "app/second_instance.h"

#include "base/app_log.h"
#include "base/app_state.h"
#include "base/json_text.h"
#include "base/page_script.h"

#include <atomic>
#include <cstring>

std::optional<std::string> extract_callback_url(std::string_view command_line) {
    std::size_t start = command_line.find(callback_url_prefix);
    if (start == std::string_view::npos) return std::nullopt;
    std::string_view rest = command_line.substr(start);
    std::size_t end = rest.find_first_of(std::string_view("\0 \"", 3));
    return std::string(rest.substr(0, end));
}

bool is_callback_url(std::string_view data) { return data.starts_with(callback_url_prefix); }

std::string encode_hand_over_record(std::optional<std::string_view> url) {
    std::string_view text = url ? *url : std::string_view();
    auto size = static_cast<std::uint32_t>(text.size());
    std::string record;
    record.reserve(hand_over_header_size + text.size());
    for (int shift = 0; shift < 32; shift += 8) record.push_back(static_cast<char>((size >> shift) & 0xFF));
    record.append(text);
    return record;
}

std::uint32_t decode_hand_over_size(const unsigned char (&header)[hand_over_header_size]) {
    return static_cast<std::uint32_t>(header[0]) | static_cast<std::uint32_t>(header[1]) << 8 |
           static_cast<std::uint32_t>(header[2]) << 16 | static_cast<std::uint32_t>(header[3]) << 24;
}

std::string hand_over_text(std::string_view data) {
    return std::string(data.substr(0, data.find('\0')));
}

std::string copy_data_text(const void* data, std::size_t size) {
    if (data == nullptr) return {};
    std::u16string text(size / sizeof(char16_t), u'\0');
    std::memcpy(text.data(), data, text.size() * sizeof(char16_t));
    return wide_to_utf8(std::u16string_view(text).substr(0, text.find(u'\0')));
}

std::string callback_script(std::string_view url) {
    return "window.velunio&&typeof window.velunio.handleCallback==='function'&&window.velunio.handleCallback('" +
           js_escape_single(url) + "')";
}

void deliver_callback_url(const std::string& url) {
    // The escaped form keeps the line whole when the URL holds a line break.
    std::string escaped = js_escape_single(url);
    app_log("[callback] deliver_callback_url: %s", escaped.c_str());
    run_bounded_page_script(callback_script(url), callback_script_limit, "handleCallback");
}

namespace {
std::atomic<bring_to_front_action> front_action{nullptr};
}

void set_bring_to_front_action(bring_to_front_action action) { front_action.store(action); }

void bring_to_front() {
    bring_to_front_action action = front_action.load();
    app_log("[callback] Bringing the window to the front%s", action ? "" : " (no window yet)");
    if (action) action();
}

void receive_hand_over(std::string_view data) {
    std::string text = hand_over_text(data);
    if (is_callback_url(text)) deliver_callback_url(text);
    bring_to_front();
}

void handle_second_instance(const std::optional<std::string>& command_line) {
    app_log("[callback] handle_second_instance cmdline: %s", command_line ? command_line->c_str() : "(none)");
    std::optional<std::string> url;
    if (command_line) url = extract_callback_url(*command_line);
    std::string record = encode_hand_over_record(url);
    switch (send_hand_over(instance_socket_path(output_dir()), record)) {
        case hand_over_outcome::answered:
            break;
        case hand_over_outcome::not_running:
            app_log("[callback] No existing window found - app not running?");
            break;
        case hand_over_outcome::no_answer:
            app_log("[callback] The running instance did not answer");
            break;
    }
}
