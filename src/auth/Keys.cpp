#include "auth/Keys.h"

#include <cstdio>
#include <cstring>

#include "base/TextFile.h"
#include "config/Parse.h"

namespace {

constexpr size_t kMaxKeyFileBytes = 65536;
constexpr size_t kMaxAsciiKey = 20;  // ntpd: a longer key is hex
// chronyd and ntpd end a key at a NUL: the peers would hold another key than this one, and authentication
// would fail in a way no log explains.
const char* const kControlCharacter = "its key holds a control character, where chronyd and ntpd end a key";

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
        for (const char c : ascii)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return kControlCharacter;
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

}  // namespace

void ParseKeyFile(const std::string& text, KeyList& keys, std::vector<KeyFileProblem>& problems) {
    size_t number = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        // A "#" starts a comment only where a word could start, as in chrony's files: inside a key it is
        // part of the key.
        for (size_t hash = line.find('#'); hash != std::string::npos; hash = line.find('#', hash + 1)) {
            if (hash == 0 || line[hash - 1] == ' ' || line[hash - 1] == '\t') {
                line.resize(hash);
                break;
            }
        }
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
            problems.push_back({number, problem, problem == kControlCharacter});
    }
}

bool LoadKeysFile(const std::string& path, KeyList& keys, std::vector<SettingLine>& lines) {
    keys.clear();
    std::string text;
    const FileRead read = ReadKeysFile(path, kMaxKeyFileBytes, text);
    const std::string name = "Keys file \"" + path + "\"";
    if (read.result != FileRead::kRead) {
        std::string reason = read.result == FileRead::kMissing ? "it does not exist" : read.reason;
        if (read.error != 0) reason += " (" + std::to_string(read.error) + ")";
        lines.push_back({SettingLine::kRefused, name + " cannot be used: " + reason});
        return false;
    }
    std::vector<KeyFileProblem> problems;
    ParseKeyFile(text, keys, problems);
    bool refused = false;
    for (const KeyFileProblem& p : problems) {
        const std::string where = name + " line " + std::to_string(p.line) + ": " + p.reason;
        lines.push_back({p.refuses ? SettingLine::kRefused : SettingLine::kIgnored,
                         p.refuses ? where : where + "; the line is skipped"});
        refused = refused || p.refuses;
    }
    if (refused) {
        keys.clear();
        return false;
    }
    if (keys.empty()) {
        lines.push_back({SettingLine::kRefused, name + " gives no usable key"});
        return false;
    }
    std::string ids;
    for (const SymmetricKey& key : keys)
        ids.append(ids.empty() ? "" : " ")
            .append(std::to_string(key.id))
            .append(" (")
            .append(MacTypeName(key.type))
            .append(")");
    lines.push_back({SettingLine::kInForce, "Keys loaded: " + ids});
    return true;
}

std::vector<uint32_t> KeyIds(const KeyList& keys) {
    std::vector<uint32_t> ids;
    ids.reserve(keys.size());
    for (const SymmetricKey& key : keys) ids.push_back(key.id);
    return ids;
}

const SymmetricKey* FindKey(const KeyList& keys, uint32_t id) {
    for (const SymmetricKey& key : keys)
        if (key.id == id) return &key;
    return nullptr;
}

MacResult CheckMac(const KeyList& keys, const uint8_t* bytes, int length) {
    MacResult result;
    if (length <= kSntpMessageSize) return result;
    if (length < kCryptoNakBytes || length > kMaxAuthenticatedBytes) {
        result.verdict = MacVerdict::kBadLength;
        return result;
    }
    result.keyId = GetKeyId(bytes + kSntpMessageSize);
    if (length == kCryptoNakBytes) {
        result.verdict = result.keyId == 0 ? MacVerdict::kCryptoNak : MacVerdict::kBadLength;
        return result;
    }
    const SymmetricKey* key = FindKey(keys, result.keyId);
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
    result.verdict = ComputeDigest(*key, bytes, kSntpMessageSize, digest) &&
                             SameDigest(digest, bytes + kCryptoNakBytes, DigestBytes(key->type))
                         ? MacVerdict::kValid
                         : MacVerdict::kBadDigest;
    return result;
}

int AppendMac(uint8_t* bytes, const SymmetricKey& key) {
    if (!ComputeDigest(key, bytes, kSntpMessageSize, bytes + kCryptoNakBytes)) return 0;
    const uint8_t id[kKeyIdBytes] = {static_cast<uint8_t>(key.id >> 24), static_cast<uint8_t>(key.id >> 16),
                                     static_cast<uint8_t>(key.id >> 8), static_cast<uint8_t>(key.id)};
    std::memcpy(bytes + kSntpMessageSize, id, kKeyIdBytes);
    return kCryptoNakBytes + static_cast<int>(DigestBytes(key.type));
}

std::string RefusalReason(MacVerdict verdict, uint32_t keyId) {
    const std::string id = std::to_string(keyId);
    switch (verdict) {
        case MacVerdict::kAbsent:
            return "no MAC";
        case MacVerdict::kValid:
            return "key " + id + " is not trusted";
        case MacVerdict::kCryptoNak:
            return "a crypto-NAK";
        case MacVerdict::kUnknownKey:
            return "unknown key " + id;
        case MacVerdict::kBadDigest:
            return "a wrong digest under key " + id;
        case MacVerdict::kBadLength:
            return "a MAC of the wrong length";
    }
    return "";
}
