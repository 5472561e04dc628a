#include "sync/SyncState.h"

#include <cstring>

SyncState syncState;

namespace {

// Each second come since clears the slot it takes over; a long quiet clears them all once.
void ExpireSteps(StepWindow& window, int64_t nowMs) {
    const int64_t now = nowMs / 1000;
    int64_t from = window.upTo + 1;
    if (now - from >= StepWindow::kSlots) from = now - StepWindow::kSlots + 1;
    for (int64_t t = from; t <= now; ++t) {
        double& slot = window.seconds[t % StepWindow::kSlots];
        window.total -= slot;
        slot = 0;
    }
    if (now > window.upTo) window.upTo = now;
    if (window.total < 1e-9) window.total = 0;  // what subtracting left of nothing
}

}  // namespace

double StepsWithin(const StepWindow& window, int64_t nowMs) {
    const int64_t now = nowMs / 1000;
    if (now - window.upTo >= StepWindow::kSlots) return 0;
    double total = window.total;
    for (int64_t t = window.upTo + 1; t <= now; ++t) total -= window.seconds[t % StepWindow::kSlots];
    return total < 1e-9 ? 0 : total;
}

void AddStep(StepWindow& window, int64_t atMs, double seconds) {
    ExpireSteps(window, atMs);
    window.seconds[(atMs / 1000) % StepWindow::kSlots] += seconds;
    window.total += seconds;
}

const NtpTime* LatestUnder(const SyncState& sync, uint32_t key) {
    for (const KeyFreshness& f : sync.freshness)
        if (f.key == key) return &f.latest;
    return nullptr;
}

void SetLatest(SyncState& sync, uint32_t key, NtpTime latest) {
    for (KeyFreshness& f : sync.freshness) {
        if (f.key == key) {
            f.latest = latest;
            return;
        }
    }
    sync.freshness.push_back({key, latest});
}

void AdvanceLatest(SyncState& sync, uint32_t key, NtpTime t) {
    const NtpTime* latest = LatestUnder(sync, key);
    if (latest == nullptr || (t - *latest).Seconds() > 0) SetLatest(sync, key, t);
}

int FindPoll(const SyncState& sync, uint32_t server, const uint8_t* transmit) {
    if (server == 0) return -1;
    for (int i = 0; i < kMaxPolls; ++i)
        if (sync.polls[i].server == server && sync.polls[i].waiting &&
            std::memcmp(sync.polls[i].transmit, transmit, kTimestampSize) == 0)
            return i;
    return -1;
}

bool AwaitingReply(const SyncState& sync) {
    for (const Poll& poll : sync.polls)
        if (poll.waiting) return true;
    return false;
}

bool AwaitsSignedReply(const SyncState& sync, uint32_t sender) {
    for (const Poll& poll : sync.polls)
        if (poll.waiting && poll.server == sender && poll.key != 0) return true;
    return false;
}
