#include "printer/printer_driver.h"

#include "printer/flow_device.h"
#include "printer/job_claims.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

pappl_pr_driver_t driver_table[1] = {
    {velunio_driver_name, "Velunio Printaro", nullptr, nullptr},
};

namespace {

constexpr const char* office_media[] = {
    "na_index-3x5_3x5in", "na_index-4x6_4x6in", "na_number-10_4.125x9.5in", "na_5x7_5x7in",
    "na_letter_8.5x11in", "na_legal_8.5x14in",  "iso_a6_105x148mm",         "iso_dl_110x220mm",
    "iso_a5_148x210mm",   "iso_a4_210x297mm",   "custom_max_8.5x14in",      "custom_min_3x5in",
};
constexpr const char* office_sources[] = {"main", "alternate", "manual", "by-pass-tray"};
constexpr const char* office_types[] = {
    "stationery",          "stationery-letterhead", "labels",       "photographic",
    "photographic-glossy", "photographic-matte",    "transparency", "envelope",
};
constexpr int office_margin = 423;  // hundredths of a millimetre, all four sides

// The job's claim, settled on every way out: a second thread of the job waits for it.
struct claim_guard {
    job_claim claim;
    bool settled = false;
    explicit claim_guard(pappl_job_t* job) : claim(claim_job(papplPrinterGetID(papplJobGetPrinter(job)), papplJobGetID(job))) {}
    claim_guard(const claim_guard&) = delete;
    claim_guard& operator=(const claim_guard&) = delete;
    ~claim_guard()
    {
        if (claim.owner && !settled)
            settle_job_claim(claim, false);
    }
    bool settle(bool succeeded)
    {
        settled = true;
        settle_job_claim(claim, succeeded);
        return succeeded;
    }
};

// A thread the library started for a job that another thread already prints: no output of
// its own, the other thread's result as its own.
bool follow_owner(pappl_job_t* job, const claim_guard& guard)
{
    papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "The job is already being printed; waiting for its result.");
    return wait_for_job_claim(guard.claim);
}

// A job's output: its flow file, with a PDF document written into it for pages that do not
// arrive as PDF.
struct job_output {
    pappl_job_t* job = nullptr;
    std::optional<flow_job_output> file;
    pdf_pages_ptr pdf;
};

bool begin_pdf_output(job_output& out, pappl_job_t* job)
{
    out.job = job;
    if (!job_uses_flow_device(job)) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The printer has no output folder.");
        return false;
    }
    out.file = flow_job_begin(job);
    if (!out.file)
        return false;
    out.pdf = pdf_pages_open([&out](const unsigned char* data, std::size_t size) {
        return flow_job_write(out.job, *out.file, data, size);
    });
    if (!out.pdf) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to start a PDF document.");
        return false;
    }
    return true;
}

// Ends the PDF and gives the file its name; false (and the file removed) on any failure.
bool finish_pdf_output(job_output& out)
{
    std::string error;
    if (!pdf_pages_finish(*out.pdf, error)) {
        papplLogJob(out.job, PAPPL_LOGLEVEL_ERROR, "Unable to complete the PDF document: %s", error.c_str());
        papplJobSetReasons(out.job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, PAPPL_JREASON_NONE);
        return false;
    }
    out.pdf.reset();
    bool saved = flow_job_commit(out.job, *out.file);
    out.file.reset();  // removes the file unless it was published
    return saved;
}

struct raster_job_data {
    claim_guard guard;
    bool owner = false;
    job_output out;
    unsigned pages_started = 0;
    unsigned pages_completed = 0;
    unsigned lines_written = 0;
    unsigned page_height = 0;
    bool failed = false;
    explicit raster_job_data(pappl_job_t* job) : guard(job), owner(guard.claim.owner) {}
};

raster_job_data* raster_data_of(pappl_job_t* job) { return static_cast<raster_job_data*>(papplJobGetData(job)); }

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

bool readable(const char* path)
{
    std::unique_ptr<std::FILE, file_closer> file(std::fopen(path, "rb"));
    return file != nullptr;
}

}  // namespace

