#include "window/page_recovery.h"
#include "window/title_bar.h"

#include <gtest/gtest.h>

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
        EXPECT_EQ((std::array{got.strip, got.close_glyph, got.minimise_glyph, got.close_fill, got.minimise_fill}),
                  (std::array{c.strip, c.close_glyph, c.minimise_glyph, rgb_colour{232, 17, 35}, rgb_colour{229, 229, 229}}));
        EXPECT_EQ(std::pair(got.fill_close, got.fill_minimise), std::pair(c.fill_close, c.fill_minimise));
    }
}

TEST(PageRecovery, ThreeReloadsAMinuteThenNoMore) {
    using namespace std::chrono;
    page_recovery r;
    auto t0 = steady_clock::time_point{} + hours(1);
    // By 81 s the first three have left the window.
    struct { seconds at; bool reload; } ends[] = {
        {0s, true}, {10s, true}, {20s, true}, {30s, false}, {59s, false}, {81s, true}, {89s, false}};
    for (auto e : ends) EXPECT_EQ(page_may_reload(r, t0 + e.at), e.reload) << e.at.count() << " s";
}

// The strip drawn in device pixels (GDI) scales each measure with MulDiv's rounding.
TEST(TitleBar, MeasuresAtTheWindowsDpi) {
    struct {
        int dpi;
        title_bar_metrics m;
    } rows[] = {{96, {28, 46, 5, 1}}, {120, {35, 58, 6, 1}}, {144, {42, 69, 8, 2}}, {72, {21, 35, 4, 1}}};
    for (const auto& r : rows) EXPECT_EQ(title_bar_metrics_at(r.dpi), r.m) << r.dpi;
    EXPECT_EQ(scale_to_dpi(-5, 144), -8);
}

// The buttons' edges at 96 DPI 514 wide and at 144 DPI 771 wide. Strokes run through pixel
// centres, so they stay crisp: at 96 DPI both glyphs cover 11 pixels around cx = 491, mx = 445,
// cy = 14.
TEST(TitleBar, ButtonsAndGlyphsAt96And144Dpi) {
    struct { int dpi, x, y, button; } hits[] = {
        {96, 468, 0, title_button_close},    {96, 513, 27, title_button_close},   {96, 467, 10, title_button_minimise},
        {96, 422, 10, title_button_minimise}, {96, 421, 10, title_button_none},   {96, 470, 28, title_button_none},
        {96, 470, -1, title_button_none},     {144, 702, 41, title_button_close}, {144, 633, 0, title_button_minimise},
        {144, 632, 0, title_button_none},     {144, 702, 42, title_button_none},
    };
    for (auto h : hits)
        EXPECT_EQ(hit_test_title_button(title_bar_metrics_at(h.dpi), h.dpi == 96 ? 514 : 771, h.x, h.y), h.button)
            << h.dpi << " DPI at " << h.x << "," << h.y;
    title_bar_layout l = layout_title_bar(514);
    EXPECT_EQ((std::array{l.close_button.left, l.minimise_button.left, l.minimise_button.right}), (std::array{468, 422, 468}));
    EXPECT_EQ((std::array{l.cross_a.x0, l.cross_a.y0, l.cross_a.x1, l.cross_a.y1, l.cross_b.x0, l.cross_b.x1}),
              (std::array{486.5, 9.5, 496.5, 19.5, 496.5, 486.5}));
    EXPECT_EQ((std::array{l.dash.x0, l.dash.x1, l.dash.y0}), (std::array{440.5, 450.5, 14.5}));
    EXPECT_DOUBLE_EQ(layout_title_bar(title_bar_metrics_at(144), 771).cross_a.x0, 728.5);  // cx 736, G 8
}
