#include "window/page_recovery.h"
#include "window/printed_notice.h"
#include "window/title_bar.h"

#include <gtest/gtest.h>

TEST(TitleBar, HitTestAt514) {
    struct { int x, y, button; } cases[] = {
        {468, 0, title_button_close}, {513, 27, title_button_close},   {467, 10, title_button_minimise},
        {422, 10, title_button_minimise}, {421, 10, title_button_none}, {470, 28, title_button_none},
        {470, -1, title_button_none},
    };
    for (auto c : cases) EXPECT_EQ(hit_test_title_button(514, c.x, c.y), c.button) << c.x << "," << c.y;
}

TEST(TitleBar, GlyphsCentredInTheirButtons) {
    title_bar_layout l = layout_title_bar(514);
    // cx = 491, mx = 445, cy = 14; both strokes cover 11 pixels through the centre pixel.
    EXPECT_EQ((std::array{l.close_button.left, l.minimise_button.left, l.minimise_button.right}), (std::array{468, 422, 468}));
    EXPECT_EQ((std::array{l.cross_a.x0, l.cross_a.y0, l.cross_a.x1, l.cross_a.y1}), (std::array{486.5, 9.5, 496.5, 19.5}));
    EXPECT_EQ((std::array{l.cross_b.x0, l.cross_b.x1, l.dash.x0, l.dash.x1, l.dash.y0}),
              (std::array{496.5, 486.5, 440.5, 450.5, 14.5}));
}

// Hover colours stay; the unhovered glyphs turn light where (50,50,50) would not stand out.
TEST(TitleBar, ColoursFollowHoverAndTheStripsLightness) {
    const rgb_colour dark_glyph{50, 50, 50}, light{240, 240, 240}, white{255, 255, 255};
    struct { int hover; rgb_colour strip, close_glyph, minimise_glyph; bool fill_close, fill_minimise; } cases[] = {
        {title_button_none, {250, 251, 252}, dark_glyph, dark_glyph, false, false},
        {title_button_none, {0x1e, 0x90, 0xff}, dark_glyph, dark_glyph, false, false},
        {title_button_none, {131, 131, 131}, dark_glyph, dark_glyph, false, false},
        {title_button_none, {130, 130, 130}, light, light, false, false},
        {title_button_none, {32, 32, 32}, light, light, false, false},
        {title_button_none, {0, 0, 255}, light, light, false, false},
        {title_button_close, {32, 32, 32}, white, light, true, false},
        {title_button_close, {250, 251, 252}, white, dark_glyph, true, false},
        {title_button_minimise, {32, 32, 32}, light, dark_glyph, false, true},
    };
    for (const auto& c : cases) {
        title_bar_colours got = title_bar_colours_for(c.hover, c.strip);
        SCOPED_TRACE(testing::Message() << "hover " << c.hover << " on " << c.strip.r << "," << c.strip.g << "," << c.strip.b);
        EXPECT_EQ(got.strip, c.strip);
        EXPECT_EQ(got.close_glyph, c.close_glyph);
        EXPECT_EQ(got.minimise_glyph, c.minimise_glyph);
        EXPECT_EQ(got.fill_close, c.fill_close);
        EXPECT_EQ(got.fill_minimise, c.fill_minimise);
        EXPECT_EQ(got.close_fill, (rgb_colour{232, 17, 35}));
        EXPECT_EQ(got.minimise_fill, (rgb_colour{229, 229, 229}));
    }
}

TEST(PageRecovery, ThreeReloadsAMinuteThenNoMore) {
    using namespace std::chrono;
    page_recovery r;
    auto t0 = steady_clock::time_point{} + hours(1);
    struct { seconds at; bool reload; } ends[] = {{0s, true}, {10s, true}, {20s, true}, {30s, false}, {59s, false},
                                                  // The first three have left the window by now.
                                                  {81s, true}, {89s, false}};
    for (auto e : ends) EXPECT_EQ(page_may_reload(r, t0 + e.at), e.reload) << e.at.count() << " s";
}

TEST(PrintedNotice, NamesTheFileAndItsPrinter) {
    desktop_notice a = printed_file_notice({"/o/sign-myself/Q3 report.pdf", "sign_myself"});
    EXPECT_EQ(a.summary, "New document to sign: Q3 report.pdf");
    EXPECT_NE(a.body.find("Sign Myself (Velunio)"), std::string::npos) << a.body;
    desktop_notice b = printed_file_notice({"/o/request-signature/x.pdf", "request_signature"});
    EXPECT_NE(b.body.find("Request Signature (Velunio)"), std::string::npos) << b.body;
}

// The strip drawn in device pixels (GDI) scales each measure with MulDiv's rounding.
TEST(TitleBar, MeasuresAtTheWindowsDpi) {
    struct {
        int dpi;
        title_bar_metrics m;
    } rows[] = {{96, {28, 46, 5, 1}}, {120, {35, 58, 6, 1}}, {144, {42, 69, 8, 2}}, {72, {21, 35, 4, 1}}};
    for (const auto& r : rows) EXPECT_EQ(title_bar_metrics_at(r.dpi), r.m) << r.dpi;
    EXPECT_EQ(scale_to_dpi(-5, 144), -8);
    title_bar_metrics m = title_bar_metrics_at(144);
    EXPECT_EQ(hit_test_title_button(m, 771, 702, 41), title_button_close);
    EXPECT_EQ(hit_test_title_button(m, 771, 633, 0), title_button_minimise);
    EXPECT_EQ(hit_test_title_button(m, 771, 632, 0), title_button_none);
    EXPECT_EQ(hit_test_title_button(m, 771, 702, 42), title_button_none);
    EXPECT_DOUBLE_EQ(layout_title_bar(m, 771).cross_a.x0, 728.5);  // cx 736, G 8
}
