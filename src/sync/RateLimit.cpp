#include "sync/RateLimit.h"

RateLimitTable rateLimit;

RateLimitTable MakeRateLimitTable(uint32_t seconds, uint32_t burst, uint32_t salt) {
    RateLimitTable table;
    if (seconds == 0) return table;
    table.sources.resize(kRateLimitSources);
    table.salt = salt;
    table.intervalMs = int64_t{seconds} * 1000;
    table.burst = burst;
    return table;
}

bool RateLimited(RateLimitTable& table, uint32_t address, int64_t nowMs) {
    if (table.sources.empty()) return false;
    // Fibonacci hashing of the salted address: the top bits index the table.
    const uint32_t index = ((address ^ table.salt) * 2654435769u) >> 20;
    RateLimitTable::Source& source = table.sources[index % kRateLimitSources];
    const int64_t full = table.intervalMs * table.burst;
    if (source.address != address) source = {address, full, nowMs};
    int64_t credit = source.creditMs + (nowMs - source.lastMs);
    if (credit > full) credit = full;
    source.lastMs = nowMs;
    if (credit < table.intervalMs) {
        source.creditMs = credit;
        return true;
    }
    source.creditMs = credit - table.intervalMs;
    return false;
}
