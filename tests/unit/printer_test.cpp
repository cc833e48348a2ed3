// The printer service's rules without a running service: the port setting, device URIs, job
// file names, the flow files, raster layouts and job claims.
#include "base/ipp_port.h"
#include "base/output_folder.h"
#include "printer/flow_file.h"
#include "printer/job_claims.h"
#include "printer/log_relay.h"
#include "printer/printer_driver.h"
#include "printer/printer_service.h"
#include "printer/service_config.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <future>
#include <random>
#include <set>

namespace {

TEST(PrinterSettings, PortRule) {
    for (auto [value, port] : std::vector<std::pair<std::optional<std::string>, int>>{
             {std::nullopt, 8632}, {"", 8632}, {"1", 1}, {"65535", 65535}, {"09000", 9000}, {"0", 8632},
             {"65536", 8632}, {"-1", 8632}, {" 80", 8632}, {"80x", 8632}, {"0x50", 8632}})
        EXPECT_EQ(ipp_port_from_value(value), port) << value.value_or("(unset)");
}

TEST(PrinterSettings, DeviceUrisNameTheirFolderExactly) {
    EXPECT_EQ(flow_device_uri("/tmp/my out/request-signature"), "velunio-file:///tmp/my%20out/request-signature?ext=pdf");
    for (std::string folder : {"/tmp/100% sure/s", "/tmp/what?/s", "/tmp/a#b/s", "/tmp/Übersicht/s", "/a;b,c&d+e/s"}) {
        auto uri = flow_device_uri(folder);
        ASSERT_TRUE(uri) << folder;
        EXPECT_EQ(flow_device_folder(*uri), folder) << *uri;
    }
    EXPECT_FALSE(flow_device_uri("relative/sign-myself"));
    for (const char* other : {"file:///x/y?ext=pdf", "velunio-file:///x/y", "velunio-file://host/x/y?ext=pdf", ""})
        EXPECT_FALSE(flow_device_folder(other)) << other;
    EXPECT_EQ(to_uri_path("/data/out/."), "/data/out");
}

TEST(JobFileNames, EachNameIsOneSafeComponent) {
    std::vector<std::pair<std::string, std::string>> cases{
        {"report.pdf", "report"},        {"offer.pdf.pdf", "offer.pdf"},   {"../../etc/passwd", "_.._etc_passwd"},
        {"..", "document"},              {"", "document"},                 {".hidden", "hidden"}, {"Report.PDF", "Report"},
        {"a:b*c?d<e>f|g\"h", "a_b_c_d_e_f_g_h"}, {"tab\there\r\nnext", "tab here next"},
        {"Übersicht – Straße ñ 文書", "Übersicht – Straße ñ 文書"}, {"bad\xff\xfe" "bytes", "bad__bytes"},
        {"over\xc0\xaflong", "over__long"}, {"CON", "_CON"}, {"nul.txt", "_nul.txt"}, {"console", "console"},
        {std::string(199, 'a') + std::string(60, ':'), std::string(199, 'a') + "_"},
        {std::string(199, 'a') + "文", std::string(199, 'a')},  // a character is never cut
        {std::string(300, '/'), std::string(200, '_')},
    };
    for (const auto& [name, stem] : cases) EXPECT_EQ(job_file_stem(name), stem) << "'" << name << "'";
    EXPECT_EQ(job_file_name("offer", 1), "offer.pdf");
    EXPECT_EQ(job_file_name("offer", 17), "offer-17.pdf");
    EXPECT_TRUE(is_flow_temp_name(".velunio-a1B2c3.part"));
    EXPECT_FALSE(is_flow_temp_name(".velunio-a1B2c3.pdf"));
    EXPECT_FALSE(is_flow_temp_name(job_file_name(job_file_stem(".velunio-x.part"), 1)));

    // Any job name, up to 1,000 bytes of anything, makes a file name of at most 255 bytes that
    // stays in its folder and is not hidden.
    std::mt19937 random(20261208);
    const std::string replaced = "/\\:*?\"<>|\t\n\x01\x7f";
    const std::vector<std::string> pieces{"a", "ü", "文", "\xff", "\xc0\xaf", "\xe2\x82", ".", " ", "..", "pdf", ".PDF",
                                          "\xf0\x9f\x93\x84", "\xc2\x85", "\xe2\x80\xa8"};
    for (int n = 0; n < 400; ++n) {
        std::string name;
        for (std::size_t length = random() % 1001; name.size() < length;)
            name += random() % 3 == 0 ? std::string(1, replaced[random() % replaced.size()]) : pieces[random() % pieces.size()];
        std::string file = job_file_name(job_file_stem(name), 99);
        EXPECT_TRUE(file.size() <= 255 && file.find('/') == std::string::npos && file.front() != '.') << file;
    }
}

// A spooled document becomes a private file without a copy; a taken name is never replaced;
// unpublished files go with their owner; an older folder is made private; a killed job's
// leftovers are swept, nothing else.
TEST(FlowFiles, LinkedFilesAndSweptLeftOvers) {
    temp_dir dir;
    std::string error;
    write_file(dir / "spooled", "%PDF-spooled");
    ::chmod((dir / "spooled").c_str(), 0644);
    flow_output_ptr linked = flow_output_link(dir / "spooled", dir.path(), error);
    ASSERT_TRUE(linked && flow_output_finish(*linked, error)) << error;
    ASSERT_EQ(flow_output_publish(*linked, dir / "linked.pdf", error), publish_status::published);
    std::filesystem::remove(dir / "spooled");
    EXPECT_EQ(file_mode(dir / "linked.pdf"), 0600u);
    EXPECT_FALSE(flow_output_link(dir / "missing", dir.path(), error));
    EXPECT_FALSE(flow_output_create(dir / "missing", error));
    flow_output_ptr dropped = flow_output_create(dir.path(), error);
    flow_output_ptr dropped_link = flow_output_link(dir / "linked.pdf", dir.path(), error);
    ASSERT_TRUE(dropped && dropped_link && flow_output_finish(*dropped, error));
    EXPECT_EQ(flow_output_publish(*dropped, dir / "linked.pdf", error), publish_status::name_taken);
    dropped.reset();
    dropped_link.reset();
    EXPECT_EQ(flow_list_folder(dir.path()), std::vector<std::string>{"linked.pdf"});
    EXPECT_EQ(read_file(dir / "linked.pdf"), "%PDF-spooled");

    ::mkdir((dir / "sign-myself").c_str(), 0755);
    EXPECT_TRUE(flow_make_directory(dir / "sign-myself", error));
    EXPECT_EQ(file_mode(dir / "sign-myself"), 0700u);
    EXPECT_FALSE(flow_make_directory(dir / "linked.pdf", error));
    write_file(dir / "sign-myself/.velunio-AbC123.part", "left by a killed job");
    write_file(dir / "sign-myself/kept.pdf", "a document");
    write_file(dir / "sign-myself/.velunio-notes.txt", "not ours");
    flow_remove_stale_temp_files(dir / "sign-myself");
    std::vector<std::string> left = flow_list_folder(dir / "sign-myself");
    EXPECT_EQ(std::set<std::string>(left.begin(), left.end()), (std::set<std::string>{"kept.pdf", ".velunio-notes.txt"}));
}

TEST(DriverRaster, LayoutsTakenAndPagesSized) {
    cups_page_header2_t header;
    for (auto [type, colour] : std::vector<std::pair<const char*, raster_colour>>{
             {"srgb_8", raster_colour::srgb_8}, {"sgray_8", raster_colour::sgray_8}, {"black_8", raster_colour::black_8},
             {"black_1", raster_colour::black_1}}) {
        cupsRasterInitPWGHeader(&header, pwgMediaForPWG("iso_a4_210x297mm"), type, 300, 300, "one-sided", nullptr);
        auto format = raster_format_of(header);
        ASSERT_TRUE(format) << type;
        EXPECT_EQ(format->colour, colour) << type;
    }
    header.cupsColorSpace = CUPS_CSPACE_CMYK;
    EXPECT_FALSE(raster_format_of(header));

    std::string error;
    EXPECT_TRUE(raster_page_acceptable({100, 50, 72, 72, 300, raster_colour::srgb_8}, error));
    for (raster_page_format bad : {raster_page_format{0, 50, 72, 72, 300, raster_colour::srgb_8},
                                   raster_page_format{100, 50, 0, 72, 300, raster_colour::srgb_8},
                                   raster_page_format{100, 50, 72, 72, 299, raster_colour::srgb_8},
                                   raster_page_format{40000, 50, 72, 72, 120000, raster_colour::srgb_8},
                                   raster_page_format{20000, 20000, 72, 72, 60000, raster_colour::srgb_8}})
        EXPECT_FALSE(raster_page_acceptable(bad, error)) << bad.width << "x" << bad.height;

    pappl_pr_options_t options{};
    options.media.size_width = 21000;
    options.media.size_length = 29700;
    options.media.left_margin = options.media.top_margin = 423;
    options.orientation_requested = IPP_ORIENT_LANDSCAPE;
    page_box page = page_box_of(options);
    EXPECT_NEAR(page.width, 841.89, 0.01);
    EXPECT_NEAR(page.height, 595.28, 0.01);
    EXPECT_NEAR(page.top, 12.0, 0.01);
}

TEST(JobClaims, TheFirstThreadPrintsTheOthersTakeItsResult) {
    reset_job_claims();
    job_claim first = claim_job(1, 7), second = claim_job(1, 7);
    EXPECT_TRUE(first.owner);
    EXPECT_FALSE(second.owner);
    EXPECT_TRUE(claim_job(2, 7).owner);  // another printer's job 7
    auto waiting = std::async(std::launch::async, [&] { return wait_for_job_claim(second); });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    settle_job_claim(first, true);
    EXPECT_TRUE(waiting.get());
    EXPECT_FALSE(claim_job(1, 7).owner);  // a late thread of the same job still follows
    reset_job_claims();
    EXPECT_TRUE(claim_job(1, 7).owner);
}

TEST(LogRelay, ChunksBecomeWholeLinesAndOverlongOnesPieces) {
    std::vector<std::string> lines;
    auto sink = [&](std::string_view line) { lines.emplace_back(line); };
    std::string pending;
    split_log_lines(pending, "E [t] one\nW [t] tw", sink);
    split_log_lines(pending, "o\r\n\n" + std::string(12, 'c') + "\n" + std::string(25, 'a'), sink, 10);
    EXPECT_EQ(lines, (std::vector<std::string>{"E [t] one", "W [t] two", "", std::string(10, 'c'), "cc",
                                               std::string(10, 'a'), std::string(10, 'a')}));
    EXPECT_EQ(pending, std::string(5, 'a'));
}

TEST(PrinterServiceStop, SafeWithoutAServiceAndTwice) {
    stop_printer_service();
    stop_printer_service();
    EXPECT_FALSE(printer_service_running());
    EXPECT_TRUE(wait_for_printer_service_end(std::chrono::milliseconds(0)));
}

}  // namespace