bool driver_callback(pappl_system_t* system, const char* driver_name, const char* device_uri,
                     const char* device_id, pappl_pr_driver_data_t* driver_data, ipp_t** driver_attrs, void*)
{
    if (!pwg_driver_setup(system, driver_name, device_uri, device_id, driver_data, driver_attrs,
                          const_cast<char*>(driver_callback_data)))
        return false;
    driver_data->format = "application/pdf";
    driver_data->status_cb = driver_status;
    return true;
}

bool pwg_driver_setup(pappl_system_t* system, const char* driver_name, const char* device_uri, const char*,
                      pappl_pr_driver_data_t* data, ipp_t** driver_attrs, void* cbdata)
{
    if (!driver_name || !device_uri || !data || !driver_attrs) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Driver callback called without required information.");
        return false;
    }
    if (!cbdata || std::strcmp(static_cast<const char*>(cbdata), driver_callback_data) != 0) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Driver callback called with bad data pointer.");
        return false;
    }

    constexpr auto gray_types = static_cast<pappl_raster_type_t>(
        PAPPL_PWG_RASTER_TYPE_BLACK_1 | PAPPL_PWG_RASTER_TYPE_BLACK_8 | PAPPL_PWG_RASTER_TYPE_SGRAY_8);
    if (std::strstr(driver_name, "-black_1")) {
        data->raster_types = gray_types;
        data->force_raster_type = PAPPL_PWG_RASTER_TYPE_BLACK_1;
    } else if (std::strstr(driver_name, "-sgray_8")) {
        data->raster_types = gray_types;
    } else if (std::strstr(driver_name, "-srgb_8")) {
        data->raster_types = static_cast<pappl_raster_type_t>(gray_types | PAPPL_PWG_RASTER_TYPE_SRGB_8);
    } else {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unsupported driver name '%s'.", driver_name);
        return false;
    }

    data->identify_cb = driver_identify;
    data->identify_default = PAPPL_IDENTIFY_ACTIONS_SOUND;
    data->identify_supported =
        static_cast<pappl_identify_actions_t>(PAPPL_IDENTIFY_ACTIONS_DISPLAY | PAPPL_IDENTIFY_ACTIONS_SOUND);
    data->orient_default = IPP_ORIENT_NONE;
    data->printfile_cb = driver_print_file;
    data->rendjob_cb = driver_end_job;
    data->rendpage_cb = driver_end_page;
    data->rstartjob_cb = driver_start_job;
    data->rstartpage_cb = driver_start_page;
    data->rwriteline_cb = driver_write_line;
    data->status_cb = driver_status;
    data->testpage_cb = driver_test_page;
    data->quality_default = IPP_QUALITY_NORMAL;
    data->format = "image/pwg-raster";
    data->num_resolution = 0;

    for (int dpi : {203, 300, 600}) {
        std::string token = "-" + std::to_string(dpi) + "dpi";
        if (std::strstr(driver_name, token.c_str()) && data->num_resolution < PAPPL_MAX_RESOLUTION) {
            data->x_resolution[data->num_resolution] = dpi;
            data->y_resolution[data->num_resolution] = dpi;
            data->num_resolution++;
            data->x_default = data->y_default = dpi;
        }
    }
    if (data->num_resolution == 0) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "No resolution information in driver name '%s'.", driver_name);
        return false;
    }

    if (std::strstr(driver_name, "-pdf"))
        data->format = "application/pdf";

    if (std::strncmp(driver_name, "pwg_common-", 11) != 0) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "No dimension information in driver name '%s'.", driver_name);
        return false;
    }

    papplCopyString(data->make_and_model, "Sign Myself (Velunio)", sizeof(data->make_and_model));
    data->kind = static_cast<pappl_kind_t>(PAPPL_KIND_DOCUMENT | PAPPL_KIND_PHOTO | PAPPL_KIND_POSTCARD);
    data->ppm = 5;
    data->ppm_color = 2;
    data->has_supplies = true;
    data->borderless = true;
    data->left_right = office_margin;
    data->bottom_top = office_margin;
    data->finishings = static_cast<pappl_finishings_t>(PAPPL_FINISHINGS_PUNCH | PAPPL_FINISHINGS_STAPLE);
    data->sides_supported = static_cast<pappl_sides_t>(PAPPL_SIDES_ONE_SIDED | PAPPL_SIDES_TWO_SIDED_LONG_EDGE |
                                                       PAPPL_SIDES_TWO_SIDED_SHORT_EDGE);
    data->sides_default = PAPPL_SIDES_TWO_SIDED_LONG_EDGE;

    data->num_media = static_cast<int>(std::size(office_media));
    for (int i = 0; i < data->num_media; ++i)
        data->media[i] = office_media[i];
    data->num_source = static_cast<int>(std::size(office_sources));
    for (int i = 0; i < data->num_source; ++i)
        data->source[i] = office_sources[i];
    data->num_bin = 0;
    data->bin[data->num_bin++] = "center";
    if (data->raster_types & PAPPL_PWG_RASTER_TYPE_SRGB_8)
        data->bin[data->num_bin++] = "rear";
    data->bin_default = 0;

    papplCopyString(data->media_default.size_name, "na_letter_8.5x11in", sizeof(data->media_default.size_name));
    papplCopyString(data->media_ready[0].size_name, "na_letter_8.5x11in", sizeof(data->media_ready[0].size_name));
    papplCopyString(data->media_ready[1].size_name, "iso_a4_210x297mm", sizeof(data->media_ready[1].size_name));

    data->color_supported = static_cast<pappl_color_mode_t>(PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_AUTO_MONOCHROME |
                                                            PAPPL_COLOR_MODE_COLOR | PAPPL_COLOR_MODE_MONOCHROME);
    data->color_default = PAPPL_COLOR_MODE_AUTO;
    data->num_type = static_cast<int>(std::size(office_types));
    for (int i = 0; i < data->num_type; ++i)
        data->type[i] = office_types[i];
    papplCopyString(data->media_default.size_name, papplLocGetDefaultMediaSizeName(),
                    sizeof(data->media_default.size_name));

    for (int i = 0; i < data->num_source; ++i) {
        pappl_media_col_t& ready = data->media_ready[i];
        if (pwg_media_t* size = pwgMediaForPWG(ready.size_name)) {
            ready.bottom_margin = ready.top_margin = data->bottom_top;
            ready.left_margin = ready.right_margin = data->left_right;
            ready.size_width = size->width;
            ready.size_length = size->length;
            ready.tracking = PAPPL_MEDIA_TRACKING_MARK;
            papplCopyString(ready.source, data->source[i], sizeof(ready.source));
            papplCopyString(ready.type, data->type[0], sizeof(ready.type));
        }
        if (ready.size_name[0] && std::strcmp(data->media_default.size_name, ready.size_name) == 0)
            data->media_default = ready;
    }
    return true;
}

