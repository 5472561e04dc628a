#include "time/SntpMessage.h"

#include <cstring>

namespace {

void PutUint32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

uint32_t GetUint32(const uint8_t* in) {
    return (static_cast<uint32_t>(in[0]) << 24) | (static_cast<uint32_t>(in[1]) << 16) |
           (static_cast<uint32_t>(in[2]) << 8) | static_cast<uint32_t>(in[3]);
}

constexpr uint8_t kReferenceIdLocal[4] = {'L', 'O', 'C', 'L'};

}  // namespace

void EncodeTimestamp(NtpTime t, uint8_t* out) {
    const uint32_t seconds = static_cast<uint32_t>(TruncateToInt64(t.Seconds()));
    const int32_t ms = TruncateToInt32((t.Seconds() - seconds) * 1000.0);
    PutUint32(out, seconds);
    PutUint32(out + 4, static_cast<uint32_t>(ms) * 4294967u);
}

void EncodeTimestampPrecise(NtpTime t, uint8_t* out) {
    const uint32_t seconds = static_cast<uint32_t>(TruncateToInt64(t.Seconds()));
    const double fraction = (t.Seconds() - seconds) * 4294967296.0;
    PutUint32(out, seconds);
    PutUint32(out + 4, fraction <= 0              ? 0u
                       : fraction >= 4294967295.0 ? 4294967295u
                                                  : static_cast<uint32_t>(fraction));
}

NtpTime DecodeTimestamp(const uint8_t* in) {
    return NtpTime(GetUint32(in), GetUint32(in + 4));
}

bool TimestampIsZero(const SntpMessage& m, int offset) {
    static constexpr uint8_t kZero[kTimestampSize] = {};
    return std::memcmp(m.bytes + offset, kZero, kTimestampSize) == 0;
}

SntpMessage BuildClientRequest(NtpTime now) {
    SntpMessage m{};
    m.bytes[kOffsetFlags] = 0x1B;  // leap 0, version 3, mode 3
    m.bytes[kOffsetStratum] = 14;
    m.bytes[kOffsetPoll] = 1;
    std::memcpy(m.bytes + kOffsetReferenceId, kReferenceIdLocal, 4);
    EncodeTimestamp(now, m.bytes + kOffsetTransmit);
    std::memcpy(m.bytes + kOffsetReference, m.bytes + kOffsetTransmit, kTimestampSize);
    return m;
}

void BuildServerReply(const SntpMessage& request, NtpTime arrival, NtpTime transmit, SntpMessage& reply,
                      Resolution resolution) {
    std::memset(reply.bytes, 0, sizeof reply.bytes);
    reply.bytes[kOffsetFlags] = static_cast<uint8_t>((request.bytes[kOffsetFlags] & 0x38) | 0x04);
    reply.bytes[kOffsetStratum] = 15;
    reply.bytes[kOffsetPoll] = request.bytes[kOffsetPoll];
    reply.bytes[kOffsetPrecision] = 0xF8;  // 2^-8 s: the clock is read in milliseconds
    std::memcpy(reply.bytes + kOffsetReferenceId, kReferenceIdLocal, 4);
    // The client matches its request by this field, so it goes back exactly as it came.
    std::memcpy(reply.bytes + kOffsetOriginate, request.bytes + kOffsetTransmit, kTimestampSize);
    if (resolution == Resolution::kFull) {
        reply.bytes[kOffsetPrecision] = static_cast<uint8_t>(kFullPrecision);
        EncodeTimestampPrecise(arrival, reply.bytes + kOffsetReceive);
        EncodeTimestampPrecise(transmit, reply.bytes + kOffsetTransmit);
    } else {
        EncodeTimestamp(arrival, reply.bytes + kOffsetReceive);
        EncodeTimestamp(transmit, reply.bytes + kOffsetTransmit);
    }
    std::memcpy(reply.bytes + kOffsetReference, reply.bytes + kOffsetTransmit, kTimestampSize);
}

SntpMessage BuildBroadcast(NtpTime now, Resolution resolution) {
    SntpMessage m{};
    m.bytes[kOffsetFlags] = 0x1D;  // leap 0, version 3, mode 5
    m.bytes[kOffsetStratum] = 15;
    if (resolution == Resolution::kFull) {
        m.bytes[kOffsetPrecision] = static_cast<uint8_t>(kFullPrecision);
        EncodeTimestampPrecise(now, m.bytes + kOffsetTransmit);
    } else {
        EncodeTimestamp(now, m.bytes + kOffsetTransmit);
    }
    return m;
}
