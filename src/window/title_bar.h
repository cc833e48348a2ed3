#pragma once
// The drawn title strip: its measures, colours and the hit test of its two buttons.
// Geometry in logical pixels, or scaled to a DPI for a backend that draws in device pixels
// (GTK scales by itself; GDI does not).

struct rgb_colour {
    int r = 0;
    int g = 0;
    int b = 0;
    bool operator==(const rgb_colour&) const = default;
};

constexpr int title_bar_height = 28;
constexpr int title_button_width = 46;
constexpr int title_glyph_half = 5;
constexpr int title_pen_width = 1;

enum title_button : int { title_button_none = 0, title_button_close = 1, title_button_minimise = 2 };

constexpr rgb_colour start_background_colour{250, 251, 252};
constexpr rgb_colour glyph_colour{50, 50, 50};
constexpr rgb_colour close_hover_colour{232, 17, 35};
constexpr rgb_colour close_hover_glyph_colour{255, 255, 255};
constexpr rgb_colour minimise_hover_colour{229, 229, 229};
// The glyphs on a background too dark for glyph_colour to stand out.
constexpr rgb_colour light_glyph_colour{240, 240, 240};

// A logical measure at `dpi` (96 is one to one), rounded to the nearest pixel with halves
// away from zero, as the window system's MulDiv rounds.
int scale_to_dpi(int logical, int dpi);

// The strip's measures in device pixels; the pen is at least one pixel wide.
struct title_bar_metrics {
    int height = title_bar_height;
    int button_width = title_button_width;
    int glyph_half = title_glyph_half;
    int pen_width = title_pen_width;
    bool operator==(const title_bar_metrics&) const = default;
};
title_bar_metrics title_bar_metrics_at(int dpi);

// The button under a point of the strip, in client coordinates of a window `width` wide.
int hit_test_title_button(int width, int x, int y);
int hit_test_title_button(const title_bar_metrics& m, int width, int x, int y);

struct title_rect {
    int left = 0;
    int top = 0;
    int right = 0;   // exclusive
    int bottom = 0;  // exclusive
};

struct title_line {
    double x0, y0, x1, y1;  // pixel centres of the first and the last pixel of the line
};

struct title_bar_layout {
    title_rect strip;
    title_rect close_button;
    title_rect minimise_button;
    title_line cross_a;  // top-left to bottom-right
    title_line cross_b;  // top-right to bottom-left
    title_line dash;
};

// Everything drawn on the strip of a window `width` wide. Lines end one pixel before the
// given end point, as the window system's line drawing does, so both strokes of the cross
// cover 2G+1 pixels and meet in the centre pixel.
title_bar_layout layout_title_bar(int width);
title_bar_layout layout_title_bar(const title_bar_metrics& m, int width);

struct title_bar_colours {
    rgb_colour strip;
    bool fill_close = false;
    rgb_colour close_fill;
    rgb_colour close_glyph;
    bool fill_minimise = false;
    rgb_colour minimise_fill;
    rgb_colour minimise_glyph;
};

// A background is dark when the light glyph contrasts with it more than glyph_colour does
// (relative luminance as the web's contrast rules compute it).
bool is_dark_background(rgb_colour background);

// The hover colours stay as they are; only the unhovered glyphs turn light on a dark strip.
title_bar_colours title_bar_colours_for(int hover_button, rgb_colour background);
