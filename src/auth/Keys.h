#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "auth/Mac.h"
#include "config/Settings.h"
#include "time/SntpMessage.h"

// Authenticated time: the keys file (in the format ntpd and chrony read) and the MAC after a message's 48
// bytes, a 4-byte key ID and the digest. Which keys are trusted, and which signs broadcasts, are settings;
// every check is given the keys it checks against.

constexpr int kKeyIdBytes = 4;
constexpr int kCryptoNakBytes = kSntpMessageSize + kKeyIdBytes;  // a MAC of a zero key ID alone (RFC 5905)
constexpr int kMaxAuthenticatedBytes = kCryptoNakBytes + static_cast<int>(kMaxDigestBytes);

using KeyList = std::vector<SymmetricKey>;

struct KeyFileProblem {
    size_t line;
    std::string reason;  // never the secret
    bool refuses;        // the line is not merely skipped: the file cannot be used
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

// What the MAC check decides.
enum class MacVerdict { kAbsent, kValid, kCryptoNak, kUnknownKey, kBadDigest, kBadLength };
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
// "no MAC", "unknown key 7", ...: why a message's MAC does not make it authentic (for kValid: its key is
// not trusted). Formatted where it is shown, never on the datagram path: a flood of forgeries stores only
// the verdict and the key ID.
std::string RefusalReason(MacVerdict verdict, uint32_t keyId);

// Key IDs from 1 to 65534 separated by blanks or commas; a repeated one is taken once.
constexpr uint32_t kMaxKeyId = 65534;
bool ParseKeyId(const std::string& text, uint32_t& id);
void ParseKeyIdList(const std::string& text, std::vector<uint32_t>& ids, std::vector<std::string>& unusable);
std::string FormatKeyIds(const std::vector<uint32_t>& ids);  // blank-separated

// TrustedKeys and BroadcastKey against the IDs of the keys loaded; false, with a kRefused line for each
// reason, when Zelkor must not start.
bool JudgeKeySettings(const FoundSettings& found, const std::vector<uint32_t>& loaded, Settings& settings,
                      std::vector<SettingLine>& lines);
// Whether TrustedKeys is in force and names key id: the broadcasts signed under it are followed.
bool TrustsBroadcastsUnder(const Settings& in, uint32_t id);

// Platform: the keys file at path, at most maxBytes, refused on POSIX when group or others may read or
// change it (for kServiceKeysPath, the service manager's private copy when it passed one; the file's own
// mode still counts).
constexpr const char* kServiceKeysPath = "/etc/zelkor/keys";
struct FileRead;
FileRead ReadKeysFile(const std::string& path, size_t maxBytes, std::string& text);
