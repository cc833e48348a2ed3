#pragma once
// The hand-over from a second start of the program to the running instance: the callback
// URL it carries, the record it is sent in, and what the running instance does with it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

constexpr std::string_view callback_url_prefix = "velunioprinter://";

// The URL from the first "velunioprinter://" (case-sensitive) up to the first NUL, space or
// double quote; nullopt when the command line holds no such prefix.
std::optional<std::string> extract_callback_url(std::string_view command_line);

// Whether received data begins with the whole prefix.
bool is_callback_url(std::string_view data);

// The hand-over record: a 4-byte little-endian size in bytes, then that many UTF-8 bytes
// (no terminator). A start without a URL sends the size 0 alone.
constexpr std::size_t hand_over_header_size = 4;
// A larger declared size is refused unread: no callback URL comes near it.
constexpr std::uint32_t max_hand_over_size = 64 * 1024;
std::string encode_hand_over_record(std::optional<std::string_view> url);
std::uint32_t decode_hand_over_size(const unsigned char (&header)[hand_over_header_size]);

// The received bytes as text: up to the first NUL inside the declared size, else all of them.
std::string hand_over_text(std::string_view data);

// The Windows hand-over's data (WM_COPYDATA): UTF-16 text, read no further than `size` bytes
// and up to the first NUL inside them, as UTF-8. Null data is empty text.
std::string copy_data_text(const void* data, std::size_t size);

// The page call for one callback URL.
constexpr std::size_t callback_script_limit = 4096;
std::string callback_script(std::string_view url);

// Hands the URL to the page's handleCallback; a script that would not fit is not run.
void deliver_callback_url(const std::string& url);

// "Show, restore and raise": the window installs it once it exists.
using bring_to_front_action = void (*)();
void set_bring_to_front_action(bring_to_front_action action);
void bring_to_front();

// The running instance's answer to one record: deliver a callback URL, then always bring
// the window to the front. Main thread.
void receive_hand_over(std::string_view data);

// A second start: logs, sends the URL (or an empty record) to the running instance and
// waits for its answer. `command_line` is nullopt when the program got no arguments.
void handle_second_instance(const std::optional<std::string>& command_line);

// Platform seam (second_instance_posix.cpp: a Unix socket; second_instance_win32.cpp: the
// named mutex, the window found by its class and WM_COPYDATA).
enum class instance_claim { first, second, unavailable };

// Makes this process the running instance (its listener joins the main loop's default
// context) or finds that another one runs. `unavailable`: no socket could be set up; the
// caller runs as a first instance without hand-over.
instance_claim claim_single_instance(const std::string& fallback_dir);

// Where the running instance is reached: its socket, $XDG_RUNTIME_DIR (else `fallback_dir`)
// /velunio-printaro/instance.sock; on Windows the class of its window, "VelunioPrintApp".
std::string instance_socket_path(const std::string& fallback_dir);

enum class hand_over_outcome { answered, not_running, no_answer };
// Sends one record to the running instance and waits (bounded) for its answer.
hand_over_outcome send_hand_over(const std::string& socket_path, const std::string& record);
