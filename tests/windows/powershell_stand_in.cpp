// Stands in for powershell.exe in the registration test (Wine's own prints nothing and exits 0):
// adds the queue of its -IppURL as VPR_STAND_IN_ADD says ("exact": under the printer's own name,
// "renamed": as "IPP <last segment>", the URL its port; otherwise none), prints
// VPR_STAND_IN_OUTPUT (its own command line when that is unset) and exits with VPR_STAND_IN_EXIT.

#include "win32_test.h"

#include <algorithm>
#include <cstdio>

static std::wstring env(const wchar_t* name, const std::wstring& unset = L"") {
    const wchar_t* value = _wgetenv(name);
    return value ? value : unset;
}

int main() {
    std::wstring line = GetCommandLineW(), mode = env(L"VPR_STAND_IN_ADD");
    std::size_t open = line.find(L"-IppURL '");
    if (open != std::wstring::npos && (mode == L"exact" || mode == L"renamed")) {
        std::wstring url = line.substr(open + 9, line.find(L'\'', open + 9) - open - 9);
        std::wstring segment = url.substr(url.rfind(L'/') + 1), name = segment;
        std::replace(name.begin(), name.end(), L'_', L' ');
        add_spooler_printer(mode == L"renamed" ? L"IPP " + segment : name, url);
    }
    for (wchar_t c : env(L"VPR_STAND_IN_OUTPUT", line)) std::putchar(static_cast<char>(c));
    return _wtoi(env(L"VPR_STAND_IN_EXIT").c_str());
}