bool driver_status(pappl_printer_t* printer)
{
    papplPrinterSetReasons(printer, PAPPL_PREASON_NONE,
                           static_cast<pappl_preason_t>(PAPPL_PREASON_MEDIA_EMPTY | PAPPL_PREASON_MEDIA_LOW |
                                                        PAPPL_PREASON_MEDIA_NEEDED));
    return true;
}

namespace {

// Copies the document when it cannot be linked from the spool folder.
bool copy_document(pappl_job_t* job, const char* filename, flow_job_output& out)
{
    std::unique_ptr<std::FILE, file_closer> file(std::fopen(filename, "rb"));
    if (!file) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to open print file '%s': %s", filename, std::strerror(errno));
        return false;
    }
    std::vector<char> buffer(65536);
    while (true) {
        if (papplJobIsCanceled(job))
            return false;
        std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file.get());
        if (got > 0 && !flow_job_write(job, out, buffer.data(), got))
            return false;
        if (got < buffer.size())
            break;
    }
    // A short read must be the end of the file; a read error would leave a cut document.
    if (std::ferror(file.get())) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to read print file '%s': %s", filename, std::strerror(errno));
        return false;
    }
    return true;
}

bool print_document(pappl_job_t* job)
{
    const char* filename = papplJobGetFilename(job);
    if (!filename || !job_uses_flow_device(job)) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to open print file '%s': %s", filename ? filename : "",
                    "the job has no document or its printer no output folder");
        return false;
    }
    // The document is already a file on disk: link it rather than copy it.
    std::optional<flow_job_output> out = flow_job_link(job, filename);
    if (!out) {
        out = flow_job_begin(job);
        if (!out || !copy_document(job, filename, *out))
            return false;
    }
    if (papplJobIsCanceled(job))
        return false;
    return flow_job_commit(job, *out);
}

}  // namespace

