#include "window/title_bar.h"

#include <cmath>

namespace {

double channel_luminance(int value) {
    double c = value / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double relative_luminance(rgb_colour c) {
    return 0.2126 * channel_luminance(c.r) + 0.7152 * channel_luminance(c.g) + 0.0722 * channel_luminance(c.b);
}

double contrast(rgb_colour a, rgb_colour b) {
    double la = relative_luminance(a), lb = relative_luminance(b);
    return la > lb ? (la + 0.05) / (lb + 0.05) : (lb + 0.05) / (la + 0.05);
}

}  // namespace

int scale_to_dpi(int logical, int dpi) {
    const long long product = static_cast<long long>(logical) * dpi;
    return static_cast<int>(product >= 0 ? (product + 48) / 96 : (product - 48) / 96);
}

title_bar_metrics title_bar_metrics_at(int dpi) {
    title_bar_metrics m;
    m.height = scale_to_dpi(title_bar_height, dpi);
    m.button_width = scale_to_dpi(title_button_width, dpi);
    m.glyph_half = scale_to_dpi(title_glyph_half, dpi);
    m.pen_width = scale_to_dpi(title_pen_width, dpi);
    if (m.pen_width < 1) m.pen_width = 1;
    return m;
}

int hit_test_title_button(int width, int x, int y) { return hit_test_title_button(title_bar_metrics{}, width, x, y); }

int hit_test_title_button(const title_bar_metrics& m, int width, int x, int y) {
    if (y < 0 || y >= m.height) return title_button_none;
    if (x >= width - m.button_width) return title_button_close;
    if (x >= width - 2 * m.button_width) return title_button_minimise;
    return title_button_none;
}

title_bar_layout layout_title_bar(int width) { return layout_title_bar(title_bar_metrics{}, width); }

title_bar_layout layout_title_bar(const title_bar_metrics& m, int width) {
    const int h = m.height;
    const int w = m.button_width;
    const int g = m.glyph_half;
    title_bar_layout l;
    l.strip = {0, 0, width, h};
    l.close_button = {width - w, 0, width, h};
    l.minimise_button = {width - 2 * w, 0, width - w, h};
    const int cy = h / 2;
    const int cx = (l.close_button.left + l.close_button.right) / 2;
    const int mx = (l.minimise_button.left + l.minimise_button.right) / 2;
    // +0.5: the centre of a pixel, so that a one-pixel cairo stroke covers whole pixels.
    l.cross_a = {cx - g + 0.5, cy - g + 0.5, cx + g + 0.5, cy + g + 0.5};
    l.cross_b = {cx + g + 0.5, cy - g + 0.5, cx - g + 0.5, cy + g + 0.5};
    l.dash = {mx - g + 0.5, cy + 0.5, mx + g + 0.5, cy + 0.5};
    return l;
}

bool is_dark_background(rgb_colour background) {
    return contrast(light_glyph_colour, background) > contrast(glyph_colour, background);
}

title_bar_colours title_bar_colours_for(int hover_button, rgb_colour background) {
    const rgb_colour glyph = is_dark_background(background) ? light_glyph_colour : glyph_colour;
    title_bar_colours c;
    c.strip = background;
    c.fill_close = hover_button == title_button_close;
    c.close_fill = close_hover_colour;
    c.close_glyph = c.fill_close ? close_hover_glyph_colour : glyph;
    c.fill_minimise = hover_button == title_button_minimise;
    c.minimise_fill = minimise_hover_colour;
    // The hover fill is light whatever the strip's colour.
    c.minimise_glyph = c.fill_minimise ? glyph_colour : glyph;
    return c;
}
