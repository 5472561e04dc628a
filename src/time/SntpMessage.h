#pragma once

#include <cstdint>

#include "time/NtpTime.h"

constexpr int kSntpMessageSize = 48;

// Byte offsets of the fields the system reads or writes (RFC 4330 section 4).
constexpr int kOffsetFlags = 0;
constexpr int kOffsetStratum = 1;
constexpr int kOffsetPoll = 2;
constexpr int kOffsetPrecision = 3;
constexpr int kOffsetReferenceId = 12;
constexpr int kOffsetReference = 16;
constexpr int kOffsetOriginate = 24;
constexpr int kOffsetReceive = 32;
constexpr int kOffsetTransmit = 40;
constexpr int kTimestampSize = 8;

constexpr int kModeClient = 3;
constexpr int kModeServer = 4;
constexpr int kModeBroadcast = 5;

// The leap indicator of a server whose own clock is not synchronised.
constexpr int kLeapNotSynchronised = 3;

struct SntpMessage {
    uint8_t bytes[kSntpMessageSize];
};

// Wire timestamps carry whole milliseconds: 4294967 fraction units each, read back over 2^32 - 1. With
// PreciseTime the whole fraction goes out (2^32 units a second), as the clock is read in nanoseconds.
void EncodeTimestamp(NtpTime t, uint8_t* out);
void EncodeTimestampPrecise(NtpTime t, uint8_t* out);
NtpTime DecodeTimestamp(const uint8_t* in);
// Which of the two a message is built with.
enum class Resolution { kMilliseconds, kFull };
// The precision field a reply with full-resolution times carries: 2^-20 s, about a microsecond, what a
// double of seconds since 1900 holds of a clock read in nanoseconds.
constexpr int8_t kFullPrecision = -20;

inline int MessageMode(const SntpMessage& m) {
    return m.bytes[kOffsetFlags] & 7;
}
inline int MessageStratum(const SntpMessage& m) {
    return m.bytes[kOffsetStratum];
}
inline int LeapIndicator(const SntpMessage& m) {
    return m.bytes[kOffsetFlags] >> 6;
}
inline NtpTime OriginateTime(const SntpMessage& m) {
    return DecodeTimestamp(m.bytes + kOffsetOriginate);
}
inline NtpTime ReceiveTime(const SntpMessage& m) {
    return DecodeTimestamp(m.bytes + kOffsetReceive);
}
inline NtpTime TransmitTime(const SntpMessage& m) {
    return DecodeTimestamp(m.bytes + kOffsetTransmit);
}
// All eight bytes of the timestamp at offset are zero: no time at all.
bool TimestampIsZero(const SntpMessage& m, int offset);

SntpMessage BuildClientRequest(NtpTime now);
void BuildServerReply(const SntpMessage& request, NtpTime arrival, NtpTime transmit, SntpMessage& reply,
                      Resolution resolution = Resolution::kMilliseconds);
SntpMessage BuildBroadcast(NtpTime now, Resolution resolution = Resolution::kMilliseconds);
