#include "sync/StatusKeys.h"

#include <cstring>

namespace {

constexpr StatusKeyInfo kKeys[kStatusKeyCount] = {
    {"version", true, true},
    {"pid", true, true},
    {"mode", false, true},
    {"state", false, true},
    {"updated", true, true},
    {"server", false, true},
    {"stratum", true, true},
    {"server_since", true, false},
    {"last_broadcast", true, true},
    {"last_delta_ms", true, true},
    {"last_action", false, true},
    {"delay_ms", true, true},
    {"delay_source", false, true},
    {"delay_updated", true, false},
    {"last_poll", true, false},
    {"awaiting_reply", true, false},
    {"adjustment", true, false},
    {"increment", true, false},
    {"best_guess", true, false},
    {"max_error_ms", true, false},
    {"est_error_ms", true, false},
    {"kernel_sync", false, false},
    {"leap", false, false},
    {"leap_at", true, false},
    {"allowed_servers", false, false},
    {"max_step", true, false},
    {"auth", false, false},
    {"keys", false, false},
    {"broadcast_key", true, false},
    {"datagrams_mode0", true, false},
    {"datagrams_mode1", true, false},
    {"datagrams_mode2", true, false},
    {"datagrams_mode3", true, false},
    {"datagrams_mode4", true, false},
    {"datagrams_mode5", true, false},
    {"datagrams_mode6", true, false},
    {"datagrams_mode7", true, false},
    {"requests_answered", true, true},
    {"requests_dropped", true, false},
    {"requests_limited", true, false},
    {"broadcasts_accepted", true, true},
    {"broadcasts_ignored", true, true},
    {"broadcasts_refused", true, false},
    {"replies_accepted", true, false},
    {"replies_refused", true, false},
    {"receive_failures", true, false},
    {"send_failures", true, false},
    {"steps", true, true},
    {"failed_steps", true, false},
    {"slews", true, true},
    {"rate_changes_failed", true, false},
    {"rates_held", true, false},
    {"steps_refused", true, false},
    {"auth_refused", true, false},
    {"broadcasts_unconfirmed", true, false},
    {"leaps_ignored", true, false},
    {"leaps_discounted", true, false},
    {"broadcasts_sent", true, true},
    {"last_broadcast_sent", true, false},
    {"last_refused_sender", false, false},
    {"last_refused_step", true, false},
    {"last_refused_step_ms", true, false},
    {"last_refused_step_sender", false, false},
    {"last_auth_refused", false, false},
    {"last_auth_refused_sender", false, false},
    {"discipline", false, false},
    {"receive_stamps", false, false},
    {"frequency_ppm", true, false},
    {"fit_spread_us", true, false},
    {"fit_samples", true, false},
    {"failure", false, true},
};

}  // namespace

const StatusKeyInfo& StatusKeyOf(StatusKey key) {
    return kKeys[static_cast<int>(key)];
}

bool FindStatusKey(const char* name, StatusKey& key) {
    for (int k = 0; k < kStatusKeyCount; ++k) {
        if (std::strcmp(kKeys[k].name, name) == 0) {
            key = static_cast<StatusKey>(k);
            return true;
        }
    }
    return false;
}
