#include "base/ipp_port.h"
#include "printer/log_relay.h"
#include "printer/service_config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <vector>

namespace {

raw_env_lookup env_of(std::map<std::string, std::string> values)
{
    return [values](const char* name) -> std::optional<std::string> {
        auto it = values.find(name);
        if (it == values.end())
            return std::nullopt;
        return it->second;
    };
}

}  // namespace

TEST(IppPort, OnlyAPlainPortNumberOverridesTheDefault)
{
    EXPECT_EQ(ipp_port_from_value(std::nullopt), 8632);
    EXPECT_EQ(ipp_port_from_value(""), 8632);
    EXPECT_EQ(ipp_port_from_value("1"), 1);
    EXPECT_EQ(ipp_port_from_value("18632"), 18632);
    EXPECT_EQ(ipp_port_from_value("65535"), 65535);
    EXPECT_EQ(ipp_port_from_value("09000"), 9000);
    for (const char* bad : {"0", "65536", "99999", "123456", "-1", "+80", " 80", "80 ", "80x", "0x50"})
        EXPECT_EQ(ipp_port_from_value(bad), 8632) << bad;
}

TEST(IppPort, ReadsTheEnvironment)
{
    unsetenv("VELUNIO_IPP_PORT");
    EXPECT_EQ(ipp_port_from_environment(), 8632);
    setenv("VELUNIO_IPP_PORT", "18700", 1);
    EXPECT_EQ(ipp_port_from_environment(), 18700);
    setenv("VELUNIO_IPP_PORT", "", 1);
    EXPECT_EQ(ipp_port_from_environment(), 8632);
    unsetenv("VELUNIO_IPP_PORT");
}

TEST(ServiceLog, FileAndLevelRules)
{
    service_log_settings none = settle_service_log(env_of({}));
    EXPECT_EQ(none.file, "-");
    EXPECT_EQ(none.level, PAPPL_LOGLEVEL_WARN);
    // Set but empty is still the value given.
    EXPECT_EQ(settle_service_log(env_of({{"VELUNIO_LOG_FILE", ""}})).file, "");
    EXPECT_EQ(settle_service_log(env_of({{"VELUNIO_LOG_FILE", "/o/velunio-print.log"}})).file, "/o/velunio-print.log");

    std::map<std::string, pappl_loglevel_t> levels{
        {"warn", PAPPL_LOGLEVEL_WARN},   {"error", PAPPL_LOGLEVEL_ERROR}, {"info", PAPPL_LOGLEVEL_INFO},
        {"debug", PAPPL_LOGLEVEL_DEBUG}, {"Debug", PAPPL_LOGLEVEL_WARN},  {"ERROR", PAPPL_LOGLEVEL_WARN},
        {"info ", PAPPL_LOGLEVEL_WARN},  {"", PAPPL_LOGLEVEL_WARN},       {"fatal", PAPPL_LOGLEVEL_WARN},
    };
    for (const auto& [value, level] : levels)
        EXPECT_EQ(settle_service_log(env_of({{"VELUNIO_LOG_LEVEL", value}})).level, level) << "'" << value << "'";
}

TEST(DeviceUri, EncodesThePathAndKeepsTheQuery)
{
    EXPECT_EQ(flow_device_uri("/home/ann/VelunioPrint/sign-myself"),
              "velunio-file:///home/ann/VelunioPrint/sign-myself?ext=pdf");
    EXPECT_EQ(flow_device_uri("/tmp/my out/request-signature"),
              "velunio-file:///tmp/my%20out/request-signature?ext=pdf");
    // Whatever the folder holds, the device finds the same folder in the URI.
    for (std::string folder : {"/tmp/100% sure/s", "/tmp/what?/s", "/tmp/a#b/s", "/tmp/Übersicht/s", "/a;b,c&d+e/s"}) {
        auto uri = flow_device_uri(folder);
        ASSERT_TRUE(uri) << folder;
        EXPECT_TRUE(uri->ends_with("?ext=pdf")) << *uri;
        EXPECT_EQ(uri->find(' '), std::string::npos) << *uri;
        EXPECT_EQ(flow_device_folder(*uri), folder) << *uri;
    }
    EXPECT_FALSE(flow_device_uri("relative/sign-myself"));
    EXPECT_FALSE(flow_device_uri(""));
}

TEST(DeviceUri, OnlyOwnUrisNameAFolder)
{
    EXPECT_EQ(flow_device_folder("velunio-file:///x/y?ext=pdf"), "/x/y");
    EXPECT_FALSE(flow_device_folder("file:///x/y?ext=pdf"));
    EXPECT_FALSE(flow_device_folder("velunio-file:///x/y"));
    EXPECT_FALSE(flow_device_folder("velunio-file:///x/y?ext=ps"));
    EXPECT_FALSE(flow_device_folder("velunio-file://host/x/y?ext=pdf"));
    EXPECT_FALSE(flow_device_folder(""));
}

