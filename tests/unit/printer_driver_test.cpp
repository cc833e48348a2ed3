#include "printer/printer_driver.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct system_deleter {
    void operator()(pappl_system_t* system) const { papplSystemDelete(system); }
};

// A system that is never run: only its log is used, written to a file the test reads.
class DriverSetup : public ::testing::Test {
protected:
    void SetUp() override
    {
        system.reset(papplSystemCreate(PAPPL_SOPTIONS_NONE, "Driver Test", 0, nullptr, dir.path().c_str(),
                                       log_path.c_str(), PAPPL_LOGLEVEL_ERROR, nullptr, false));
        ASSERT_TRUE(system);
    }

    bool setup(const char* name, void* data = const_cast<char*>("velunio"), const char* uri = "velunio-file:///x?ext=pdf")
    {
        driver = pappl_pr_driver_data_t{};
        attrs = nullptr;
        return pwg_driver_setup(system.get(), name, uri, nullptr, &driver, &attrs, data);
    }

    std::string log() const { return read_file(log_path); }

    temp_dir dir;
    std::string log_path = dir / "driver.log";
    std::unique_ptr<pappl_system_t, system_deleter> system;
    pappl_pr_driver_data_t driver{};
    ipp_t* attrs = nullptr;
};

std::vector<std::string> strings(const char* const* values, int count)
{
    return std::vector<std::string>(values, values + count);
}

}  // namespace

TEST_F(DriverSetup, TheTableHasTheOneDriver)
{
    EXPECT_STREQ(driver_table[0].name, "pwg_common-300dpi-600dpi-srgb_8");
    EXPECT_STREQ(driver_table[0].description, "Velunio Printaro");
    EXPECT_EQ(driver_table[0].device_id, nullptr);
    EXPECT_EQ(driver_table[0].extension, nullptr);
}

TEST_F(DriverSetup, CallbackFillsTheOfficeCapabilities)
{
    // The callback always hands its own data to the setup, whatever it was given.
    ASSERT_TRUE(driver_callback(system.get(), velunio_driver_name, "velunio-file:///x?ext=pdf", nullptr, &driver,
                                &attrs, nullptr));
    EXPECT_STREQ(driver.format, "application/pdf");
    EXPECT_EQ(driver.status_cb, driver_status);
    EXPECT_STREQ(driver.make_and_model, "Sign Myself (Velunio)");
    EXPECT_EQ(driver.kind, PAPPL_KIND_DOCUMENT | PAPPL_KIND_PHOTO | PAPPL_KIND_POSTCARD);
    EXPECT_EQ(driver.ppm, 5);
    EXPECT_EQ(driver.ppm_color, 2);
    EXPECT_TRUE(driver.has_supplies);
    EXPECT_TRUE(driver.borderless);
    EXPECT_EQ(driver.left_right, 423);
    EXPECT_EQ(driver.bottom_top, 423);
    EXPECT_EQ(driver.raster_types, 0x0A0C);
    EXPECT_EQ(driver.force_raster_type, PAPPL_PWG_RASTER_TYPE_NONE);
    ASSERT_EQ(driver.num_resolution, 2);
    EXPECT_EQ(driver.x_resolution[0], 300);
    EXPECT_EQ(driver.y_resolution[0], 300);
    EXPECT_EQ(driver.x_resolution[1], 600);
    EXPECT_EQ(driver.x_default, 600);
    EXPECT_EQ(driver.y_default, 600);
    EXPECT_EQ(driver.color_supported, 0x1B);
    EXPECT_EQ(driver.color_default, PAPPL_COLOR_MODE_AUTO);
    EXPECT_EQ(driver.orient_default, IPP_ORIENT_NONE);
    EXPECT_EQ(driver.quality_default, IPP_QUALITY_NORMAL);
    EXPECT_EQ(driver.sides_supported, 0x07);
    EXPECT_EQ(driver.sides_default, PAPPL_SIDES_TWO_SIDED_LONG_EDGE);
    EXPECT_EQ(driver.finishings, PAPPL_FINISHINGS_PUNCH | PAPPL_FINISHINGS_STAPLE);
    EXPECT_EQ(driver.identify_default, PAPPL_IDENTIFY_ACTIONS_SOUND);
    EXPECT_EQ(driver.identify_supported, PAPPL_IDENTIFY_ACTIONS_DISPLAY | PAPPL_IDENTIFY_ACTIONS_SOUND);
    EXPECT_EQ(driver.printfile_cb, driver_print_file);
    EXPECT_EQ(driver.rstartjob_cb, driver_start_job);
    EXPECT_EQ(driver.rstartpage_cb, driver_start_page);
    EXPECT_EQ(driver.rwriteline_cb, driver_write_line);
    EXPECT_EQ(driver.rendpage_cb, driver_end_page);
    EXPECT_EQ(driver.rendjob_cb, driver_end_job);
    EXPECT_EQ(driver.identify_cb, driver_identify);
    EXPECT_EQ(driver.testpage_cb, driver_test_page);

    EXPECT_EQ(strings(driver.media, driver.num_media),
              (std::vector<std::string>{"na_index-3x5_3x5in", "na_index-4x6_4x6in", "na_number-10_4.125x9.5in",
                                        "na_5x7_5x7in", "na_letter_8.5x11in", "na_legal_8.5x14in", "iso_a6_105x148mm",
                                        "iso_dl_110x220mm", "iso_a5_148x210mm", "iso_a4_210x297mm",
                                        "custom_max_8.5x14in", "custom_min_3x5in"}));
    EXPECT_EQ(strings(driver.source, driver.num_source),
              (std::vector<std::string>{"main", "alternate", "manual", "by-pass-tray"}));
    EXPECT_EQ(strings(driver.bin, driver.num_bin), (std::vector<std::string>{"center", "rear"}));
    EXPECT_EQ(strings(driver.type, driver.num_type),
              (std::vector<std::string>{"stationery", "stationery-letterhead", "labels", "photographic",
                                        "photographic-glossy", "photographic-matte", "transparency", "envelope"}));
}

