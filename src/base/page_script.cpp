#include "base/page_script.h"

#include "base/app_log.h"
#include "base/json_text.h"

namespace {
page_script_runner& runner_storage() {
    static page_script_runner runner;
    return runner;
}
}  // namespace

void set_page_script_runner(page_script_runner runner) { runner_storage() = std::move(runner); }

void run_page_script(const std::string& script) {
    auto& runner = runner_storage();
    if (!runner) return;
    // The web view drops a script that is not valid UTF-8 as a whole, answer and all.
    if (is_valid_utf8(script)) runner(script);
    else runner(sanitize_utf8(script));
}

std::size_t utf16_length(std::string_view utf8) {
    std::size_t units = 0;
    for (unsigned char c : utf8) {
        if ((c & 0xC0) != 0x80) ++units;  // one per lead byte
        if ((c & 0xF8) == 0xF0) ++units;  // four-byte sequences are surrogate pairs
    }
    return units;
}

bool run_bounded_page_script(const std::string& script, std::size_t limit, std::string_view what) {
    if (utf16_length(script) >= limit) {
        app_log("[script] %.*s not run: %zu characters do not fit the %zu-character limit",
                static_cast<int>(what.size()), what.data(), utf16_length(script), limit);
        return false;
    }
    run_page_script(script);
    return true;
}
