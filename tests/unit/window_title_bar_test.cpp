#include "window/title_bar.h"

#include <gtest/gtest.h>

TEST(TitleBar, HitTestAt514) {
    EXPECT_EQ(hit_test_title_button(514, 468, 0), title_button_close);
    EXPECT_EQ(hit_test_title_button(514, 513, 27), title_button_close);
    EXPECT_EQ(hit_test_title_button(514, 467, 10), title_button_minimise);
    EXPECT_EQ(hit_test_title_button(514, 422, 10), title_button_minimise);
    EXPECT_EQ(hit_test_title_button(514, 421, 10), title_button_none);
    EXPECT_EQ(hit_test_title_button(514, 470, 28), title_button_none);
    EXPECT_EQ(hit_test_title_button(514, 470, -1), title_button_none);
}

TEST(TitleBar, GlyphsCentredInTheirButtons) {
    title_bar_layout l = layout_title_bar(514);
    EXPECT_EQ(l.close_button.left, 468);
    EXPECT_EQ(l.minimise_button.left, 422);
    EXPECT_EQ(l.minimise_button.right, 468);
    // cx = 491, mx = 445, cy = 14; both strokes cover 11 pixels through the centre pixel.
    EXPECT_DOUBLE_EQ(l.cross_a.x0, 486.5);
    EXPECT_DOUBLE_EQ(l.cross_a.y0, 9.5);
    EXPECT_DOUBLE_EQ(l.cross_a.x1, 496.5);
    EXPECT_DOUBLE_EQ(l.cross_a.y1, 19.5);
    EXPECT_DOUBLE_EQ(l.cross_b.x0, 496.5);
    EXPECT_DOUBLE_EQ(l.cross_b.x1, 486.5);
    EXPECT_DOUBLE_EQ(l.dash.x0, 440.5);
    EXPECT_DOUBLE_EQ(l.dash.x1, 450.5);
    EXPECT_DOUBLE_EQ(l.dash.y0, 14.5);
}

TEST(TitleBar, ColoursFollowHover) {
    rgb_colour bg{1, 2, 3};
    title_bar_colours none = title_bar_colours_for(title_button_none, bg);
    EXPECT_EQ(none.strip, bg);
    EXPECT_FALSE(none.fill_close);
    EXPECT_FALSE(none.fill_minimise);
    EXPECT_EQ(none.close_glyph, (rgb_colour{50, 50, 50}));

    title_bar_colours close = title_bar_colours_for(title_button_close, bg);
    EXPECT_TRUE(close.fill_close);
    EXPECT_EQ(close.close_fill, (rgb_colour{232, 17, 35}));
    EXPECT_EQ(close.close_glyph, (rgb_colour{255, 255, 255}));
    EXPECT_FALSE(close.fill_minimise);

    title_bar_colours min = title_bar_colours_for(title_button_minimise, bg);
    EXPECT_TRUE(min.fill_minimise);
    EXPECT_EQ(min.minimise_fill, (rgb_colour{229, 229, 229}));
    EXPECT_EQ(min.minimise_glyph, (rgb_colour{50, 50, 50}));
    EXPECT_EQ(min.close_glyph, (rgb_colour{50, 50, 50}));
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
