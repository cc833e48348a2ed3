// The Windows GUI entry: the wide command line as it came, without the program name.

#include "app/startup.h"
#include "base/wide_text.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR command_line, int) {
    std::optional<std::string> passed;
    if (command_line) passed = from_wide(command_line);
    return run_program_with_command_line(passed);
}
