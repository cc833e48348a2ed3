#pragma once
// One output per job, however many threads the printer library starts for it.
//
// PAPPL 1.3.1 looks for a printer's next job without its lock and marks a job as processing
// only once the thread started for it runs; two looks in that gap (a finished job's and a
// new job's submission) start two threads for the same pending job. Each thread calls the
// driver. The first caller for a job id produces its output; any other waits for that result
// and reports it, so the job lands once and ends with the state its file deserves. Job ids
// count per printer, so a claim names both.

#include <memory>
#include <optional>

struct job_claim_state;  // shared by the threads of one job

struct job_claim {
    std::shared_ptr<job_claim_state> state;
    bool owner = false;
};

// Claims the job for the calling thread; `owner` is false when another thread has it.
job_claim claim_job(int printer_id, int job_id);

// The owner's result, handed to every other thread of the job. Only the owner settles.
void settle_job_claim(const job_claim& claim, bool succeeded);

// For a thread that is not the owner: waits for the owner's result.
bool wait_for_job_claim(const job_claim& claim);

// Forgets every claim: job ids start at 1 again with each new printer system.
void reset_job_claims();
