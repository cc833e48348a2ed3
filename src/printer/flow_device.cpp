#include "printer/flow_device.h"

#include "printer/flow_file.h"
#include "printer/service_config.h"

#include <cstring>
#include <string>

namespace {

bool flow_open(pappl_device_t* device, const char* device_uri, const char*)
{
    // The device holds nothing; opening only checks that the URI names a folder.
    if (!flow_device_folder(device_uri ? device_uri : "")) {
        papplDeviceError(device, "Bad device URI '%s'.", device_uri ? device_uri : "");
        return false;
    }
    return true;
}

void flow_close(pappl_device_t*) {}

ssize_t flow_read(pappl_device_t*, void*, std::size_t) { return 0; }

ssize_t flow_write(pappl_device_t* device, const void*, std::size_t)
{
    papplDeviceError(device, "Flow printers take their jobs' bytes from the driver only.");
    return -1;
}

pappl_preason_t flow_status(pappl_device_t*) { return PAPPL_PREASON_NONE; }

bool flow_list(pappl_device_cb_t, void*, pappl_deverror_cb_t, void*) { return false; }

// How many "-<n>" variants of a name are tried before the job gives up.
constexpr int max_name_attempts = 1000;

}  // namespace

void register_flow_device()
{
    papplDeviceAddScheme(flow_device_scheme, PAPPL_DEVTYPE_CUSTOM_LOCAL, flow_list, flow_open, flow_close,
                         flow_read, flow_write, flow_status, nullptr);
}

bool job_uses_flow_device(pappl_job_t* job)
{
    pappl_printer_t* printer = job ? papplJobGetPrinter(job) : nullptr;
    const char* uri = printer ? papplPrinterGetDeviceURI(printer) : nullptr;
    std::size_t length = std::strlen(flow_device_scheme);
    return uri && std::strncmp(uri, flow_device_scheme, length) == 0 && uri[length] == ':';
}

std::optional<flow_job_output> flow_job_begin(pappl_job_t* job)
{
    pappl_printer_t* printer = papplJobGetPrinter(job);
    auto folder = flow_device_folder(printer ? papplPrinterGetDeviceURI(printer) : "");
    if (!folder) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The printer has no output folder.");
        return std::nullopt;
    }
    std::optional<flow_job_output> fresh(std::in_place);
    fresh->folder = *folder;
    fresh->output = flow_output_create(fresh->folder, fresh->error);
    if (!fresh->output) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to create the output file in '%s': %s", fresh->folder.c_str(),
                    fresh->error.c_str());
        return std::nullopt;
    }
    return fresh;
}

std::optional<flow_job_output> flow_job_link(pappl_job_t* job, const std::string& document)
{
    pappl_printer_t* printer = papplJobGetPrinter(job);
    auto folder = flow_device_folder(printer ? papplPrinterGetDeviceURI(printer) : "");
    if (!folder)
        return std::nullopt;
    std::optional<flow_job_output> linked(std::in_place);
    linked->folder = *folder;
    linked->output = flow_output_link(document, linked->folder, linked->error);
    if (!linked->output) {
        papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Copying the document: %s", linked->error.c_str());
        return std::nullopt;
    }
    return linked;
}

bool flow_job_write(pappl_job_t* job, flow_job_output& out, const void* data, std::size_t size)
{
    if (out.write_failed)
        return false;
    if (!flow_output_write(*out.output, data, size, out.error)) {
        out.write_failed = true;
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to write '%s': %s", flow_output_temp_path(*out.output).c_str(),
                    out.error.c_str());
        return false;
    }
    return true;
}

bool flow_job_commit(pappl_job_t* job, flow_job_output& out)
{
    if (out.write_failed) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Output was not written completely: %s", out.error.c_str());
        return false;
    }
    if (!flow_output_finish(*out.output, out.error)) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to save the output file: %s", out.error.c_str());
        return false;
    }
    const char* job_name = papplJobGetName(job);
    std::string stem = job_file_stem(job_name ? job_name : "");
    for (int attempt = 1; attempt <= max_name_attempts; ++attempt) {
        std::string final_path = out.folder + "/" + job_file_name(stem, attempt);
        switch (flow_output_publish(*out.output, final_path, out.error)) {
        case publish_status::published:
            papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Saved '%s'.", final_path.c_str());
            return true;
        case publish_status::name_taken:
            continue;
        case publish_status::failed:
            papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to name the output file '%s': %s", final_path.c_str(),
                        out.error.c_str());
            return false;
        }
    }
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "No free file name for '%s' in '%s'.", stem.c_str(), out.folder.c_str());
    return false;
}
