// --register and --unregister against Wine's print spooler. PowerShell is the test's stand-in
// (stand-in/powershell.exe), found first because the program runs in its folder.

#include "base/flows.h"
#include "process.h"
#include "spooler.h"
#include "support/loopback_server.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <vector>

namespace {

template <class Info, class Fetch>
std::set<std::string> names(Fetch fetch, wchar_t* Info::*field) {
    DWORD needed = 0, count = 0;
    fetch(nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed + 1);
    std::set<std::string> out;
    if (needed == 0 || !fetch(buffer.data(), needed, &needed, &count)) return out;
    const auto* info = reinterpret_cast<const Info*>(buffer.data());
    for (DWORD i = 0; i < count; ++i)
        if (info[i].*field) out.insert(from_wide(info[i].*field));
    return out;
}

std::set<std::string> printers() {
    return names<PRINTER_INFO_2W>([](BYTE* b, DWORD s, DWORD* n, DWORD* c) {
        return EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, b, s, n, c);
    }, &PRINTER_INFO_2W::pPrinterName);
}

std::set<std::string> ports() {
    return names<PORT_INFO_2W>([](BYTE* b, DWORD s, DWORD* n, DWORD* c) { return EnumPortsW(nullptr, 2, b, s, n, c); },
                               &PORT_INFO_2W::pPortName);
}

class Registration : public ::testing::Test {
protected:
    std::optional<unsigned long> run(const std::string& mode, std::map<std::string, std::string> extra = {},
                                     bool limited = false) {
        child_options options;
        std::string stand_in = VELUNIO_STAND_IN_EXE;
        options.folder = stand_in.substr(0, stand_in.rfind('/'));
        options.environment = {{"VELUNIO_REGISTER_LOG", log},
                               {"VELUNIO_IPP_PORT", std::to_string(server.port())},
                               {"VELUNIO_REGISTER_ATTEMPTS", "2"},
                               {"VELUNIO_REGISTER_PAUSE_MS", "50"},
                               {"VELUNIO_REGISTER_RETRY_MS", "50"},
                               {"VPR_STAND_IN_RECORD", record},
                               {"VPR_STAND_IN_ADD", "exact"},
                               {"VPR_STAND_IN_OUTPUT", "Add-Printer ok\r\n"},
                               {"VPR_STAND_IN_EXIT", "0"}};
        options.limited_token = limited;
        for (auto& [k, v] : extra) options.environment[k] = v;
        return run_child(VELUNIO_APP_EXE, mode, options);
    }
    std::string url(const flow& f) {
        return "http://localhost:" + std::to_string(server.port()) + std::string(f.resource_path);
    }
    bool logged(const std::string& line) { return read_file(log).find(line) != std::string::npos; }
    int stand_in_runs() {
        std::string text = read_file(record);
        int n = 0;
        for (std::size_t i = 0; i + 1 < text.size(); i += 2) n += text[i] == '\n' && text[i + 1] == '\0';
        return n;
    }
    void TearDown() override { run("--unregister"); }

    temp_dir root;
    loopback_server server;  // listening where the printer service would
    std::string log = root.path() + "\\register.log";
    std::string record = root.path() + "\\stand-in.txt";
};

}  // namespace

TEST_F(Registration, BothQueuesAddedAndFound) {
    EXPECT_EQ(run("--register"), 0u);
    for (const flow& f : flows) {
        std::string name(f.printer_name);
        EXPECT_TRUE(logged("[" + name + "] Add-Printer -IppURL '" + url(f) + "'\r\n"));
        EXPECT_TRUE(logged("[" + name + "] powershell output: Add-Printer ok\r\n"));
        EXPECT_TRUE(logged("[" + name + "] Add-Printer ok, printer present\r\n"));
        EXPECT_TRUE(logged("[" + name + "] installed\r\n"));
        EXPECT_EQ(printers().count(name), 1u);
    }
    EXPECT_TRUE(logged("=== velunio_register_printers exit=0 ===\r\n"));
    std::u16string recorded = std::u16string(reinterpret_cast<const char16_t*>(read_file(record).data()), read_file(record).size() / 2);
    std::string first = wide_to_utf8(recorded.substr(0, recorded.find(u'\n')));
    EXPECT_NE(first.find("powershell.exe -NoProfile -ExecutionPolicy Bypass -Command \"try { Add-Printer -IppURL '" +
                         url(flows[0]) +
                         "' -ErrorAction Stop; Write-Output 'Add-Printer ok' } catch { Write-Error $_; exit 1 }\""),
              std::string::npos)
        << first;

    // A queue that Windows named otherwise counts when its port carries the URL.
    EXPECT_EQ(run("--register", {{"VPR_STAND_IN_ADD", "renamed"}}), 0u);
    EXPECT_TRUE(logged("[Sign Myself (Velunio)] Add-Printer ok, registered as 'IPP Sign_Myself_(Velunio)'\r\n"));
    EXPECT_EQ(printers().count("Sign Myself (Velunio)"), 0u);  // the earlier queue was removed first
}

