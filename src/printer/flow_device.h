#pragma once
// The flow printers' device ("velunio-file://<folder>?ext=pdf") and the output of their jobs.
//
// Each job owns its output: a temporary file in the folder that takes its final ".pdf" name
// only when the driver reports the job's output complete. PAPPL 1.3 may keep a printer's
// device open across back-to-back jobs, and closes it in one job's thread while the next
// job may already hold it, so nothing of a job's output lives in the device itself.

#include "printer/flow_file.h"

#include <pappl/pappl.h>

#include <cstddef>
#include <optional>
#include <string>

// Registers the scheme with PAPPL; call before the printers are created.
void register_flow_device();

// True when the job's printer is a flow printer.
bool job_uses_flow_device(pappl_job_t* job);

// One job's output, held by that job's driver callbacks alone. Destroying it before a
// successful commit removes the temporary file (failed or cancelled job).
struct flow_job_output {
    std::string folder;
    flow_output_ptr output;
    bool write_failed = false;
    std::string error;
};

// Starts the job's temporary file. Empty (and a job log line) when it cannot be created.
std::optional<flow_job_output> flow_job_begin(pappl_job_t* job);

// The job's document, already on disk in the printer library's spool folder, as the job's
// output without a copy. Empty when it cannot be linked there (the caller copies).
std::optional<flow_job_output> flow_job_link(pappl_job_t* job, const std::string& document);

// Appends to the job's file. False (and a job log line) when the bytes cannot be written.
bool flow_job_write(pappl_job_t* job, flow_job_output& output, const void* data, std::size_t size);

// Makes the job's bytes durable and gives the file its final ".pdf" name. False (and a job
// log line) when any write failed or the file cannot be named; dropping the output then
// removes the file.
bool flow_job_commit(pappl_job_t* job, flow_job_output& output);
