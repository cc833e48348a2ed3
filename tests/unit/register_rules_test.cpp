#include "register/printer_register.h"
#include "register/register_log.h"

#include <gtest/gtest.h>

namespace {

TEST(RegisterRules, QueueUrlsFollowThePort) {
    EXPECT_EQ(printer_ipp_url(flows[0], 8632), "ipp://localhost:8632/ipp/print/Sign_Myself_(Velunio)");
    EXPECT_EQ(printer_ipp_url(flows[1], 9100), "ipp://localhost:9100/ipp/print/Request_Signature_(Velunio)");
}

TEST(RegisterRules, OwnQueuesByNameOrDescriptionCaseSensitive) {
    EXPECT_TRUE(is_flow_queue({"Sign_Myself_Velunio", "", ""}));
    EXPECT_TRUE(is_flow_queue({"office", "Request Signature", ""}));
    EXPECT_TRUE(is_flow_queue({"Request_Signature", "", ""}));
    EXPECT_TRUE(is_flow_queue({"x", "made by Velunio", ""}));
    EXPECT_FALSE(is_flow_queue({"velunio", "sign myself", "ipp://localhost:8632/"}));
    EXPECT_FALSE(is_flow_queue({"office", "Laser", "ipp://printer.local/ipp/print"}));
}

TEST(RegisterRules, StaleDevicesFollowThePort) {
    EXPECT_TRUE(is_stale_device("ipp://localhost:8632/ipp/print/x", 8632));
    EXPECT_TRUE(is_stale_device("dnssd://x._ipp._tcp.local/?uuid=1&host=localhost%3A8632", 8632));
    EXPECT_FALSE(is_stale_device("ipp://localhost:8632/ipp/print/x", 18632));
    EXPECT_TRUE(is_stale_device("ipp://localhost:18632/x", 18632));
    EXPECT_FALSE(is_stale_device("ipp://otherhost:8632/", 8632));
    EXPECT_FALSE(is_stale_device("", 8632));
}

TEST(RegisterRules, PresenceByNameFirstThenByDevice) {
    std::vector<queue_info> queues = {
        {"renamed", "", "ipp://localhost:8632/ipp/print/Sign_Myself_(Velunio)"},
        {"Sign_Myself_Velunio", "", "ipp://elsewhere/"},
    };
    EXPECT_EQ(find_registered_queue(queues, "Sign_Myself_Velunio", "ipp://localhost:8632/ipp/print/Sign_Myself_(Velunio)"),
              "Sign_Myself_Velunio");
    queues.pop_back();
    EXPECT_EQ(find_registered_queue(queues, "Sign_Myself_Velunio", "ipp://localhost:8632/ipp/print/Sign_Myself_(Velunio)"),
              "renamed");
    EXPECT_FALSE(find_registered_queue(queues, "Request_Signature_Velunio",
                                       "ipp://localhost:8632/ipp/print/Request_Signature_(Velunio)"));
}

TEST(RegisterRules, StartReportNamesThePrintersWithoutAQueue) {
    const std::string sign = "ipp://localhost:8632/ipp/print/Sign_Myself_(Velunio)";
    const std::string request = "ipp://localhost:8632/ipp/print/Request_Signature_(Velunio)";
    const std::string how = "; to print from applications, add the queues once with: sudo velunio-print-app --register";
    struct row {
        std::optional<std::vector<queue_info>> queues;
        std::string report;
    };
    const row rows[] = {
        {std::vector<queue_info>{{"a", "", sign}, {"b", "", request}}, "[startup] Print queues point at both printers"},
        {std::vector<queue_info>{{"b", "", request}, {"office", "", "ipp://printer.invalid/"}, {"a", "", sign}},
         "[startup] Print queues point at both printers"},
        {std::vector<queue_info>{},
         "[startup] No print queue points at Sign Myself (Velunio) and Request Signature (Velunio) yet" + how},
        // A queue of ours by name that points at another port serves nothing.
        {std::vector<queue_info>{{"Sign_Myself_Velunio", "", "ipp://localhost:9999/ipp/print/Sign_Myself_(Velunio)"},
                                 {"b", "", request}},
         "[startup] No print queue points at Sign Myself (Velunio) yet" + how},
        {std::nullopt,
         "[startup] The print queues could not be read (no print scheduler answered); to print from applications, "
         "start the print scheduler and add the queues once with: sudo velunio-print-app --register"},
    };
    for (const row& r : rows) EXPECT_EQ(queue_report(r.queues, 8632), r.report);
}

TEST(RegisterRules, ChildOutputIsCutThenTrimmed) {
    EXPECT_EQ(trimmed_child_output("lpadmin ok\r\n \n"), "lpadmin ok");
    EXPECT_EQ(trimmed_child_output("line one\nline two\n"), "line one\nline two");
    std::string long_output(2000, 'x');
    EXPECT_EQ(trimmed_child_output(long_output).size(), 1023u);
    EXPECT_EQ(trimmed_child_output(std::string(1022, 'x') + "  yy").size(), 1022u);
}

TEST(RegisterRules, SettingsAcceptOnlyPositiveNumbers) {
    EXPECT_EQ(positive_setting(std::string("3")), 3);
    EXPECT_EQ(positive_setting(std::string("250")), 250);
    EXPECT_FALSE(positive_setting(std::nullopt));
    EXPECT_FALSE(positive_setting(std::string("0")));
    EXPECT_FALSE(positive_setting(std::string("-1")));
    EXPECT_FALSE(positive_setting(std::string("5s")));
    EXPECT_FALSE(positive_setting(std::string("99999999")));
}

TEST(RegisterLog, LinesCarryTheFullStamp) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 5;
    t.tm_hour = 7;
    t.tm_min = 8;
    t.tm_sec = 9;
    EXPECT_EQ(register_log_line(t, "IPP server is ready."), "[2026-01-05 07:08:09] IPP server is ready.");
}

}  // namespace
