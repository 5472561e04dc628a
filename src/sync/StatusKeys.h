#pragma once

// The status file's keys, in the order the file gives them: the worker writes them (FormatStatus) and
// zelkorstat reads them (ParseStatusFile), both from this one table.

enum class StatusKey {
    kVersion,
    kPid,
    kMode,
    kState,
    kUpdated,
    kServer,
    kStratum,
    kServerSince,
    kLastBroadcast,
    kLastDeltaMs,
    kLastAction,
    kDelayMs,
    kDelaySource,
    kDelayUpdated,
    kLastPoll,
    kAwaitingReply,
    kAdjustment,
    kIncrement,
    kBestGuess,
    kMaxErrorMs,
    kEstErrorMs,
    kKernelSync,
    kLeap,
    kLeapAt,
    kAllowedServers,
    kMaxStep,
    kAuth,
    kKeys,
    kBroadcastKey,
    kDatagramsMode0,  // to kDatagramsMode0 + 7
    kRequestsAnswered = kDatagramsMode0 + 8,
    kRequestsDropped,
    kRequestsLimited,
    kBroadcastsAccepted,
    kBroadcastsIgnored,
    kBroadcastsRefused,
    kRepliesAccepted,
    kRepliesRefused,
    kReceiveFailures,
    kSendFailures,
    kSteps,
    kFailedSteps,
    kSlews,
    kRateChangesFailed,
    kRatesHeld,
    kStepsRefused,
    kAuthRefused,
    kBroadcastsUnconfirmed,
    kLeapsIgnored,
    kLeapsDiscounted,
    kBroadcastsSent,
    kLastBroadcastSent,
    kLastRefusedSender,
    kLastRefusedStep,
    kLastRefusedStepMs,
    kLastRefusedStepSender,
    kLastAuthRefused,
    kLastAuthRefusedSender,
    kDiscipline,
    kReceiveStamps,
    kFrequencyPpm,
    kFitSpreadUs,
    kFitSamples,
    kFailure,
    kCount
};
constexpr int kStatusKeyCount = static_cast<int>(StatusKey::kCount);

struct StatusKeyInfo {
    const char* name;
    bool number;    // its value is a decimal number, always
    bool promised;  // every status file of version 1 has it
};
const StatusKeyInfo& StatusKeyOf(StatusKey key);
// The key of that name, or false.
bool FindStatusKey(const char* name, StatusKey& key);
