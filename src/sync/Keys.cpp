#include "sync/Keys.h"

#include <cstdio>
#include <cstring>

#include "sync/Config.h"
#include "sync/Log.h"
#include "time/TextFile.h"

Authentication authentication;

namespace {

constexpr size_t kMaxKeyFileBytes = 65536;
constexpr size_t kMaxAsciiKey = 20;  // ntpd: a longer key is hex

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool DecodeHex(const std::string& hex, SymmetricKey& key) {
    if (hex.empty() || hex.size() % 2 != 0 || hex.size() / 2 > kMaxSecretBytes) return false;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexDigit(hex[i]), low = HexDigit(hex[i + 1]);
        if (high < 0 || low < 0) return false;
        key.secret[i / 2] = static_cast<uint8_t>(high * 16 + low);
    }
    key.length = hex.size() / 2;
    return true;
}

bool AllHex(const std::string& text) {
    for (const char c : text)
        if (HexDigit(c) < 0) return false;
    return true;
}

bool ParseKeyId(const std::string& text, uint32_t& id) {
    return text.size() <= 5 && ParseCount(text.c_str(), id) && id >= 1 && id <= kMaxKeyId;
}

// Why the line's fields make no key, or empty.
std::string ParseKey(const std::vector<std::string>& fields, SymmetricKey& key) {
    if (fields.size() != 3) return "it has " + std::to_string(fields.size()) + " fields, not ID TYPE KEY";
    if (!ParseKeyId(fields[0], key.id)) return "its ID is not a number from 1 to 65534";
    const std::string type = Upper(fields[1]);
    if (type == "MD5" || type == "M")
        key.type = MacType::kMd5;
    else if (type == "SHA1")
        key.type = MacType::kSha1;
    else if (type == "AES128" || type == "AES" || type == "AES-128" || type == "AES128CMAC")
        key.type = MacType::kAesCmac;
    else
        return "its type is not MD5, SHA1 or AES128";
    const std::string& value = fields[2];
    const std::string prefix = Upper(value.substr(0, 6));
    bool decoded;
    if (prefix.compare(0, 4, "HEX:") == 0) {
        decoded = DecodeHex(value.substr(4), key);
    } else if (value.size() > kMaxAsciiKey && AllHex(value)) {
        decoded = DecodeHex(value, key);
    } else {
        const std::string ascii = prefix == "ASCII:" ? value.substr(6) : value;
        decoded = !ascii.empty() && ascii.size() <= kMaxSecretBytes;
        if (decoded) {
            std::memcpy(key.secret, ascii.data(), ascii.size());
            key.length = ascii.size();
        }
    }
    if (!decoded) return "its key is not 1 to 64 bytes of ASCII or hex";
    if (key.type == MacType::kAesCmac && key.length != 16) return "an AES128 key must be 16 bytes";
    if (!MacSupported(key.type))
        return std::string(MacTypeName(key.type)) + " is not available on this system";
    return "";
}

uint32_t GetKeyId(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

void LoadKeys() {
    const ConfiguredText path = ReadKeysPath();
    if (path.kind == ConfiguredNumber::kNotConfigured) return;
    if (path.kind == ConfiguredNumber::kUnusable || path.value.empty()) {
        LogMessage("Keys %s is not a path; no key is loaded",
                   path.kind == ConfiguredNumber::kUnusable ? path.text : "\"\"");
        return;
    }
    std::string text;
    const FileRead read = ReadKeysFile(path.value, kMaxKeyFileBytes, text);
    if (read.result != FileRead::kRead) {
        std::string reason = read.result == FileRead::kMissing ? "it does not exist" : read.reason;
        if (read.error != 0) reason += " (" + std::to_string(read.error) + ")";
        LogMessage("Keys file \"%s\" cannot be used: %s; no key is loaded", path.value.c_str(),
                   reason.c_str());
        return;
    }
    std::vector<KeyFileProblem> problems;
    ParseKeyFile(text, authentication.keys, problems);
    for (const KeyFileProblem& p : problems)
        LogMessage("Keys file \"%s\" line %llu: %s; the line is skipped", path.value.c_str(),
                   static_cast<unsigned long long>(p.line), p.reason.c_str());
    std::string ids;
    for (const SymmetricKey& key : authentication.keys)
        ids.append(ids.empty() ? "" : " ")
            .append(std::to_string(key.id))
            .append(" (")
            .append(MacTypeName(key.type))
            .append(")");
    LogMessage("Keys loaded: %s", ids.empty() ? "none" : ids.c_str());
}

void LoadTrustedKeys() {
    const ConfiguredText configured = ReadTrustedKeys();
    if (configured.kind == ConfiguredNumber::kNotConfigured) return;
    // Present means required: a list that names nothing usable lets nothing through.
    authentication.trustedConfigured = 1;
    std::vector<std::string> unusable;
    if (configured.kind == ConfiguredNumber::kUnusable)
        LogMessage("TrustedKeys %s is not a list of key IDs", configured.text);
    else
        ParseKeyIdList(configured.value, authentication.trusted, unusable);
    for (const std::string& entry : unusable)
        LogMessage("TrustedKeys entry \"%s\" is not a key ID from 1 to 65534; it is ignored", entry.c_str());
    for (const uint32_t id : authentication.trusted)
        if (FindKey(id) == nullptr) LogMessage("TrustedKeys names key %u, which no keys file line gives", id);
    if (authentication.trusted.empty())
        LogMessage("TrustedKeys names no usable key; no time broadcast will be accepted");
    else
        LogMessage("Accepting time broadcasts only under keys %s",
                   FormatKeyIds(authentication.trusted).c_str());
}

void LoadBroadcastKey() {
    const ConfiguredNumber configured = ReadBroadcastKey();
    if (configured.kind == ConfiguredNumber::kNotConfigured) return;
    if (configured.kind == ConfiguredNumber::kConfigured && FindKey(configured.value) != nullptr) {
        authentication.broadcastKey = configured.value;
        return;
    }
    LogMessage("BroadcastKey %s is no loaded key; broadcasts are sent without a MAC",
               ShownValue(configured).c_str());
}

}  // namespace