TEST(UriPath, MakesTheFolderAbsolute)
{
    std::string cwd = std::filesystem::current_path().generic_string();
    EXPECT_EQ(to_uri_path("VelunioPrint"), cwd + "/VelunioPrint");
    EXPECT_EQ(to_uri_path("/data/out/"), "/data/out");
    EXPECT_EQ(to_uri_path("/data/out/."), "/data/out");
    EXPECT_EQ(to_uri_path("/"), "/");
    EXPECT_FALSE(to_uri_path(""));
}

TEST(JobFileName, StemIsOneSafeComponent)
{
    std::vector<std::pair<std::string, std::string>> cases{
        {"contract", "contract"},
        {"report.pdf", "report"},
        {"Report.PDF", "Report"},
        {"offer.pdf.pdf", "offer.pdf"},
        {"../../etc/passwd", "_.._etc_passwd"},
        {"..", "document"},
        {"", "document"},
        {".pdf", "pdf"},
        {".hidden", "hidden"},
        {"  spaced  ", "spaced"},
        {"name...", "name"},
        {"a/b\\c", "a_b_c"},
        {"a:b*c?d<e>f|g", "a_b_c_d_e_f_g"},
        {"say \"hi\" 'there'", "say _hi_ 'there'"},
        {"tab\there\r\nnext", "tab here next"},
        {"x\x01\x7fy", "x y"},
        {"Übersicht – Straße ñ 文書", "Übersicht – Straße ñ 文書"},
        {"bad\xff\xfe" "bytes", "bad__bytes"},
        {"over\xc0\xaflong", "over__long"},
        {"cut\xe2\x82", "cut__"},
        {"CON", "_CON"},
        {"nul.txt", "_nul.txt"},
        {"com1", "_com1"},
        {"console", "console"},
    };
    for (const auto& [name, stem] : cases)
        EXPECT_EQ(job_file_stem(name), stem) << "'" << name << "'";
}

TEST(JobFileName, LongNamesAreCutOnCharacterBoundaries)
{
    EXPECT_EQ(job_file_stem(std::string(400, 'x')), std::string(200, 'x'));
    std::string umlauts;
    for (int i = 0; i < 150; ++i)
        umlauts += "ü";  // two bytes each
    std::string stem = job_file_stem(umlauts);
    EXPECT_LE(stem.size(), 200u);
    EXPECT_EQ(stem.size() % 2, 0u);
    EXPECT_EQ(job_file_stem(stem), stem);  // still valid UTF-8
    EXPECT_LE(job_file_name(stem, 1000).size(), 255u);
}

TEST(JobFileName, AttemptsGetNumberedNames)
{
    EXPECT_EQ(job_file_name("offer", 1), "offer.pdf");
    EXPECT_EQ(job_file_name("offer", 2), "offer-2.pdf");
    EXPECT_EQ(job_file_name("offer", 17), "offer-17.pdf");
}

TEST(JobFileName, TemporaryNamesAreRecognised)
{
    EXPECT_TRUE(is_flow_temp_name(".velunio-a1B2c3.part"));
    EXPECT_FALSE(is_flow_temp_name(".velunio-.part"));
    EXPECT_FALSE(is_flow_temp_name("velunio-a1B2c3.part"));
    EXPECT_FALSE(is_flow_temp_name(".velunio-a1B2c3.pdf"));
    EXPECT_FALSE(is_flow_temp_name(job_file_name(job_file_stem(".velunio-x.part"), 1)));
}

TEST(LogRelay, SplitsChunksIntoWholeLines)
{
    std::vector<std::string> lines;
    auto sink = [&](std::string_view line) { lines.emplace_back(line); };
    std::string pending;
    split_log_lines(pending, "E [t] one\nW [t] tw", sink);
    EXPECT_EQ(lines, std::vector<std::string>{"E [t] one"});
    EXPECT_EQ(pending, "W [t] tw");
    split_log_lines(pending, "o\r\n\nI [t] three\n", sink);
    EXPECT_EQ(lines, (std::vector<std::string>{"E [t] one", "W [t] two", "", "I [t] three"}));
    EXPECT_TRUE(pending.empty());
}

TEST(LogRelay, OverlongLinesArePassedOnInPieces)
{
    std::vector<std::string> lines;
    auto sink = [&](std::string_view line) { lines.emplace_back(line); };
    std::string pending;
    split_log_lines(pending, std::string(25, 'a'), sink, 10);
    EXPECT_EQ(lines, (std::vector<std::string>{std::string(10, 'a'), std::string(10, 'a')}));
    EXPECT_EQ(pending, std::string(5, 'a'));
    split_log_lines(pending, "b\n" + std::string(12, 'c') + "\n", sink, 10);
    EXPECT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2], "aaaaab");
    EXPECT_EQ(lines[3], std::string(10, 'c'));
    EXPECT_EQ(lines[4], "cc");
}
