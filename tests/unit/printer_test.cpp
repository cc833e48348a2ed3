// The printer service's rules without a running service: settings, device URIs, job file
// names, the flow files, the driver's decoding of its name, raster layouts and job claims.
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
#include <map>
#include <random>
#include <set>

namespace {

TEST(PrinterSettings, PortAndLogRules)
{
    for (auto [value, port] : std::vector<std::pair<std::optional<std::string>, int>>{
             {std::nullopt, 8632}, {"", 8632}, {"1", 1}, {"65535", 65535}, {"09000", 9000}, {"0", 8632},
             {"65536", 8632}, {"-1", 8632}, {" 80", 8632}, {"80x", 8632}, {"0x50", 8632}})
        EXPECT_EQ(ipp_port_from_value(value), port) << value.value_or("(unset)");

    auto lookup = [](std::map<std::string, std::string> values) {
        return [values](const char* name) -> std::optional<std::string> {
            auto it = values.find(name);
            return it == values.end() ? std::nullopt : std::optional(it->second);
        };
    };
    EXPECT_EQ(settle_service_log(lookup({})).file, "-");
    EXPECT_EQ(settle_service_log(lookup({{"VELUNIO_LOG_FILE", ""}})).file, "");  // set but empty counts
    for (auto [value, level] : std::vector<std::pair<std::string, pappl_loglevel_t>>{
             {"warn", PAPPL_LOGLEVEL_WARN}, {"error", PAPPL_LOGLEVEL_ERROR}, {"info", PAPPL_LOGLEVEL_INFO},
             {"debug", PAPPL_LOGLEVEL_DEBUG}, {"Debug", PAPPL_LOGLEVEL_WARN}, {"info ", PAPPL_LOGLEVEL_WARN}})
        EXPECT_EQ(settle_service_log(lookup({{"VELUNIO_LOG_LEVEL", value}})).level, level) << value;
}

TEST(PrinterSettings, DeviceUrisNameTheirFolderExactly)
{
    EXPECT_EQ(flow_device_uri("/tmp/my out/request-signature"), "velunio-file:///tmp/my%20out/request-signature?ext=pdf");
    for (std::string folder : {"/tmp/100% sure/s", "/tmp/what?/s", "/tmp/a#b/s", "/tmp/Übersicht/s", "/a;b,c&d+e/s"}) {
        auto uri = flow_device_uri(folder);
        ASSERT_TRUE(uri) << folder;
        EXPECT_TRUE(uri->ends_with("?ext=pdf")) << *uri;
        EXPECT_EQ(flow_device_folder(*uri), folder) << *uri;
    }
    EXPECT_FALSE(flow_device_uri("relative/sign-myself"));
    for (const char* other : {"file:///x/y?ext=pdf", "velunio-file:///x/y", "velunio-file://host/x/y?ext=pdf", ""})
        EXPECT_FALSE(flow_device_folder(other)) << other;
    EXPECT_EQ(to_uri_path("/data/out/."), "/data/out");
    EXPECT_EQ(spool_dir_for("/o"), "/o/spool");
}

TEST(JobFileNames, EachNameIsOneSafeComponent)
{
    std::vector<std::pair<std::string, std::string>> cases{
        {"report.pdf", "report"},        {"offer.pdf.pdf", "offer.pdf"},   {"../../etc/passwd", "_.._etc_passwd"},
        {"..", "document"},              {"", "document"},                 {".hidden", "hidden"},
        {"a:b*c?d<e>f|g\"h", "a_b_c_d_e_f_g_h"}, {"tab\there\r\nnext", "tab here next"},
        {"Übersicht – Straße ñ 文書", "Übersicht – Straße ñ 文書"}, {"bad\xff\xfe" "bytes", "bad__bytes"},
        {"over\xc0\xaflong", "over__long"}, {"CON", "_CON"}, {"nul.txt", "_nul.txt"}, {"console", "console"},
        {std::string(199, 'a') + std::string(60, ':'), std::string(199, 'a') + "_"},
        {std::string(300, '/'), std::string(200, '_')},
    };
    for (const auto& [name, stem] : cases)
        EXPECT_EQ(job_file_stem(name), stem) << "'" << name << "'";
    EXPECT_EQ(job_file_name("offer", 1), "offer.pdf");
    EXPECT_EQ(job_file_name("offer", 17), "offer-17.pdf");
    EXPECT_TRUE(is_flow_temp_name(".velunio-a1B2c3.part"));
    EXPECT_FALSE(is_flow_temp_name(".velunio-a1B2c3.pdf"));
    EXPECT_FALSE(is_flow_temp_name(job_file_name(job_file_stem(".velunio-x.part"), 1)));
}

// Any job name, up to 1,000 bytes of anything: the file lands in the folder under a name
// of at most 255 bytes, numbered when the name is taken.
TEST(JobFileNames, EveryNameLandsInItsFolder)
{
    temp_dir dir;
    std::mt19937 random(20261208);
    const std::string replaced = "/\\:*?\"<>|\t\n\x01\x7f";
    const std::vector<std::string> pieces{"a", "ü", "文", "\xff", "\xc0\xaf", "\xe2\x82", ".", " ", "..", "pdf", ".PDF",
                                          "\xf0\x9f\x93\x84", "\xc2\x85", "\xe2\x80\xa8"};
    std::set<std::string> landed;
    for (int n = 0; n < 400; ++n) {
        std::string name;
        std::size_t length = random() % 1001;
        while (name.size() < length) {
            if (random() % 3 == 0)
                name += replaced[random() % replaced.size()];
            else
                name += pieces[random() % pieces.size()];
        }
        std::string stem = job_file_stem(name), error;
        flow_output_ptr out = flow_output_create(dir.path(), error);
        ASSERT_TRUE(out) << error;
        ASSERT_TRUE(flow_output_finish(*out, error)) << error;
        int attempt = 1;
        publish_status status;
        while ((status = flow_output_publish(*out, dir / job_file_name(stem, attempt), error)) ==
               publish_status::name_taken)
            ++attempt;
        ASSERT_EQ(status, publish_status::published) << "'" << name << "': " << error;
        std::string file = job_file_name(stem, attempt);
        EXPECT_LE(file.size(), 255u) << name;
        EXPECT_EQ(file.find('/'), std::string::npos) << name;
        EXPECT_NE(file.front(), '.') << name;
        landed.insert(file);
    }
    std::vector<std::string> listed = flow_list_folder(dir.path());
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), landed);
}

