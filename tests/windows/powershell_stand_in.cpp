// Stands in for powershell.exe in the registration tests (Wine's own prints nothing and exits 0).
// It appends its command line to VPR_STAND_IN_RECORD, prints VPR_STAND_IN_OUTPUT, adds the
// queue to the spooler as VPR_STAND_IN_ADD says ("exact": under the printer's own name,
// "renamed": under another name with the URL as its port; otherwise nothing) and exits with
// VPR_STAND_IN_EXIT.

#include "spooler.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::wstring env(const wchar_t* name) {
    const wchar_t* value = _wgetenv(name);
    return value ? value : L"";
}

void add_queue(const std::wstring& url, const std::wstring& mode) {
    std::wstring segment = url.substr(url.rfind(L'/') + 1);
    std::wstring name = segment;
    for (wchar_t& c : name)
        if (c == L'_') c = L' ';
    add_spooler_printer(mode == L"renamed" ? L"IPP " + segment : name, url);
}

}  // namespace

int main() {
    std::wstring line = GetCommandLineW();
    if (FILE* record = _wfopen(env(L"VPR_STAND_IN_RECORD").c_str(), L"ab")) {
        std::fwrite(line.c_str(), sizeof(wchar_t), line.size(), record);
        std::fwrite(L"\n", sizeof(wchar_t), 1, record);
        std::fclose(record);
    }
    std::size_t open = line.find(L"-IppURL '");
    std::wstring mode = env(L"VPR_STAND_IN_ADD");
    if (open != std::wstring::npos && (mode == L"exact" || mode == L"renamed")) {
        std::size_t start = open + 9;
        add_queue(line.substr(start, line.find(L'\'', start) - start), mode);
    }
    std::wstring output = env(L"VPR_STAND_IN_OUTPUT");
    for (wchar_t c : output) std::putchar(static_cast<char>(c));
    std::fflush(stdout);
    return _wtoi(env(L"VPR_STAND_IN_EXIT").c_str());
}
