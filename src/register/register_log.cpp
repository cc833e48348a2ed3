#include "register/register_log.h"

#include "base/platform.h"

#include <cstdarg>
#include <cstdio>
#include <memory>

namespace {

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

struct log_state {
    std::unique_ptr<std::FILE, file_closer> file;
    std::string path;
};

log_state& state() {
    static log_state s;
    return s;
}

std::string formatted(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed <= 0) return {};
    std::string text(static_cast<std::size_t>(needed) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(needed));
    return text;
}

}  // namespace

std::string register_log_line(const std::tm& t, std::string_view message) {
    char stamp[40];
    std::snprintf(stamp, sizeof(stamp), "[%04d-%02d-%02d %02d:%02d:%02d] ", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return std::string(stamp) + std::string(message);
}

void open_register_log() {
    close_register_log();
    attach_parent_console();
    for (const std::string& candidate : register_log_candidates()) {
        if (std::FILE* file = open_register_log_file(candidate)) {
            state().file.reset(file);
            state().path = candidate;
            return;
        }
    }
}

void close_register_log() {
    state().file.reset();
}

const std::string& register_log_path() { return state().path; }

void reg_log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = formatted(format, args);
    va_end(args);
    if (state().file) {
        std::string line = register_log_line(local_time_now(), message) + "\n";
        std::fwrite(line.data(), 1, line.size(), state().file.get());
        std::fflush(state().file.get());
    }
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
}