TEST(FlowFiles, PublishedOnceUnderAFreeNameNeverReplacingOne)
{
    temp_dir dir;
    ::umask(022);
    std::string error;
    write_file(dir / "doc.pdf", "older");
    flow_output_ptr out = flow_output_create(dir.path(), error);
    ASSERT_TRUE(out && flow_output_write(*out, "%PDF-", 5, error) && flow_output_finish(*out, error)) << error;
    EXPECT_EQ(flow_output_publish(*out, dir / "doc.pdf", error), publish_status::name_taken);
    EXPECT_EQ(flow_output_publish(*out, dir / "doc-2.pdf", error), publish_status::published);
    EXPECT_EQ(read_file(dir / "doc.pdf"), "older");
    EXPECT_EQ(read_file(dir / "doc-2.pdf"), "%PDF-");
    struct stat info {};
    ASSERT_EQ(::stat((dir / "doc-2.pdf").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // A spooled document becomes the file without a copy, private too.
    write_file(dir / "spooled", "%PDF-spooled");
    ::chmod((dir / "spooled").c_str(), 0644);
    flow_output_ptr linked = flow_output_link(dir / "spooled", dir.path(), error);
    ASSERT_TRUE(linked) << error;
    ASSERT_TRUE(flow_output_finish(*linked, error));
    ASSERT_EQ(flow_output_publish(*linked, dir / "linked.pdf", error), publish_status::published);
    std::filesystem::remove(dir / "spooled");
    EXPECT_EQ(read_file(dir / "linked.pdf"), "%PDF-spooled");
    ASSERT_EQ(::stat((dir / "linked.pdf").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_FALSE(flow_output_link(dir / "missing", dir.path(), error));

    // Unpublished files go with their owner; a failed job leaves nothing.
    flow_output_ptr dropped = flow_output_create(dir.path(), error);
    flow_output_ptr dropped_link = flow_output_link(dir / "doc.pdf", dir.path(), error);
    ASSERT_TRUE(dropped && dropped_link);
    dropped.reset();
    dropped_link.reset();
    EXPECT_EQ(flow_list_folder(dir.path()).size(), 3u);
    EXPECT_FALSE(flow_output_create(dir / "missing", error));
}

TEST(FlowFiles, FoldersArePrivateAndLeftOversAreSwept)
{
    temp_dir dir;
    std::string error;
    ::mkdir((dir / "sign-myself").c_str(), 0755);
    EXPECT_TRUE(flow_make_directory(dir / "sign-myself", error));
    EXPECT_TRUE(flow_make_directory(dir / "request-signature", error));
    for (const char* name : {"sign-myself", "request-signature"}) {
        struct stat info {};
        ASSERT_EQ(::stat((dir / name).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u) << name;
    }
    write_file(dir / "in-the-way", "a file");
    EXPECT_FALSE(flow_make_directory(dir / "in-the-way", error));

    write_file(dir / "sign-myself/.velunio-AbC123.part", "left by a killed job");
    write_file(dir / "sign-myself/kept.pdf", "a document");
    write_file(dir / "sign-myself/.velunio-notes.txt", "not ours");
    flow_remove_stale_temp_files(dir / "sign-myself");
    std::vector<std::string> left = flow_list_folder(dir / "sign-myself");
    EXPECT_EQ(std::set<std::string>(left.begin(), left.end()),
              (std::set<std::string>{"kept.pdf", ".velunio-notes.txt"}));

    std::filesystem::create_directories(dir / "spool/deeper");
    write_file(dir / "spool/p00001j000000001-killed.pdf", "a killed job's document");
    ASSERT_TRUE(flow_prepare_spool_folder(dir / "spool", error)) << error;
    EXPECT_TRUE(flow_list_folder(dir / "spool").empty());
    flow_remove_spool_folder(dir / "spool");
    EXPECT_FALSE(std::filesystem::exists(dir / "spool"));
}

struct system_deleter {
    void operator()(pappl_system_t* system) const { papplSystemDelete(system); }
};

TEST(DriverSetup, NameTokensChooseCapabilitiesAndBadCallsAreRefused)
{
    temp_dir dir;
    std::unique_ptr<pappl_system_t, system_deleter> system(papplSystemCreate(
        PAPPL_SOPTIONS_NONE, "Driver Test", 0, nullptr, dir.path().c_str(), (dir / "log").c_str(),
        PAPPL_LOGLEVEL_ERROR, nullptr, false));
    ASSERT_TRUE(system);
    pappl_pr_driver_data_t driver{};
    ipp_t* attrs = nullptr;
    auto setup = [&](const char* name, const char* data = "velunio", const char* uri = "velunio-file:///x?ext=pdf") {
        driver = pappl_pr_driver_data_t{};
        return pwg_driver_setup(system.get(), name, uri, nullptr, &driver, &attrs, const_cast<char*>(data));
    };
    ASSERT_TRUE(driver_callback(system.get(), velunio_driver_name, "velunio-file:///x?ext=pdf", nullptr, &driver,
                                &attrs, nullptr));
    EXPECT_STREQ(driver.format, "application/pdf");
    EXPECT_EQ(driver.raster_types, 0x0A0C);
    EXPECT_EQ(driver.num_resolution, 2);
    EXPECT_EQ(driver.x_default, 600);
    EXPECT_EQ(driver.num_bin, 2);
    EXPECT_STREQ(driver.media_ready[0].size_name, "na_letter_8.5x11in");
    EXPECT_STREQ(driver.media_ready[1].source, "alternate");
    std::string locale_default = papplLocGetDefaultMediaSizeName();
    EXPECT_EQ(driver.media_default.size_name, locale_default);
    EXPECT_EQ(driver.media_default.left_margin,
              locale_default == "iso_a4_210x297mm" || locale_default == "na_letter_8.5x11in" ? 423 : 0);

    ASSERT_TRUE(setup("pwg_common-600dpi-203dpi-black_1"));
    EXPECT_EQ(driver.force_raster_type, PAPPL_PWG_RASTER_TYPE_BLACK_1);
    EXPECT_EQ(driver.x_resolution[0], 203);  // taken in the order 203, 300, 600
    EXPECT_EQ(driver.x_default, 600);
    EXPECT_EQ(driver.num_bin, 1);
    ASSERT_TRUE(setup("pwg_common-300dpi-srgb_8-pdf"));
    EXPECT_STREQ(driver.format, "application/pdf");

    const std::vector<std::pair<bool, const char*>> refused{
        {setup(velunio_driver_name, "velunio", nullptr), "Driver callback called without required information."},
        {setup(velunio_driver_name, "other"), "Driver callback called with bad data pointer."},
        {setup("pwg_common-300dpi"), "Unsupported driver name 'pwg_common-300dpi'."},
        {setup("pwg_common-srgb_8"), "No resolution information in driver name 'pwg_common-srgb_8'."},
        {setup("office-300dpi-srgb_8"), "No dimension information in driver name 'office-300dpi-srgb_8'."},
    };
    std::string log = read_file(dir / "log");
    for (const auto& [accepted, line] : refused) {
        EXPECT_FALSE(accepted) << line;
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
}

TEST(DriverRaster, LayoutsTakenAndPagesSized)
{
    cups_page_header2_t header;
    cupsRasterInitPWGHeader(&header, pwgMediaForPWG("iso_a4_210x297mm"), "srgb_8", 300, 300, "one-sided", nullptr);
    auto format = raster_format_of(header);
    ASSERT_TRUE(format);
    EXPECT_EQ(format->colour, raster_colour::srgb_8);
    EXPECT_EQ(format->width, 2480u);
    EXPECT_EQ(format->x_dpi, 300u);
    for (auto [type, colour] : std::vector<std::pair<const char*, raster_colour>>{
             {"sgray_8", raster_colour::sgray_8}, {"black_8", raster_colour::black_8}, {"black_1", raster_colour::black_1}}) {
        cupsRasterInitPWGHeader(&header, pwgMediaForPWG("na_letter_8.5x11in"), type, 203, 203, "one-sided", nullptr);
        ASSERT_TRUE(raster_format_of(header)) << type;
        EXPECT_EQ(raster_format_of(header)->colour, colour) << type;
    }
    header.cupsColorSpace = CUPS_CSPACE_CMYK;
    EXPECT_FALSE(raster_format_of(header));

    std::string error;
    raster_page_format ok{100, 50, 72, 72, 300, raster_colour::srgb_8};
    EXPECT_TRUE(raster_page_acceptable(ok, error));
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

TEST(JobClaims, TheFirstThreadPrintsTheOthersTakeItsResult)
{
    reset_job_claims();
    job_claim first = claim_job(1, 7);
    job_claim second = claim_job(1, 7);
    job_claim other_printer = claim_job(2, 7);
    EXPECT_TRUE(first.owner);
    EXPECT_FALSE(second.owner);
    EXPECT_TRUE(other_printer.owner);
    auto waiting = std::async(std::launch::async, [&] { return wait_for_job_claim(second); });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    settle_job_claim(first, true);
    EXPECT_TRUE(waiting.get());
    EXPECT_FALSE(claim_job(1, 7).owner);  // a late thread of the same job still follows
    reset_job_claims();
    EXPECT_TRUE(claim_job(1, 7).owner);
}

TEST(LogRelay, ChunksBecomeWholeLinesAndOverlongOnesPieces)
{
    std::vector<std::string> lines;
    auto sink = [&](std::string_view line) { lines.emplace_back(line); };
    std::string pending;
    split_log_lines(pending, "E [t] one\nW [t] tw", sink);
    split_log_lines(pending, "o\r\n\n" + std::string(12, 'c') + "\n" + std::string(25, 'a'), sink, 10);
    EXPECT_EQ(lines, (std::vector<std::string>{"E [t] one", "W [t] two", "", std::string(10, 'c'), "cc",
                                               std::string(10, 'a'), std::string(10, 'a')}));
    EXPECT_EQ(pending, std::string(5, 'a'));
}

TEST(PrinterServiceStop, SafeWithoutAServiceAndTwice)
{
    stop_printer_service();
    stop_printer_service();
    EXPECT_FALSE(printer_service_running());
    EXPECT_TRUE(wait_for_printer_service_end(std::chrono::milliseconds(0)));
}

}  // namespace