TEST_F(Registration, EachPrinterIsTriedTwiceAndFailuresGiveExitCode1) {
    std::string long_output(2000, 'x');
    EXPECT_EQ(run("--register", {{"VPR_STAND_IN_EXIT", "1"}, {"VPR_STAND_IN_ADD", ""}, {"VPR_STAND_IN_OUTPUT", long_output}}),
              1u);
    EXPECT_EQ(stand_in_runs(), 4);
    EXPECT_TRUE(logged("[Sign Myself (Velunio)] powershell output: " + std::string(1023, 'x') + "\r\n"));
    EXPECT_TRUE(logged("[Sign Myself (Velunio)] Add-Printer -IppURL '" + url(flows[0]) + "' exited with 1\r\n"));
    EXPECT_TRUE(logged("[Sign Myself (Velunio)] retrying after 0s ...\r\n"));
    EXPECT_TRUE(logged("[Request Signature (Velunio)] FAILED to install\r\n"));

    EXPECT_EQ(run("--register", {{"VPR_STAND_IN_ADD", ""}}), 1u);
    EXPECT_TRUE(logged("[Request Signature (Velunio)] Add-Printer claimed success but printer is not present\r\n"));
}

TEST_F(Registration, NotElevatedOrNoServerEndsEarly) {
    EXPECT_EQ(run("--register", {}, true), 5u);
    EXPECT_TRUE(logged("FATAL: not elevated. Re-run from setup-postinstall.bat or an elevated cmd.\r\n"));
    EXPECT_EQ(stand_in_runs(), 0);
    EXPECT_EQ(run("--register", {{"VELUNIO_IPP_PORT", "1"}}), 1u);
    EXPECT_TRUE(logged("FATAL: IPP server not listening after 0s. Is VelunioPrintApp.exe running?\r\n"));
    EXPECT_EQ(stand_in_runs(), 0);
}

TEST_F(Registration, UnregisterRemovesOnlyThisProgramsQueuesAndPorts) {
    ASSERT_TRUE(add_spooler_printer(L"Sign Myself (Velunio)", L"http://localhost:8632/ipp/print/Sign_Myself_(Velunio)"));
    ASSERT_TRUE(add_spooler_printer(L"Request Signature", L"vpr-test-request"));
    ASSERT_TRUE(add_spooler_printer(L"sign myself (velunio)", L"vpr-test-decoy"));
    ASSERT_TRUE(add_spooler_printer(L"Office", L"vpr-test-office"));
    for (const wchar_t* port : {L"localhost%3A8632_stale", L"Velunio-old", L"vpr-test-keep"}) add_spooler_port(port);

    EXPECT_EQ(run("--unregister", {{"VELUNIO_IPP_PORT", "8632"}}), 0u);
    std::set<std::string> left = printers(), left_ports = ports();
    EXPECT_EQ(left.count("Sign Myself (Velunio)") + left.count("Request Signature"), 0u);
    EXPECT_EQ(left.count("sign myself (velunio)") + left.count("Office"), 2u);
    for (const char* gone : {"http://localhost:8632/ipp/print/Sign_Myself_(Velunio)", "vpr-test-request",
                             "localhost%3A8632_stale", "Velunio-old"})
        EXPECT_EQ(left_ports.count(gone), 0u) << gone;
    for (const char* kept : {"vpr-test-decoy", "vpr-test-office", "vpr-test-keep"}) EXPECT_EQ(left_ports.count(kept), 1u) << kept;
    EXPECT_TRUE(logged("Removing printer 'Request Signature' (port: 'vpr-test-request')\r\n"));
    EXPECT_TRUE(logged("DeletePort 'vpr-test-request' ok\r\n"));
    EXPECT_TRUE(logged("Removing stale port 'localhost%3A8632_stale'\r\n"));
    EXPECT_FALSE(logged("Removing stale port 'vpr-test-request'"));
    EXPECT_TRUE(logged("=== velunio_unregister_printers done ===\r\n"));

    for (const char* name : {"sign myself (velunio)", "Office"}) {
        HANDLE printer = nullptr;
        PRINTER_DEFAULTSW all{nullptr, nullptr, PRINTER_ALL_ACCESS};
        if (OpenPrinterW(to_wide(name).data(), &printer, &all)) {
            DeletePrinter(printer);
            ClosePrinter(printer);
        }
    }
    for (const char* port : {"vpr-test-decoy", "vpr-test-office", "vpr-test-keep"})
        DeletePortW(nullptr, nullptr, to_wide(port).data());
}
