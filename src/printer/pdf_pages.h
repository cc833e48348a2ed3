#pragma once
// A PDF document written page by page for jobs that do not arrive as PDF: raster pages keep
// their pixels at their own resolution, so a page is exactly the size that was printed, and
// a picture (JPEG, PNG) is fitted onto a page of the job's media. The PDF itself is made by
// cairo (pdf_pages_cairo.cpp).

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// Receives the document's bytes in order; false stops the document.
using pdf_sink = std::function<bool(const unsigned char* data, std::size_t size)>;

struct pdf_pages;  // defined by the backend
struct pdf_pages_closer {
    void operator()(pdf_pages* pages) const;
};
using pdf_pages_ptr = std::unique_ptr<pdf_pages, pdf_pages_closer>;

pdf_pages_ptr pdf_pages_open(pdf_sink sink);

// How the bytes of one raster line read.
enum class raster_colour {
    srgb_8,   // three bytes a pixel, red green blue
    sgray_8,  // one byte a pixel, 0 black
    black_8,  // one byte a pixel, 0 white (ink)
    black_1,  // one bit a pixel, most significant first, 1 black
};

struct raster_page_format {
    unsigned width = 0, height = 0;      // pixels
    unsigned x_dpi = 0, y_dpi = 0;       // pixels an inch
    unsigned bytes_per_line = 0;
    raster_colour colour = raster_colour::srgb_8;
};

// Largest raster or picture accepted, in pixels; more is refused rather than allocated.
constexpr unsigned long long pdf_max_pixels = 150ull * 1000 * 1000;
constexpr unsigned pdf_max_side = 32767;

// Whether a page of this format can be made; `error` says why not.
bool raster_page_acceptable(const raster_page_format& format, std::string& error);

// One raster page: begin, every line from 0 to height-1 in any order, end.
bool pdf_begin_raster_page(pdf_pages& pages, const raster_page_format& format, std::string& error);
void pdf_raster_line(pdf_pages& pages, unsigned y, const unsigned char* line);
bool pdf_end_raster_page(pdf_pages& pages, std::string& error);

// A page in points with its margins; the picture goes inside the margins.
struct page_box {
    double width = 0, height = 0;
    double left = 0, right = 0, top = 0, bottom = 0;
};
// A JPEG ("image/jpeg") or PNG ("image/png") file on one page, as large as the printable
// area allows, proportions kept, centred.
bool pdf_add_picture_page(pdf_pages& pages, const std::string& path, std::string_view format,
                          const page_box& page, std::string& error);

// Writes the rest of the document; true when every byte reached the sink.
bool pdf_pages_finish(pdf_pages& pages, std::string& error);
unsigned pdf_page_count(const pdf_pages& pages);
