#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "auth/Mac.h"
#include "config/Settings.h"

// Authenticated time: the keys file (in the format ntpd and chrony read) and the MAC after a message's 48
// bytes, a 4-byte key ID and the digest. Which keys are trusted, and which signs broadcasts, are settings;
// every check is given the keys it checks against.

constexpr int kHeaderBytes = 48;
constexpr int kKeyIdBytes = 4;
constexpr int kCryptoNakBytes = kHeaderBytes + kKeyIdBytes;  // a MAC of a zero key ID alone (RFC 5905)
constexpr int kMaxAuthenticatedBytes = kHeaderBytes + kKeyIdBytes + static_cast<int>(kMaxDigestBytes);

using KeyList = std::vector<SymmetricKey>;

struct KeyFileProblem {
    size_t line;
    std::string reason;  // never the secret
};
// One key per line, "ID TYPE KEY"; a "#" at the start of a line or after a blank begins a comment. TYPE: MD5
// (or M), SHA1, AES128 (or AES, AES-128, AES128CMAC). KEY: ASCII, "HEX:" and hex digits, or more than 20 hex
// digits (ntpd).
void ParseKeyFile(const std::string& text, KeyList& keys, std::vector<KeyFileProblem>& problems);
// The keys file at path into keys; lines for what was loaded, what was skipped and, false, why the file
// cannot be used (then no key is loaded).
bool LoadKeysFile(const std::string& path, KeyList& keys, std::vector<SettingLine>& lines);
std::vector<uint32_t> KeyIds(const KeyList& keys);

const SymmetricKey* FindKey(const KeyList& keys, uint32_t id);  // null when there is none

// Tracking's judgements of a valid MAC: kReplayed, a broadcast no later than the latest accepted under its
// key; kDisagrees, a confirming reply whose time is not its broadcast's.
enum class MacVerdict {
    kAbsent,
    kValid,
    kCryptoNak,
    kUnknownKey,
    kBadDigest,
    kBadLength,
    kReplayed,
    kDisagrees
};
struct MacResult {
    MacVerdict verdict = MacVerdict::kAbsent;
    const SymmetricKey* key = nullptr;  // kValid and kBadDigest
    uint32_t keyId = 0;
};
// What the bytes after the first 48 of a datagram of length bytes are, under keys.
MacResult CheckMac(const KeyList& keys, const uint8_t* bytes, int length);
// Writes key's ID and the digest of the first 48 bytes after them; the message's new length, or 0 when the
// digest could not be computed. bytes holds at least kMaxAuthenticatedBytes.
int AppendMac(uint8_t* bytes, const SymmetricKey& key);
// "no MAC", "unknown key 7", ...: why a message was not taken as authentic. Formatted where it is shown,
// never on the datagram path: a flood of forgeries stores only the verdict and the key ID.
std::string RefusalReason(MacVerdict verdict, uint32_t keyId);
