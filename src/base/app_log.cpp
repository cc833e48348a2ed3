#include "base/app_log.h"

#include "base/output_folder.h"
#include "base/platform.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

namespace {

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

struct log_state {
    std::mutex lock;
    std::string path;
    file_ptr stream;
};

log_state& state() {
    static log_state s;
    return s;
}

file_ptr open_log_stream(const std::string& path) { return file_ptr(open_shared_append_file(path)); }

// Other writers append to the file too, so the file's end, not this stream's own count,
// decides rotation.
std::uintmax_t current_size(std::FILE* f) { return open_file_size(f); }

void rotate_if_needed(log_state& s) {
    if (!s.stream || current_size(s.stream.get()) < app_log_rotate_size) return;
    // Another process sharing the log may have rotated it already; this stream then writes
    // into the older generation, and rotating again would throw that generation away.
    if (!stream_is_file_at(s.stream.get(), s.path)) {
        s.stream = open_log_stream(s.path);
        return;
    }
    s.stream.reset();
    std::string older = s.path + ".1";
    std::remove(older.c_str());
    std::rename(s.path.c_str(), older.c_str());
    s.stream = open_log_stream(s.path);
}

void write_line(std::string_view prefix, std::string_view message) {
    log_state& s = state();
    std::lock_guard guard(s.lock);
    if (!s.stream) return;
    rotate_if_needed(s);
    if (!s.stream) return;
    std::FILE* f = s.stream.get();
    if (!prefix.empty()) std::fwrite(prefix.data(), 1, prefix.size(), f);
    if (!message.empty()) std::fwrite(message.data(), 1, message.size(), f);
    std::fputc('\n', f);
    std::fflush(f);
}

std::string time_prefix() {
    std::tm tm = local_time_now();
    char buf[16];
    std::snprintf(buf, sizeof buf, "[%02d:%02d:%02d] ", tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

}  // namespace

bool open_app_log(const std::string& output_dir) {
    log_state& s = state();
    std::lock_guard guard(s.lock);
    s.stream.reset();
    s.path = output_dir + "/" + std::string(app_log_file_name);
    s.stream = open_log_stream(s.path);
    if (!s.stream) return false;
    std::tm tm = local_time_now();
    std::fprintf(s.stream.get(), "\n--- Velunio Printaro started %04d-%02d-%02d %02d:%02d:%02d ---\n",
                 tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    std::fflush(s.stream.get());
    return true;
}

void close_app_log() {
    log_state& s = state();
    std::lock_guard guard(s.lock);
    s.stream.reset();
}

void app_log(const char* format, ...) {
    if (!app_log_is_open()) return;
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string message;
    if (n > 0) {
        message.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(message.data(), message.size(), format, args);
        message.resize(static_cast<std::size_t>(n));
    }
    va_end(args);
    write_line(time_prefix(), message);
}

void app_log_text(std::string_view message) { write_line(time_prefix(), message); }

void app_log_raw_line(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    write_line({}, line);
}

std::string app_log_path() {
    log_state& s = state();
    std::lock_guard guard(s.lock);
    return s.path;
}

bool app_log_is_open() {
    log_state& s = state();
    std::lock_guard guard(s.lock);
    return s.stream != nullptr;
}
