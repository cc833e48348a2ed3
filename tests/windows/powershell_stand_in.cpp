// Stands in for powershell.exe in the registration tests (Wine's own prints nothing and exits 0).
// It appends its command line and CR LF to VPR_STAND_IN_RECORD, adds the queue of its -IppURL
// as VPR_STAND_IN_ADD says ("exact": under the printer's own name, "renamed": as "IPP <last
// segment>" with the URL as its port; otherwise nothing), prints VPR_STAND_IN_OUTPUT and exits
// with VPR_STAND_IN_EXIT.

#include "win32_test.h"

#include <algorithm>
#include <cstdio>

static std::wstring env(const wchar_t* name) {
    const wchar_t* value = _wgetenv(name);
    return value ? value : L"";
}

int main() {
    std::wstring line = GetCommandLineW(), mode = env(L"VPR_STAND_IN_ADD");
    if (FILE* record = _wfopen(env(L"VPR_STAND_IN_RECORD").c_str(), L"ab")) {
        std::fprintf(record, "%ls\r\n", line.c_str());
        std::fclose(record);
    }
    std::size_t open = line.find(L"-IppURL '");
    if (open != std::wstring::npos && (mode == L"exact" || mode == L"renamed")) {
        std::wstring url = line.substr(open + 9, line.find(L'\'', open + 9) - open - 9);
        std::wstring segment = url.substr(url.rfind(L'/') + 1), name = segment;
        std::replace(name.begin(), name.end(), L'_', L' ');
        add_spooler_printer(mode == L"renamed" ? L"IPP " + segment : name, url);
    }
    for (wchar_t c : env(L"VPR_STAND_IN_OUTPUT")) std::putchar(static_cast<char>(c));
    return _wtoi(env(L"VPR_STAND_IN_EXIT").c_str());
}
