#pragma once

#include <cstdint>
#include <vector>

// RateLimit: each source's requests are answered on average once every interval, with bursts of up to
// burst, as a bucket of credit (chrony's ratelimit is the model). Sources share a table of fixed size,
// made at start: a flood of spoofed sources cannot grow it, and a source that finds its entry taken by
// another starts a fresh bucket there. Only the worker touches it.
struct RateLimitTable {
    struct Source {
        uint32_t address = 0;  // network byte order; 0: none yet
        int64_t creditMs = 0;
        int64_t lastMs = 0;  // MonotonicMs of its last request
    };
    std::vector<Source> sources;  // empty: no limit
    uint32_t salt = 0;            // so that no one can aim a flood of sources at another's entry
    int64_t intervalMs = 0;
    int64_t burst = 0;
};
constexpr int kRateLimitSources = 4096;

// An empty table when seconds is 0; otherwise one for the interval and burst.
RateLimitTable MakeRateLimitTable(uint32_t seconds, uint32_t burst, uint32_t salt);
// Whether a request from address at nowMs is beyond its limit (and is to be dropped); counts it if not.
bool RateLimited(RateLimitTable& table, uint32_t address, int64_t nowMs);

extern RateLimitTable rateLimit;
