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

int hit_test_title_button(int width, int x, int y) {
    if (y < 0 || y >= title_bar_height) return title_button_none;
    if (x >= width - title_button_width) return title_button_close;
    if (x >= width - 2 * title_button_width) return title_button_minimise;
    return title_button_none;
}

title_bar_layout layout_title_bar(int width) {
    constexpr int h = title_bar_height;
    constexpr int w = title_button_width;
    constexpr int g = title_glyph_half;
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