bool driver_print_file(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*)
{
    claim_guard guard(job);
    if (!guard.claim.owner) {
        bool printed = follow_owner(job, guard);
        // The library counts a completed impression after every print-file call; this thread
        // printed nothing.
        if (printed)
            papplJobSetImpressionsCompleted(job, -1);
        return printed;
    }
    papplJobSetImpressions(job, 1);
    // The library counts the completed impression itself when this returns true.
    return guard.settle(print_document(job));
}

std::optional<raster_page_format> raster_format_of(const cups_page_header2_t& header)
{
    raster_page_format f;
    f.width = header.cupsWidth;
    f.height = header.cupsHeight;
    f.x_dpi = header.HWResolution[0];
    f.y_dpi = header.HWResolution[1];
    f.bytes_per_line = header.cupsBytesPerLine;
    unsigned bits = header.cupsBitsPerPixel;
    switch (header.cupsColorSpace) {
    case CUPS_CSPACE_RGB:
    case CUPS_CSPACE_SRGB:
    case CUPS_CSPACE_ADOBERGB:
        if (bits != 24)
            return std::nullopt;
        f.colour = raster_colour::srgb_8;
        break;
    case CUPS_CSPACE_W:
    case CUPS_CSPACE_SW:
        if (bits != 8)
            return std::nullopt;
        f.colour = raster_colour::sgray_8;
        break;
    case CUPS_CSPACE_K:
        if (bits != 8 && bits != 1)
            return std::nullopt;
        f.colour = bits == 8 ? raster_colour::black_8 : raster_colour::black_1;
        break;
    default:
        return std::nullopt;
    }
    if (header.cupsColorOrder != CUPS_ORDER_CHUNKED)
        return std::nullopt;
    return f;
}

bool driver_start_job(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*)
{
    auto data = std::make_unique<raster_job_data>(job);
    if (data->owner && !begin_pdf_output(data->out, job))
        return false;  // the claim settles as failed
    papplJobSetData(job, data.release());
    return true;
}

bool driver_start_page(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned page)
{
    raster_job_data* data = raster_data_of(job);
    if (!data || data->failed)
        return false;
    data->pages_started++;
    if (!data->owner)
        return true;
    data->lines_written = 0;
    data->page_height = options->header.cupsHeight;
    std::optional<raster_page_format> format = raster_format_of(options->header);
    std::string error = "unsupported raster format";
    if (!format || !pdf_begin_raster_page(*data->out.pdf, *format, error)) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to start page %u: %s", page, error.c_str());
        papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, PAPPL_JREASON_NONE);
        data->failed = true;
        return false;
    }
    return true;
}

bool driver_write_line(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned y,
                       const unsigned char* line)
{
    raster_job_data* data = raster_data_of(job);
    if (!data || data->failed)
        return false;
    if (!data->owner)
        return true;
    pdf_raster_line(*data->out.pdf, y, line);
    data->lines_written++;
    return true;
}

bool driver_end_page(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned page)
{
    raster_job_data* data = raster_data_of(job);
    if (!data || data->failed)
        return false;
    if (!data->owner)
        return true;
    // The library ignores the result of a line write; a short page is caught here.
    if (data->lines_written != data->page_height) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Page %u is incomplete: %u of %u lines.", page, data->lines_written,
                    data->page_height);
        papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
        data->failed = true;
        return false;
    }
    std::string error;
    if (!pdf_end_raster_page(*data->out.pdf, error)) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to add page %u to the PDF document: %s", page, error.c_str());
        data->failed = true;
        return false;
    }
    data->pages_completed++;
    return true;
}

