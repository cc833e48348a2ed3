#pragma once
// The one way to run script text in the page. Main thread only.

#include <functional>
#include <string>
#include <string_view>

using page_script_runner = std::function<void(const std::string& script)>;

// Installed by the web view host once the view exists; until then scripts are dropped.
void set_page_script_runner(page_script_runner runner);

// The script goes to the page whole, with its length: a NUL inside it does not end it.
void run_page_script(const std::string& script);

// Runs the script only when it fits `limit` characters (UTF-16 code units, as the
// Windows build counts them); a script that would have to be cut is not run and a log line
// names `what`. Returns whether it was handed to the page.
bool run_bounded_page_script(const std::string& script, std::size_t limit, std::string_view what);

// UTF-16 code units of a UTF-8 text: the measure of every fixed buffer.
std::size_t utf16_length(std::string_view utf8);
