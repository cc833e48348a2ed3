// cairo's PDF surface writes the document; cairo reads PNG files and libjpeg JPEG files.
#include "printer/pdf_pages.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <jpeglib.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

struct surface_closer {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
using surface_ptr = std::unique_ptr<cairo_surface_t, surface_closer>;
struct context_closer {
    void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using context_ptr = std::unique_ptr<cairo_t, context_closer>;

}  // namespace

struct pdf_pages {
    pdf_sink sink;
    bool sink_failed = false;
    surface_ptr document;
    // The page being rastered, drawn when it ends.
    surface_ptr raster;
    raster_page_format format;
    unsigned pages = 0;
    // JPEG data embedded as it is; cairo reads it when the page is written out.
    std::vector<std::vector<unsigned char>> kept;
};

void pdf_pages_closer::operator()(pdf_pages* pages) const { std::unique_ptr<pdf_pages> owned(pages); }

namespace {

cairo_status_t write_to_sink(void* closure, const unsigned char* data, unsigned int length)
{
    auto* pages = static_cast<pdf_pages*>(closure);
    if (pages->sink_failed || !pages->sink(data, length)) {
        pages->sink_failed = true;
        return CAIRO_STATUS_WRITE_ERROR;
    }
    return CAIRO_STATUS_SUCCESS;
}

std::string status_text(cairo_status_t status) { return cairo_status_to_string(status); }

// Draws `image` scaled by (sx, sy) at (x, y) on a new page of the given size.
bool draw_page(pdf_pages& pages, cairo_surface_t* image, double width, double height, double x, double y,
               double sx, double sy, std::string& error)
{
    cairo_pdf_surface_set_size(pages.document.get(), width, height);
    context_ptr cr(cairo_create(pages.document.get()));
    cairo_translate(cr.get(), x, y);
    cairo_scale(cr.get(), sx, sy);
    cairo_set_source_surface(cr.get(), image, 0, 0);
    cairo_paint(cr.get());
    cairo_show_page(cr.get());
    cairo_status_t status = cairo_status(cr.get());
    if (status == CAIRO_STATUS_SUCCESS)
        status = cairo_surface_status(pages.document.get());
    if (status != CAIRO_STATUS_SUCCESS || pages.sink_failed) {
        error = pages.sink_failed ? "the document could not be written" : "cairo: " + status_text(status);
        return false;
    }
    pages.pages++;
    return true;
}

std::uint32_t rgb(unsigned r, unsigned g, unsigned b) { return (r << 16) | (g << 8) | b; }

struct jpeg_failure {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void jpeg_fail(j_common_ptr info)
{
    auto* failure = reinterpret_cast<jpeg_failure*>(info->err);
    (*info->err->format_message)(info, failure->message);
    std::longjmp(failure->jump, 1);
}

// Everything the decoder changes lives here, behind an address libjpeg holds, so that a
// failure's longjmp finds it as it was left.
struct decompressor {
    jpeg_decompress_struct info{};
    surface_ptr surface;
    std::vector<unsigned char> row;
    ~decompressor() { jpeg_destroy_decompress(&info); }
};

// Decodes JPEG bytes into an RGB24 surface; null with `error` set when they are not one.
surface_ptr decode_jpeg(const std::vector<unsigned char>& bytes, int& components, std::string& error)
{
    decompressor d;
    jpeg_failure failure{};
    d.info.err = jpeg_std_error(&failure.manager);
    failure.manager.error_exit = jpeg_fail;
    if (setjmp(failure.jump)) {
        error = std::string("not a readable JPEG: ") + failure.message;
        return nullptr;
    }
    jpeg_create_decompress(&d.info);
    jpeg_mem_src(&d.info, bytes.data(), static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&d.info, TRUE);
    components = d.info.num_components;
    if (d.info.jpeg_color_space == JCS_CMYK || d.info.jpeg_color_space == JCS_YCCK)
        d.info.out_color_space = JCS_CMYK;
    else
        d.info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&d.info);
    unsigned width = d.info.output_width, height = d.info.output_height;
    if (width == 0 || height == 0 || width > pdf_max_side || height > pdf_max_side ||
        static_cast<unsigned long long>(width) * height > pdf_max_pixels) {
        error = "the picture of " + std::to_string(width) + "x" + std::to_string(height) + " pixels is too large";
        return nullptr;
    }
    d.surface.reset(cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(width), static_cast<int>(height)));
    if (cairo_surface_status(d.surface.get()) != CAIRO_STATUS_SUCCESS) {
        error = "no memory for the picture";
        return nullptr;
    }
    cairo_surface_flush(d.surface.get());
    unsigned char* pixels = cairo_image_surface_get_data(d.surface.get());
    int stride = cairo_image_surface_get_stride(d.surface.get());
    std::vector<unsigned char>& row = d.row;
    row.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(d.info.output_components));
    while (d.info.output_scanline < height) {
        unsigned y = d.info.output_scanline;
        JSAMPROW rows[1] = {row.data()};
        jpeg_read_scanlines(&d.info, rows, 1);
        auto* out = reinterpret_cast<std::uint32_t*>(pixels + static_cast<std::ptrdiff_t>(y) * stride);
        for (unsigned x = 0; x < width; ++x) {
            const unsigned char* p = row.data() + static_cast<std::size_t>(x) * d.info.output_components;
            if (d.info.out_color_space == JCS_CMYK) {
                // Adobe's CMYK JPEGs store the values inverted.
                unsigned k = p[3];
                out[x] = rgb(p[0] * k / 255, p[1] * k / 255, p[2] * k / 255);
            } else {
                out[x] = rgb(p[0], p[1], p[2]);
            }
        }
    }
    jpeg_finish_decompress(&d.info);
    cairo_surface_mark_dirty(d.surface.get());
    return std::move(d.surface);
}

