#include "base/app_log.h"
#include "app/error_reporting.h"

#include <csignal>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

// Without the reporting library a fatal signal leaves crash-<time>.txt beside the log.
// Everything the handler needs is prepared here, since it may only use async-signal-safe calls.

namespace {

constexpr int fatal_signals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL};
char crash_dir_buf[4096];
char release_buf[256];
char version_buf[128];

struct text_buffer {
    char data[512];
    std::size_t len = 0;
    void add(const char* s) {
        while (*s && len < sizeof data) data[len++] = *s++;
    }
    void add_number(long long v, int width = 0) {
        char digits[24];
        int n = 0;
        bool negative = v < 0;
        unsigned long long u = negative ? static_cast<unsigned long long>(-v) : static_cast<unsigned long long>(v);
        do {
            digits[n++] = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u != 0 && n < 20);
        while (n < width) digits[n++] = '0';
        if (negative && len < sizeof data) data[len++] = '-';
        while (n > 0 && len < sizeof data) data[len++] = digits[--n];
    }
};

// Civil date from days since 1970-01-01 (Howard Hinnant's algorithm), no library calls.
void civil_from_days(long long z, long long& y, unsigned& m, unsigned& d) {
    z += 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    unsigned doe = static_cast<unsigned>(z - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<long long>(yoe) + era * 400;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += (m <= 2);
}

void add_timestamp(text_buffer& b, std::time_t t, bool compact) {
    long long days = t / 86400, secs = t % 86400;
    long long y;
    unsigned m, d;
    civil_from_days(days, y, m, d);
    b.add_number(y, 4);
    if (!compact) b.add("-");
    b.add_number(m, 2);
    if (!compact) b.add("-");
    b.add_number(d, 2);
    b.add(compact ? "-" : " ");
    b.add_number(secs / 3600, 2);
    if (!compact) b.add(":");
    b.add_number(secs / 60 % 60, 2);
    if (!compact) b.add(":");
    b.add_number(secs % 60, 2);
}

const char* signal_name(int sig) {
    switch (sig) {
        case SIGSEGV: return "SIGSEGV";
        case SIGABRT: return "SIGABRT";
        case SIGBUS: return "SIGBUS";
        case SIGFPE: return "SIGFPE";
        case SIGILL: return "SIGILL";
        default: return "signal";
    }
}

void write_all(int fd, const char* data, std::size_t len) {
    while (len > 0) {
        ssize_t n = ::write(fd, data, len);
        if (n <= 0) return;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
}

void on_fatal_signal(int sig) {
    std::time_t now = std::time(nullptr);
    text_buffer path;
    path.add(crash_dir_buf);
    path.add("/crash-");
    add_timestamp(path, now, true);
    path.add(".txt");
    path.data[path.len < sizeof path.data ? path.len : sizeof path.data - 1] = '\0';

    int fd = ::open(path.data, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        text_buffer head;
        head.add("Velunio Printaro crash\nsignal: ");
        head.add_number(sig);
        head.add(" (");
        head.add(signal_name(sig));
        head.add(")\ntime: ");
        add_timestamp(head, now, false);
        head.add(" UTC\nversion: ");
        head.add(version_buf);
        head.add("\nrelease: ");
        head.add(release_buf);
        head.add("\nbacktrace:\n");
        write_all(fd, head.data, head.len);
        void* frames[64];
        int n = ::backtrace(frames, 64);
        ::backtrace_symbols_fd(frames, n, fd);
        ::close(fd);
    }
    // The handler was installed with SA_RESETHAND: raising again takes the default action.
    ::raise(sig);
}

void copy_bounded(char* dst, std::size_t cap, const std::string& src) {
    std::size_t n = src.size() < cap - 1 ? src.size() : cap - 1;
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

}  // namespace

void setup_error_reporting(const std::string& version, const std::string& crash_dir) {
    copy_bounded(crash_dir_buf, sizeof crash_dir_buf, crash_dir);
    copy_bounded(version_buf, sizeof version_buf, version);
    copy_bounded(release_buf, sizeof release_buf, error_reporting_release(version));
    void* warm[1];
    ::backtrace(warm, 1);  // loads the unwinder now, not inside the handler
    struct sigaction sa {};
    sa.sa_handler = on_fatal_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND | SA_NODEFER;
    for (int sig : fatal_signals) ::sigaction(sig, &sa, nullptr);
    app_log("[Sentry] Disabled: built without error reporting");
}

void close_error_reporting() {
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (int sig : fatal_signals) ::sigaction(sig, &sa, nullptr);
}
