#include "register/printer_register.h"
#include "register/register_log.h"

#include <gtest/gtest.h>

namespace {

TEST(RegisterRules, WhichQueuesAreOurs) {
    const std::vector<std::pair<queue_info, bool>> cases{
        {{"Sign_Myself_Velunio", "", ""}, true},
        {{"Request_Signature", "", ""}, true},
        {{"Velunio_Old", "anything", ""}, true},
        {{"office", "Request Signature (Velunio)", ""}, true},  // a printer's own name
        // Decoys: free text that merely mentions the product, and names in another letter case.
        {{"office", "Velunio office printer downstairs", ""}, false},
        {{"office", "Request Signature", ""}, false},
        {{"velunio_lower", "", ""}, false},
        {{"sign_myself", "", "ipp://localhost:8632/"}, false},
    };
    for (const auto& [queue, ours] : cases) EXPECT_EQ(is_flow_queue(queue), ours) << queue.name << " / " << queue.description;

    EXPECT_TRUE(is_stale_device("dnssd://x._ipp._tcp.local/?uuid=1&host=localhost%3A8632", 8632));
    EXPECT_TRUE(is_stale_device("ipp://localhost:18632/x?waitjob=false", 18632));
    EXPECT_FALSE(is_stale_device("ipp://localhost:8632/ipp/print/x", 18632));
    EXPECT_FALSE(is_stale_device("", 8632));
}

TEST(RegisterRules, QueuesAddressTheirPrinterAndPassPdfThrough) {
    std::string url = printer_ipp_url(flows[1], 9100);
    std::vector<queue_info> queues{{"renamed", "", queue_device_uri(url)}, {"Request_Signature_Velunio", "", "ipp://x/"}};
    EXPECT_EQ(find_registered_queue(queues, "Request_Signature_Velunio", url), "Request_Signature_Velunio");
    queues.pop_back();
    EXPECT_EQ(find_registered_queue(queues, "Request_Signature_Velunio", url), "renamed");
    EXPECT_FALSE(find_registered_queue(queues, "Sign_Myself_Velunio", printer_ipp_url(flows[0], 9100)));

    const std::string line = "*cupsFilter2: \"application/pdf application/pdf 0 -\"";
    std::string ppd = "*PPD-Adobe: \"4.3\"\n*cupsFilter2: \"image/jpeg image/jpeg 0 -\"\n*DefaultPageSize: Letter\n";
    std::string patched = ppd_with_pdf_passthrough(ppd);
    EXPECT_EQ(patched, "*PPD-Adobe: \"4.3\"\n" + line + "\n*cupsFilter2: \"image/jpeg image/jpeg 0 -\"\n*DefaultPageSize: Letter\n");
    EXPECT_EQ(ppd_with_pdf_passthrough(patched), patched);
    EXPECT_EQ(ppd_with_pdf_passthrough("*PPD-Adobe: \"4.3\""), "*PPD-Adobe: \"4.3\"\n" + line + "\n");
}

TEST(RegisterRules, StartReportNamesThePrintersWithoutAQueue) {
    const std::string sign = printer_ipp_url(flows[0], 8632), request = printer_ipp_url(flows[1], 8632);
    const std::string how = "; to print from applications, add the queues once with: " + std::string(register_command());
    struct row { std::optional<std::vector<queue_info>> queues; std::string report; };
    const row rows[] = {
        {std::vector<queue_info>{{"b", "", request}, {"office", "", "ipp://printer.invalid/"}, {"a", "", sign}},
         "[startup] Print queues point at both printers"},
        // A queue of ours by name that points at another port serves nothing.
        {std::vector<queue_info>{{"Sign_Myself_Velunio", "", printer_ipp_url(flows[0], 9999)}, {"b", "", request}},
         "[startup] No print queue points at Sign Myself (Velunio) yet" + how},
        {std::nullopt, "[startup] The print queues could not be read (no print scheduler answered); to print from "
                       "applications, start the print scheduler and add the queues once with: " +
                           std::string(register_command())},
    };
    for (const row& r : rows) EXPECT_EQ(queue_report(r.queues, 8632), r.report);
}

TEST(RegisterRules, ChildOutputSettingsAndLogLines) {
    EXPECT_EQ(trimmed_child_output("lpadmin ok\r\n \n"), "lpadmin ok");
    EXPECT_EQ(trimmed_child_output(std::string(2000, 'x')).size(), 1023u);
    for (auto [value, parsed] : std::vector<std::pair<std::optional<std::string>, std::optional<int>>>{
             {"3", 3}, {"250", 250}, {std::nullopt, std::nullopt}, {"0", std::nullopt}, {"-1", std::nullopt},
             {"5s", std::nullopt}, {"99999999", std::nullopt}})
        EXPECT_EQ(positive_setting(value), parsed) << value.value_or("(unset)");
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mday = 5;
    t.tm_hour = 7;
    EXPECT_EQ(register_log_line(t, "IPP server is ready."), "[2026-01-05 07:00:00] IPP server is ready.");
}

}  // namespace
