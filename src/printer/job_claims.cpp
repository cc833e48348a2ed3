#include "printer/job_claims.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <utility>
#include <mutex>

struct job_claim_state {
    bool settled = false;
    bool succeeded = false;
    std::chrono::steady_clock::time_point settled_at;
};

namespace {

std::mutex claims_lock;
std::condition_variable claims_settled;
std::map<std::pair<int, int>, std::shared_ptr<job_claim_state>> claims;

// A second thread for a job starts within moments of the first; a settled claim is kept
// long past that and then dropped, so the table does not grow with every job printed.
constexpr auto keep_settled = std::chrono::minutes(10);

void drop_old_claims(std::chrono::steady_clock::time_point now)
{
    for (auto it = claims.begin(); it != claims.end();) {
        if (it->second->settled && now - it->second->settled_at > keep_settled)
            it = claims.erase(it);
        else
            ++it;
    }
}

}  // namespace

job_claim claim_job(int printer_id, int job_id)
{
    std::lock_guard guard(claims_lock);
    drop_old_claims(std::chrono::steady_clock::now());
    auto [it, inserted] = claims.try_emplace(std::pair{printer_id, job_id}, nullptr);
    if (inserted)
        it->second = std::make_shared<job_claim_state>();
    return {it->second, inserted};
}

void settle_job_claim(const job_claim& claim, bool succeeded)
{
    if (!claim.state)
        return;
    {
        std::lock_guard guard(claims_lock);
        claim.state->settled = true;
        claim.state->succeeded = succeeded;
        claim.state->settled_at = std::chrono::steady_clock::now();
    }
    claims_settled.notify_all();
}

bool wait_for_job_claim(const job_claim& claim)
{
    if (!claim.state)
        return false;
    std::unique_lock guard(claims_lock);
    claims_settled.wait(guard, [&] { return claim.state->settled; });
    return claim.state->succeeded;
}

void reset_job_claims()
{
    std::lock_guard guard(claims_lock);
    claims.clear();
}
