#include "printer/printer_driver.h"

#include "printer/flow_device.h"

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

struct raster_stream_closer {
    void operator()(cups_raster_t* stream) const { cupsRasterClose(stream); }
};


// Where a job's bytes go: a flow printer's job file, or the device of any other printer.
// The job's callbacks own the sink, so no other job can reach its output.
struct job_sink {
    pappl_job_t* job = nullptr;
    pappl_device_t* device = nullptr;
    bool flow = false;
    std::optional<flow_job_output> output;
};

job_sink sink_for(pappl_job_t* job, pappl_device_t* device)
{
    job_sink sink;
    sink.job = job;
    sink.device = device;
    sink.flow = job_uses_flow_device(job);
    return sink;
}

bool begin_output(job_sink& sink)
{
    if (!sink.flow)
        return true;
    sink.output = flow_job_begin(sink.job);
    return sink.output.has_value();
}

bool write_output(job_sink& sink, const void* data, std::size_t size)
{
    if (!sink.flow)
        return papplDeviceWrite(sink.device, data, size) >= 0;
    if (!sink.output) {
        papplLogJob(sink.job, PAPPL_LOGLEVEL_ERROR, "No output file is open for the job.");
        return false;
    }
    return flow_job_write(sink.job, *sink.output, data, size);
}

bool commit_output(job_sink& sink)
{
    if (!sink.flow) {
        papplDeviceFlush(sink.device);
        return true;
    }
    if (!sink.output) {
        papplLogJob(sink.job, PAPPL_LOGLEVEL_ERROR, "No output file to complete.");
        return false;
    }
    bool saved = flow_job_commit(sink.job, *sink.output);
    sink.output.reset();  // closes the file; removes it unless it was published
    return saved;
}

void discard_output(job_sink& sink) { sink.output.reset(); }

ssize_t write_to_sink(void* ctx, unsigned char* buffer, std::size_t length)
{
    return write_output(*static_cast<job_sink*>(ctx), buffer, length) ? static_cast<ssize_t>(length) : -1;
}

struct raster_job_data {
    job_sink sink{};
    std::unique_ptr<cups_raster_t, raster_stream_closer> stream;
    std::vector<unsigned char> line;  // the library hands lines as const; libcups wants them writable
    unsigned pages_started = 0;
    unsigned pages_completed = 0;
    unsigned lines_written = 0;
    unsigned page_height = 0;
    bool failed = false;
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

bool driver_print_file(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device)
{
    papplJobSetImpressions(job, 1);
    const char* filename = papplJobGetFilename(job);
    std::unique_ptr<std::FILE, file_closer> file(filename ? std::fopen(filename, "rb") : nullptr);
    if (!file) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to open print file '%s': %s", filename ? filename : "",
                    std::strerror(errno));
        return false;
    }
    job_sink sink = sink_for(job, device);
    if (!begin_output(sink))
        return false;

    std::vector<char> buffer(65536);
    while (true) {
        if (papplJobIsCanceled(job)) {
            discard_output(sink);
            return false;
        }
        std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file.get());
        if (got > 0 && !write_output(sink, buffer.data(), got)) {
            papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to write print file '%s' to the device.", filename);
            discard_output(sink);
            return false;
        }
        if (got < buffer.size())
            break;
    }
    // A short read must be the end of the file; a read error would leave a cut document.
    if (std::ferror(file.get())) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to read print file '%s': %s", filename, std::strerror(errno));
        discard_output(sink);
        return false;
    }
    file.reset();
    if (papplJobIsCanceled(job)) {
        discard_output(sink);
        return false;
    }
    if (!commit_output(sink))
        return false;
    papplJobSetImpressionsCompleted(job, 1);
    return true;
}

bool driver_start_job(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device)
{
    auto data = std::make_unique<raster_job_data>();
    data->sink = sink_for(job, device);
    if (!begin_output(data->sink))
        return false;
    data->stream.reset(cupsRasterOpenIO(write_to_sink, &data->sink, CUPS_RASTER_WRITE_PWG));
    if (!data->stream) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to open the PWG raster stream: %s", cupsLastErrorString());
        papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, PAPPL_JREASON_NONE);
        discard_output(data->sink);
        return false;
    }
    papplJobSetData(job, data.release());
    return true;
}

bool driver_start_page(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned page)
{
    raster_job_data* data = raster_data_of(job);
    if (!data || data->failed)
        return false;
    data->pages_started++;
    data->lines_written = 0;
    data->page_height = options->header.cupsHeight;
    data->line.assign(options->header.cupsBytesPerLine, 0);
    if (options->header.cupsBytesPerLine == 0 || options->header.cupsHeight == 0 ||
        !cupsRasterWriteHeader2(data->stream.get(), &options->header)) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to write the raster header of page %u.", page);
        papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, PAPPL_JREASON_NONE);
        data->failed = true;
        return false;
    }
    return true;
}

bool driver_write_line(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned y,
                       const unsigned char* line)
{
    raster_job_data* data = raster_data_of(job);
    if (!data || data->failed)
        return false;
    unsigned bytes = options->header.cupsBytesPerLine;
    if (data->line.size() != bytes)
        data->line.assign(bytes, 0);
    std::memcpy(data->line.data(), line, bytes);
    if (cupsRasterWritePixels(data->stream.get(), data->line.data(), bytes) != bytes) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to write raster line %u.", y);
        data->failed = true;
        return false;
    }
    data->lines_written++;
    return true;
}

bool driver_end_page(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned page)
{
    raster_job_data* data = raster_data_of(job);
    if (!data || data->failed)
        return false;
    // The library ignores the result of a line write; a short page is caught here.
    if (data->lines_written != data->page_height) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Page %u is incomplete: %u of %u lines.", page, data->lines_written,
                    data->page_height);
        papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
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
    data->stream.reset();  // writes what the stream still holds
    if (papplJobIsCanceled(job)) {
        discard_output(data->sink);
        return true;
    }
    if (data->failed || papplJobGetState(job) != IPP_JSTATE_PROCESSING) {
        discard_output(data->sink);
        return false;
    }
    if (data->pages_completed == 0 || data->pages_completed != data->pages_started) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "No complete raster page was produced.");
        papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, PAPPL_JREASON_NONE);
        discard_output(data->sink);
        return false;
    }
    return commit_output(data->sink);
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