size_t DigestBytes(MacType type) {
    return type == MacType::kSha1 ? 20 : 16;
}

const char* MacTypeName(MacType type) {
    switch (type) {
        case MacType::kMd5:
            return "MD5";
        case MacType::kSha1:
            return "SHA1";
        case MacType::kAesCmac:
            return "AES128";
    }
    return "";
}

bool SameDigest(const uint8_t* a, const uint8_t* b, size_t length) {
    volatile uint8_t difference = 0;
    for (size_t i = 0; i < length; ++i) difference = difference | static_cast<uint8_t>(a[i] ^ b[i]);
    return difference == 0;
}

void ParseKeyFile(const std::string& text, std::vector<SymmetricKey>& keys,
                  std::vector<KeyFileProblem>& problems) {
    size_t number = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        if (const size_t comment = line.find('#'); comment != std::string::npos) line.resize(comment);
        const std::vector<std::string> fields = SplitWords(line, " \t\r");
        if (fields.empty()) continue;
        SymmetricKey key{};
        std::string problem = ParseKey(fields, key);
        if (problem.empty()) {
            for (const SymmetricKey& k : keys)
                if (k.id == key.id) problem = "key " + std::to_string(key.id) + " was given before";
        }
        if (problem.empty())
            keys.push_back(key);
        else
            problems.push_back({number, problem});
    }
}

void ParseKeyIdList(const std::string& text, std::vector<uint32_t>& ids, std::vector<std::string>& unusable) {
    for (const std::string& entry : SplitWords(text, " \t,")) {
        uint32_t id = 0;
        if (ParseKeyId(entry, id))
            ids.push_back(id);
        else
            unusable.push_back(entry);
    }
}

std::string FormatKeyIds(const std::vector<uint32_t>& ids) {
    std::string list;
    for (const uint32_t id : ids) list.append(list.empty() ? "" : " ").append(std::to_string(id));
    return list;
}

const SymmetricKey* FindKey(uint32_t id) {
    for (const SymmetricKey& key : authentication.keys)
        if (key.id == id) return &key;
    return nullptr;
}

bool KeyTrusted(uint32_t id) {
    for (const uint32_t trusted : authentication.trusted)
        if (trusted == id) return true;
    return false;
}

MacResult CheckMac(const uint8_t* bytes, int length) {
    MacResult result;
    if (length <= kHeaderBytes) return result;
    if (length < kCryptoNakBytes || length > kMaxAuthenticatedBytes) {
        result.verdict = MacVerdict::kBadLength;
        return result;
    }
    result.keyId = GetKeyId(bytes + kHeaderBytes);
    if (length == kCryptoNakBytes) {
        result.verdict = result.keyId == 0 ? MacVerdict::kCryptoNak : MacVerdict::kBadLength;
        return result;
    }
    const SymmetricKey* key = FindKey(result.keyId);
    if (key == nullptr) {
        result.verdict = MacVerdict::kUnknownKey;
        return result;
    }
    if (static_cast<size_t>(length) != kCryptoNakBytes + DigestBytes(key->type)) {
        result.verdict = MacVerdict::kBadLength;
        return result;
    }
    uint8_t digest[kMaxDigestBytes];
    result.key = key;
    result.verdict = ComputeDigest(*key, bytes, kHeaderBytes, digest) &&
                             SameDigest(digest, bytes + kCryptoNakBytes, DigestBytes(key->type))
                         ? MacVerdict::kValid
                         : MacVerdict::kBadDigest;
    return result;
}

int AppendMac(uint8_t* bytes, const SymmetricKey& key) {
    if (!ComputeDigest(key, bytes, kHeaderBytes, bytes + kCryptoNakBytes)) return 0;
    const uint8_t id[kKeyIdBytes] = {static_cast<uint8_t>(key.id >> 24), static_cast<uint8_t>(key.id >> 16),
                                     static_cast<uint8_t>(key.id >> 8), static_cast<uint8_t>(key.id)};
    std::memcpy(bytes + kHeaderBytes, id, kKeyIdBytes);
    return kCryptoNakBytes + static_cast<int>(DigestBytes(key.type));
}

void RefusalReason(const MacResult& mac, char* text, size_t size) {
    const char* before = "";  // the words before the key ID, when there is one
    const char* after = nullptr;
    switch (mac.verdict) {
        case MacVerdict::kAbsent:
            before = "no MAC";
            break;
        case MacVerdict::kValid:
            before = "key ";
            after = " is not trusted";
            break;
        case MacVerdict::kCryptoNak:
            before = "a crypto-NAK";
            break;
        case MacVerdict::kUnknownKey:
            before = "unknown key ";
            after = "";
            break;
        case MacVerdict::kBadDigest:
            before = "a wrong digest under key ";
            after = "";
            break;
        case MacVerdict::kBadLength:
            before = "a MAC of the wrong length";
            break;
        case MacVerdict::kReplayed:
            before = "a replay of an earlier broadcast";
            break;
    }
    if (after != nullptr)
        (void)std::snprintf(text, size, "%s%u%s", before, mac.keyId, after);
    else
        (void)std::snprintf(text, size, "%s", before);
}

void LoadAuthentication() {
    authentication = Authentication{};
    LoadKeys();
    LoadTrustedKeys();
    LoadBroadcastKey();
}