TEST_F(DriverSetup, ReadyMediaAndTheLocaleDefault)
{
    ASSERT_TRUE(setup(velunio_driver_name));
    const pappl_media_col_t& main = driver.media_ready[0];
    EXPECT_STREQ(main.size_name, "na_letter_8.5x11in");
    EXPECT_EQ(main.size_width, 21590);
    EXPECT_EQ(main.size_length, 27940);
    EXPECT_STREQ(main.source, "main");
    EXPECT_STREQ(main.type, "stationery");
    EXPECT_EQ(main.tracking, PAPPL_MEDIA_TRACKING_MARK);
    for (int margin : {main.left_margin, main.right_margin, main.top_margin, main.bottom_margin})
        EXPECT_EQ(margin, 423);
    const pappl_media_col_t& alternate = driver.media_ready[1];
    EXPECT_STREQ(alternate.size_name, "iso_a4_210x297mm");
    EXPECT_EQ(alternate.size_width, 21000);
    EXPECT_STREQ(alternate.source, "alternate");
    EXPECT_STREQ(driver.media_ready[2].size_name, "");
    EXPECT_STREQ(driver.media_ready[3].source, "");

    std::string locale_default = papplLocGetDefaultMediaSizeName();
    EXPECT_EQ(driver.media_default.size_name, locale_default);
    const char* expected_source = locale_default == "iso_a4_210x297mm"     ? "alternate"
                                  : locale_default == "na_letter_8.5x11in" ? "main"
                                                                           : "";
    EXPECT_STREQ(driver.media_default.source, expected_source);
    EXPECT_EQ(driver.media_default.left_margin, expected_source[0] ? 423 : 0);
}

TEST_F(DriverSetup, TokensOfTheNameChooseTypesAndResolutions)
{
    ASSERT_TRUE(setup("pwg_common-300dpi-black_1"));
    EXPECT_EQ(driver.raster_types, 0x020C);
    EXPECT_EQ(driver.force_raster_type, PAPPL_PWG_RASTER_TYPE_BLACK_1);
    EXPECT_EQ(driver.num_bin, 1);

    ASSERT_TRUE(setup("pwg_common-600dpi-203dpi-sgray_8"));
    EXPECT_EQ(driver.raster_types, 0x020C);
    EXPECT_EQ(driver.force_raster_type, PAPPL_PWG_RASTER_TYPE_NONE);
    // Tokens are taken in the order 203, 300, 600, wherever they stand; the last is the default.
    ASSERT_EQ(driver.num_resolution, 2);
    EXPECT_EQ(driver.x_resolution[0], 203);
    EXPECT_EQ(driver.x_default, 600);

    ASSERT_TRUE(setup("pwg_common-300dpi-srgb_8"));
    ASSERT_EQ(driver.num_resolution, 1);
    EXPECT_EQ(driver.x_default, 300);
    EXPECT_STREQ(driver.format, "image/pwg-raster");

    ASSERT_TRUE(setup("pwg_common-300dpi-srgb_8-pdf"));
    EXPECT_STREQ(driver.format, "application/pdf");
}

TEST_F(DriverSetup, EachFailureIsLoggedAndRefused)
{
    EXPECT_FALSE(setup(velunio_driver_name, const_cast<char*>("velunio"), nullptr));
    EXPECT_FALSE(pwg_driver_setup(system.get(), velunio_driver_name, "u", nullptr, &driver, nullptr,
                                  const_cast<char*>("velunio")));
    EXPECT_FALSE(setup(velunio_driver_name, const_cast<char*>("other")));
    EXPECT_FALSE(setup(velunio_driver_name, nullptr));
    EXPECT_FALSE(setup("pwg_common-300dpi"));
    EXPECT_FALSE(setup("pwg_common-srgb_8"));
    EXPECT_FALSE(setup("office-300dpi-srgb_8"));
    std::string text = log();
    EXPECT_NE(text.find("Driver callback called without required information."), std::string::npos) << text;
    EXPECT_NE(text.find("Driver callback called with bad data pointer."), std::string::npos) << text;
    EXPECT_NE(text.find("Unsupported driver name 'pwg_common-300dpi'."), std::string::npos) << text;
    EXPECT_NE(text.find("No resolution information in driver name 'pwg_common-srgb_8'."), std::string::npos) << text;
    EXPECT_NE(text.find("No dimension information in driver name 'office-300dpi-srgb_8'."), std::string::npos)
        << text;
}