bool driver_end_job(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*)
{
    std::unique_ptr<raster_job_data> data(raster_data_of(job));
    papplJobSetData(job, nullptr);
    if (!data)
        return false;
    if (!data->owner) {
        bool printed = follow_owner(job, data->guard);
        // The library counted an impression for every page this thread was shown.
        if (data->pages_started > 0)
            papplJobSetImpressionsCompleted(job, -static_cast<int>(data->pages_started));
        return printed;
    }
    if (papplJobIsCanceled(job)) {
        data->guard.settle(false);
        return true;  // the library ends it cancelled either way
    }
    if (data->failed || papplJobGetState(job) != IPP_JSTATE_PROCESSING)
        return data->guard.settle(false);
    if (data->pages_completed == 0 || data->pages_completed != data->pages_started) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "No complete raster page was produced.");
        papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, PAPPL_JREASON_NONE);
        return data->guard.settle(false);
    }
    return data->guard.settle(finish_pdf_output(data->out));
}

bool driver_filter_picture(pappl_job_t* job, pappl_device_t*, void*)
{
    claim_guard guard(job);
    if (!guard.claim.owner)
        return follow_owner(job, guard);
    const char* filename = papplJobGetFilename(job);
    const char* format = papplJobGetFormat(job);
    papplJobSetImpressions(job, 1);
    std::unique_ptr<pappl_pr_options_t, void (*)(pappl_pr_options_t*)> options(
        papplJobCreatePrintOptions(job, 1, true), papplJobDeletePrintOptions);
    job_output out;
    if (!filename || !format || !options || !begin_pdf_output(out, job))
        return guard.settle(false);
    std::string error;
    if (!pdf_add_picture_page(*out.pdf, filename, format, page_box_of(*options), error)) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to print the picture: %s", error.c_str());
        papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
        return guard.settle(false);
    }
    if (papplJobIsCanceled(job) || !finish_pdf_output(out))
        return guard.settle(false);
    papplJobSetImpressionsCompleted(job, 1);
    return guard.settle(true);
}

page_box page_box_of(const pappl_pr_options_t& options)
{
    // Media sizes and margins are in hundredths of a millimetre.
    auto points = [](int hundredths) { return hundredths * 72.0 / 2540.0; };
    const pappl_media_col_t& m = options.media;
    page_box page{points(m.size_width), points(m.size_length), points(m.left_margin), points(m.right_margin),
                  points(m.top_margin), points(m.bottom_margin)};
    if (options.orientation_requested == IPP_ORIENT_LANDSCAPE ||
        options.orientation_requested == IPP_ORIENT_REVERSE_LANDSCAPE) {
        std::swap(page.width, page.height);
        std::swap(page.left, page.top);
        std::swap(page.right, page.bottom);
    }
    return page;
}

void driver_identify(pappl_printer_t*, pappl_identify_actions_t, const char* message)
{
    std::fputc(7, stdout);
    if (message) {
        std::fputs(message, stdout);
        std::fputc('\n', stdout);
    }
    std::fflush(stdout);
}

const char* driver_test_page(pappl_printer_t* printer, char* buffer, std::size_t bufsize)
{
    if (!buffer || bufsize == 0)
        return nullptr;
    pappl_pr_driver_data_t data{};
    papplPrinterGetDriverData(printer, &data);
    const char* name = (data.color_supported & PAPPL_COLOR_MODE_COLOR) ? "portrait-color.png" : "portrait-gray.png";
    papplCopyString(buffer, name, bufsize);
    if (!readable(buffer))
        std::snprintf(buffer, bufsize, "testsuite/%s", name);
    if (readable(buffer))
        return buffer;
    buffer[0] = '\0';
    return nullptr;
}