bool read_whole_file(const std::string& path, std::vector<unsigned char>& bytes, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "cannot read '" + path + "'";
        return false;
    }
    return true;
}

}  // namespace

pdf_pages_ptr pdf_pages_open(pdf_sink sink)
{
    pdf_pages_ptr pages(std::make_unique<pdf_pages>().release());
    pages->sink = std::move(sink);
    // The size is set again for every page.
    pages->document.reset(cairo_pdf_surface_create_for_stream(write_to_sink, pages.get(), 612, 792));
    if (cairo_surface_status(pages->document.get()) != CAIRO_STATUS_SUCCESS)
        return nullptr;
    cairo_pdf_surface_restrict_to_version(pages->document.get(), CAIRO_PDF_VERSION_1_5);
    return pages;
}

bool pdf_begin_raster_page(pdf_pages& pages, const raster_page_format& format, std::string& error)
{
    if (!raster_page_acceptable(format, error))
        return false;
    pages.format = format;
    pages.raster.reset(cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(format.width),
                                                  static_cast<int>(format.height)));
    if (cairo_surface_status(pages.raster.get()) != CAIRO_STATUS_SUCCESS) {
        pages.raster.reset();
        error = "no memory for a page of " + std::to_string(format.width) + "x" + std::to_string(format.height) +
                " pixels";
        return false;
    }
    cairo_surface_flush(pages.raster.get());
    return true;
}

void pdf_raster_line(pdf_pages& pages, unsigned y, const unsigned char* line)
{
    const raster_page_format& f = pages.format;
    if (!pages.raster || y >= f.height)
        return;
    unsigned char* data = cairo_image_surface_get_data(pages.raster.get());
    int stride = cairo_image_surface_get_stride(pages.raster.get());
    auto* out = reinterpret_cast<std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
    for (unsigned x = 0; x < f.width; ++x) {
        switch (f.colour) {
        case raster_colour::srgb_8:
            out[x] = rgb(line[3 * x], line[3 * x + 1], line[3 * x + 2]);
            break;
        case raster_colour::sgray_8:
            out[x] = rgb(line[x], line[x], line[x]);
            break;
        case raster_colour::black_8: {
            unsigned v = 255u - line[x];
            out[x] = rgb(v, v, v);
            break;
        }
        case raster_colour::black_1:
            out[x] = (line[x / 8] & (0x80 >> (x % 8))) ? 0u : rgb(255, 255, 255);
            break;
        }
    }
}

bool pdf_end_raster_page(pdf_pages& pages, std::string& error)
{
    if (!pages.raster) {
        error = "no page was begun";
        return false;
    }
    surface_ptr image = std::move(pages.raster);
    cairo_surface_mark_dirty(image.get());
    const raster_page_format& f = pages.format;
    double sx = 72.0 / f.x_dpi, sy = 72.0 / f.y_dpi;
    return draw_page(pages, image.get(), f.width * sx, f.height * sy, 0, 0, sx, sy, error);
}

bool pdf_add_picture_page(pdf_pages& pages, const std::string& path, std::string_view format, const page_box& page,
                          std::string& error)
{
    surface_ptr image;
    if (format == "image/png") {
        image.reset(cairo_image_surface_create_from_png(path.c_str()));
        cairo_status_t status = cairo_surface_status(image.get());
        if (status != CAIRO_STATUS_SUCCESS) {
            error = "not a readable PNG: " + status_text(status);
            return false;
        }
        int w = cairo_image_surface_get_width(image.get()), h = cairo_image_surface_get_height(image.get());
        if (static_cast<unsigned long long>(w) * static_cast<unsigned long long>(h) > pdf_max_pixels) {
            error = "the picture is too large";
            return false;
        }
    } else if (format == "image/jpeg") {
        std::vector<unsigned char> bytes;
        if (!read_whole_file(path, bytes, error))
            return false;
        int components = 0;
        image = decode_jpeg(bytes, components, error);
        if (!image)
            return false;
        // Grey and colour JPEGs go into the PDF as they are, without decoding and encoding again.
        if (components == 1 || components == 3) {
            pages.kept.push_back(std::move(bytes));
            const std::vector<unsigned char>& kept = pages.kept.back();
            cairo_surface_set_mime_data(image.get(), CAIRO_MIME_TYPE_JPEG, kept.data(), kept.size(), nullptr, nullptr);
        }
    } else {
        error = "pictures of type '" + std::string(format) + "' are not read";
        return false;
    }
    double w = cairo_image_surface_get_width(image.get()), h = cairo_image_surface_get_height(image.get());
    double room_w = page.width - page.left - page.right, room_h = page.height - page.top - page.bottom;
    if (room_w <= 0 || room_h <= 0) {
        error = "the page has no printable area";
        return false;
    }
    double scale = std::min(room_w / w, room_h / h);
    double x = page.left + (room_w - w * scale) / 2, y = page.top + (room_h - h * scale) / 2;
    return draw_page(pages, image.get(), page.width, page.height, x, y, scale, scale, error);
}

bool pdf_pages_finish(pdf_pages& pages, std::string& error)
{
    if (pages.pages == 0) {
        error = "the document has no page";
        return false;
    }
    cairo_surface_finish(pages.document.get());
    cairo_status_t status = cairo_surface_status(pages.document.get());
    if (status != CAIRO_STATUS_SUCCESS || pages.sink_failed) {
        error = pages.sink_failed ? "the document could not be written" : "cairo: " + status_text(status);
        return false;
    }
    return true;
}

unsigned pdf_page_count(const pdf_pages& pages) { return pages.pages; }
