// --register and --unregister against Wine's print spooler. PowerShell is the test's stand-in
// (stand-in/powershell.exe), found first because the program runs in its folder.

#include "base/flows.h"
#include "base/platform.h"
#include "support/loopback_server.h"
#include "support/temp_dir.h"
#include "win32_test.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

namespace {

// The names of the spooler's printers and of its ports (the tests keep the two apart).
std::set<std::string> spooler_names() {
    std::set<std::string> names;
    auto add = [&]<class Info>(auto enumerate, wchar_t* Info::*field) {
        DWORD needed = 0, count = 0;
        enumerate(nullptr, 0, &needed, &count);
        std::vector<BYTE> buffer(needed + 1);
        if (needed == 0 || !enumerate(buffer.data(), needed, &needed, &count)) return;
        for (DWORD i = 0; i < count; ++i)
            if (wchar_t* name = reinterpret_cast<const Info*>(buffer.data())[i].*field) names.insert(from_wide(name));
    };
    constexpr DWORD all = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
    add([](BYTE* b, DWORD s, DWORD* n, DWORD* c) { return EnumPrintersW(all, nullptr, 2, b, s, n, c); },
        &PRINTER_INFO_2W::pPrinterName);
    add([](BYTE* b, DWORD s, DWORD* n, DWORD* c) { return EnumPortsW(nullptr, 2, b, s, n, c); },
        &PORT_INFO_2W::pPortName);
    return names;
}

}  // namespace

// Each row has a log of its own. --unregister removes this program's queues and ports
// (named as an earlier version or another install named them) and keeps the decoys, which stay
// in the build tree's Wine prefix; --register first removes an earlier row's queues.
TEST(Registration, CommandsKeepToTheirRulesLogTheirStepsAndEndWith0_1Or5) {
    temp_dir root;
    loopback_server server;  // listening where the printer service would
    std::string log;  // one a row: a handle the program's children inherit may outlive it for a moment
    // The settings reach the program through the test's own environment; the stand-in prints
    // its command line unless told otherwise.
    auto run = [&](const char* mode, std::map<std::string, std::string> settings, bool limited) {
        settings.merge(std::map<std::string, std::string>{
            {"VELUNIO_REGISTER_LOG", log}, {"VELUNIO_IPP_PORT", std::to_string(server.port())},
            {"VELUNIO_REGISTER_ATTEMPTS", "2"}, {"VELUNIO_REGISTER_PAUSE_MS", "50"},
            {"VELUNIO_REGISTER_RETRY_MS", "50"}, {"VPR_STAND_IN_ADD", "exact"}, {"VPR_STAND_IN_OUTPUT", ""},
            {"VPR_STAND_IN_EXIT", "0"}});
        for (const auto& [name, value] : settings) set_environment_variable(name.c_str(), value);
        return run_child(VELUNIO_APP_EXE, mode, VELUNIO_STAND_IN_DIR, limited);
    };
    for (auto [name, port] : {std::pair{L"Request Signature", L"vpr-test-request"},
                              {L"Sign Myself (Velunio)", L"http://localhost:8632/ipp/print/Sign_Myself_(Velunio)"},
                              {L"sign myself (velunio)", L"vpr-test-decoy"}, {L"Office", L"vpr-test-office"}})
        ASSERT_TRUE(add_spooler_printer(name, port));
    for (const wchar_t* port : {L"localhost%3A8632_stale", L"Velunio-old", L"vpr-test-keep"}) add_spooler_port(port);
    const std::string sign = "[Sign Myself (Velunio)] ", request = "[Request Signature (Velunio)] ";
    const std::string url = "http://localhost:" + std::to_string(server.port()) + std::string(flows[0].resource_path);
    const std::string add = "Add-Printer -IppURL '" + url + "'", x = std::string(2000, 'x');
    struct {
        const char* mode;
        std::map<std::string, std::string> settings;
        unsigned long exit_code;
        int stand_in_runs;
        std::vector<std::string> lines, present = {}, absent = {};  // log lines; printers and ports
        bool limited = false;
    } rows[] = {
        {"--unregister", {{"VELUNIO_IPP_PORT", "8632"}}, 0, 0, {"=== velunio_unregister_printers done ==="},
         {"sign myself (velunio)", "Office", "vpr-test-decoy", "vpr-test-office", "vpr-test-keep"},
         {"Sign Myself (Velunio)", "Request Signature", "vpr-test-request", "Velunio-old",
          "http://localhost:8632/ipp/print/Sign_Myself_(Velunio)", "localhost%3A8632_stale"}},
        {"--register", {}, 0, 2,
         {sign + add, sign + "Add-Printer ok, printer present", request + "Add-Printer ok, printer present",
          sign + "installed", request + "installed", "=== velunio_register_printers exit=0 ===",
          sign + "powershell output: powershell.exe -NoProfile -ExecutionPolicy Bypass -Command \"try { " + add +
              " -ErrorAction Stop; Write-Output 'Add-Printer ok' } catch { Write-Error $_; exit 1 }\""},
         {"Sign Myself (Velunio)", "Request Signature (Velunio)"}},
        // A queue that Windows named otherwise counts when its port carries the URL.
        {"--register", {{"VPR_STAND_IN_ADD", "renamed"}}, 0, 2,
         {sign + "Add-Printer ok, registered as 'IPP Sign_Myself_(Velunio)'"}, {"IPP Sign_Myself_(Velunio)"},
         {"Sign Myself (Velunio)"}},
        {"--register", {{"VPR_STAND_IN_EXIT", "1"}, {"VPR_STAND_IN_ADD", "none"}, {"VPR_STAND_IN_OUTPUT", x}}, 1, 4,
         {sign + "powershell output: " + x.substr(0, 1023), sign + add + " exited with 1",
          sign + "retrying after 0s ...", request + "FAILED to install", "=== velunio_register_printers exit=1 ==="}},
        {"--register", {{"VPR_STAND_IN_ADD", "none"}}, 1, 4,
         {request + "Add-Printer claimed success but printer is not present"}},
        {"--register", {}, 5, 0, {"FATAL: not elevated. Re-run from setup-postinstall.bat or an elevated cmd."}, {}, {},
         true},
        {"--register", {{"VELUNIO_IPP_PORT", "1"}}, 1, 0,
         {"FATAL: IPP server not listening after 0s. Is VelunioPrintApp.exe running?"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE("row " + std::to_string(&r - rows));
        log = root.path() + "\\register-" + std::to_string(&r - rows) + ".log";
        EXPECT_EQ(run(r.mode, r.settings, r.limited), r.exit_code);
        std::string seen = read_file(log);
        int runs = 0;
        for (std::size_t at = 0; (at = seen.find("] powershell output: ", at)) != std::string::npos; ++at) ++runs;
        EXPECT_EQ(runs, r.stand_in_runs);
        for (const std::string& line : r.lines) EXPECT_NE(seen.find(line + "\r\n"), std::string::npos) << line;
        std::set<std::string> names = spooler_names();
        for (const std::string& name : r.present) EXPECT_EQ(names.count(name), 1u) << name;
        for (const std::string& name : r.absent) EXPECT_EQ(names.count(name), 0u) << name;
    }
    run("--unregister", {}, false);  // no queue of this program's is left behind
}
