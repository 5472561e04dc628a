#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sync/Mac.h"

// Authenticated time: the keys file (in the format ntpd and chrony read), the keys trusted for broadcasts,
// the key that signs them in server mode, and the MAC after a message's 48 bytes: a 4-byte key ID and the
// digest. Nothing here is in force while no key is configured.

constexpr int kHeaderBytes = 48;
constexpr int kKeyIdBytes = 4;
constexpr int kCryptoNakBytes = kHeaderBytes + kKeyIdBytes;  // a MAC of a zero key ID alone (RFC 5905)
constexpr int kMaxAuthenticatedBytes = kHeaderBytes + kKeyIdBytes + static_cast<int>(kMaxDigestBytes);
constexpr uint32_t kMaxKeyId = 65534;

struct Authentication {
    std::vector<SymmetricKey> keys;
    int trustedConfigured = 0;  // broadcasts are accepted only under trusted keys (under none, if empty)
    std::vector<uint32_t> trusted;
    uint32_t broadcastKey = 0;  // server mode signs with it; 0: not at all
};
extern Authentication authentication;

struct KeyFileProblem {
    size_t line;
    std::string reason;  // never the secret
};
// One key per line, "ID TYPE KEY", "#" to the end of a line a comment. TYPE: MD5 (or M), SHA1, AES128
// (or AES, AES-128, AES128CMAC). KEY: ASCII, "HEX:" and hex digits, or more than 20 hex digits (ntpd).
void ParseKeyFile(const std::string& text, std::vector<SymmetricKey>& keys,
                  std::vector<KeyFileProblem>& problems);
// Key IDs separated by blanks or commas.
void ParseKeyIdList(const std::string& text, std::vector<uint32_t>& ids, std::vector<std::string>& unusable);

std::string FormatKeyIds(const std::vector<uint32_t>& ids);  // blank-separated

const SymmetricKey* FindKey(uint32_t id);
bool KeyTrusted(uint32_t id);

// kReplayed: valid, but no newer than what the same server sent before (tracking's judgement).
enum class MacVerdict { kAbsent, kValid, kCryptoNak, kUnknownKey, kBadDigest, kBadLength, kReplayed };
struct MacResult {
    MacVerdict verdict = MacVerdict::kAbsent;
    const SymmetricKey* key = nullptr;  // kValid and kBadDigest
    uint32_t keyId = 0;
};
// What the bytes after the first 48 of a datagram of length bytes are.
MacResult CheckMac(const uint8_t* bytes, int length);
// Writes key's ID and the digest of the first 48 bytes after them; the message's new length, or 0 when the
// digest could not be computed. bytes holds at least kMaxAuthenticatedBytes.
int AppendMac(uint8_t* bytes, const SymmetricKey& key);
// "no MAC", "unknown key 7", ...: why a message was not taken as authentic, into text (no allocation: a
// flood of forgeries passes here).
void RefusalReason(const MacResult& mac, char* text, size_t size);

// Reads Keys, TrustedKeys and BroadcastKey, and logs what cannot be used.
void LoadAuthentication();
