#include "printer/pdf_pages.h"

bool raster_page_acceptable(const raster_page_format& f, std::string& error)
{
    unsigned long long bits = f.colour == raster_colour::srgb_8   ? 24
                              : f.colour == raster_colour::black_1 ? 1
                                                                   : 8;
    if (f.width == 0 || f.height == 0 || f.x_dpi == 0 || f.y_dpi == 0) {
        error = "the page has no size or resolution";
        return false;
    }
    if (f.width > pdf_max_side || f.height > pdf_max_side ||
        static_cast<unsigned long long>(f.width) * f.height > pdf_max_pixels) {
        error = "the page of " + std::to_string(f.width) + "x" + std::to_string(f.height) + " pixels is too large";
        return false;
    }
    if (f.bytes_per_line < (f.width * bits + 7) / 8) {
        error = "a line of " + std::to_string(f.bytes_per_line) + " bytes cannot hold " + std::to_string(f.width) +
                " pixels";
        return false;
    }
    return true;
}
