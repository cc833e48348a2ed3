#pragma once
// The device of the flow printers ("velunio-file://<folder>?ext=pdf"). PAPPL keeps a
// printer's device open across back-to-back jobs, so the device itself cannot tell where
// one job ends; the driver marks each job's start and its successful end instead.

#include <pappl/pappl.h>

// Registers the scheme with PAPPL; call before the printers are created.
void register_flow_device();

// True when the job's printer writes through the flow device.
bool job_uses_flow_device(pappl_job_t* job);

// Starts the job's temporary file. False (and a job log line) when it cannot be created.
bool flow_job_begin(pappl_job_t* job, pappl_device_t* device);

// Flushes the job's bytes, makes them durable and gives the file its final ".pdf" name.
// False (and a job log line) when any write failed or the file cannot be published; the
// temporary file is then removed.
bool flow_job_commit(pappl_job_t* job, pappl_device_t* device);

// Drops the job's temporary file (failed or cancelled job).
void flow_job_discard(pappl_job_t* job, pappl_device_t* device);
