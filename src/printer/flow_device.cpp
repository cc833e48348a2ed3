#include "printer/flow_device.h"

#include "printer/flow_file.h"
#include "printer/service_config.h"

#include <cstring>
#include <memory>
#include <string>

namespace {

struct flow_device_state {
    std::string folder;
    flow_output_ptr output;     // the current job's file, if a job is open
    bool write_failed = false;  // a write of the current job was lost
    std::string error;
};

flow_device_state* state_of(pappl_device_t* device)
{
    return static_cast<flow_device_state*>(papplDeviceGetData(device));
}

bool flow_open(pappl_device_t* device, const char* device_uri, const char*)
{
    auto folder = flow_device_folder(device_uri ? device_uri : "");
    if (!folder) {
        papplDeviceError(device, "Bad device URI '%s'.", device_uri ? device_uri : "");
        return false;
    }
    auto state = std::make_unique<flow_device_state>();
    state->folder = *folder;
    papplDeviceSetData(device, state.release());
    return true;
}

void flow_close(pappl_device_t* device)
{
    // Whatever job is still open here did not end well: its file goes with the state.
    std::unique_ptr<flow_device_state> state(state_of(device));
    papplDeviceSetData(device, nullptr);
}

ssize_t flow_read(pappl_device_t*, void*, std::size_t) { return 0; }

ssize_t flow_write(pappl_device_t* device, const void* buffer, std::size_t bytes)
{
    flow_device_state* state = state_of(device);
    if (!state)
        return -1;
    if (!state->output) {
        state->write_failed = true;
        papplDeviceError(device, "Data written outside a job.");
        return -1;
    }
    if (state->write_failed)
        return -1;
    if (!flow_output_write(*state->output, buffer, bytes, state->error)) {
        state->write_failed = true;
        papplDeviceError(device, "Unable to write '%s': %s", flow_output_temp_path(*state->output).c_str(),
                         state->error.c_str());
        return -1;
    }
    return static_cast<ssize_t>(bytes);
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
    pappl_printer_t* printer = papplJobGetPrinter(job);
    const char* uri = printer ? papplPrinterGetDeviceURI(printer) : nullptr;
    return uri && std::strncmp(uri, flow_device_scheme, std::strlen(flow_device_scheme)) == 0 &&
           uri[std::strlen(flow_device_scheme)] == ':';
}

bool flow_job_begin(pappl_job_t* job, pappl_device_t* device)
{
    if (!job_uses_flow_device(job))
        return true;
    flow_device_state* state = state_of(device);
    if (!state) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Output device is not open.");
        return false;
    }
    // A previous job that never reached its end leaves nothing behind.
    state->output.reset();
    state->write_failed = false;
    state->error.clear();
    state->output = flow_output_create(state->folder, state->error);
    if (!state->output) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to create the output file in '%s': %s",
                    state->folder.c_str(), state->error.c_str());
        return false;
    }
    return true;
}

bool flow_job_commit(pappl_job_t* job, pappl_device_t* device)
{
    if (!job_uses_flow_device(job)) {
        papplDeviceFlush(device);
        return true;
    }
    flow_device_state* state = state_of(device);
    if (!state || !state->output) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "No output file to complete.");
        return false;
    }
    // PAPPL buffers device writes; every byte must reach the file before it is named.
    papplDeviceFlush(device);
    if (state->write_failed) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Output was not written completely: %s", state->error.c_str());
        state->output.reset();
        return false;
    }
    if (!flow_output_finish(*state->output, state->error)) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to save the output file: %s", state->error.c_str());
        state->output.reset();
        return false;
    }
    const char* job_name = papplJobGetName(job);
    std::string stem = job_file_stem(job_name ? job_name : "");
    for (int attempt = 1; attempt <= max_name_attempts; ++attempt) {
        std::string final_path = state->folder + "/" + job_file_name(stem, attempt);
        switch (flow_output_publish(*state->output, final_path, state->error)) {
        case publish_status::published:
            papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Saved '%s'.", final_path.c_str());
            state->output.reset();
            return true;
        case publish_status::name_taken:
            continue;
        case publish_status::failed:
            papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to name the output file '%s': %s",
                        final_path.c_str(), state->error.c_str());
            state->output.reset();
            return false;
        }
    }
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "No free file name for '%s' in '%s'.", stem.c_str(),
                state->folder.c_str());
    state->output.reset();
    return false;
}

void flow_job_discard(pappl_job_t* job, pappl_device_t* device)
{
    if (!job_uses_flow_device(job))
        return;
    if (flow_device_state* state = state_of(device))
        state->output.reset();
}
