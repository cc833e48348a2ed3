#pragma once
// The native warning box shown when a printed file is refused as too large to sign.

#include <string>

// GTK: a modal warning dialog run on the main thread; returns when the user has closed it.
// Safe to call from a worker thread.
void show_file_too_large_notice(const std::string& caption, const std::string& text);

// How the upload worker shows the box. Installed by start-up; while none is installed
// (unit tests, a build without a display) the refusal is only logged and answered.
using file_too_large_notice = void (*)(const std::string& caption, const std::string& text);
void set_file_too_large_notice(file_too_large_notice notice);
file_too_large_notice installed_file_too_large_notice();
