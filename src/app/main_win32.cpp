// The Windows GUI entry: the wide command line as it came, without the program name.

#include "app/startup.h"
#include "base/json_text.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR command_line, int) {
    std::optional<std::string> passed;
    if (command_line) passed = wide_to_utf8(reinterpret_cast<const char16_t*>(command_line));
    return run_program_with_command_line(passed);
}
