#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#ifndef _WIN32
#include <sys/stat.h>
#endif
#include <string>
#include <tuple>
#include <vector>

#include "Fakes.h"
#include "auth/Keys.h"
#include "service/RunLoop.h"
#include "service/Workers.h"
#include "sync/Corrector.h"
#include "sync/CorrectorState.h"
#include "sync/InForce.h"
#include "sync/LeapAndSync.h"
#include "sync/Sntp.h"
#include "sync/Status.h"
#include "sync/SyncState.h"
#include "sync/Tracking.h"
#include "time/SystemClock.h"

namespace {

using Bytes = std::vector<uint8_t>;

SymmetricKey Key(uint32_t id, MacType type, const Bytes& secret) {
    SymmetricKey key{id, type, secret.size(), {}};
    std::memcpy(key.secret, secret.data(), secret.size());
    return key;
}

bool Skipped(MacType type) {
    return !MacSupported(type);  // Wine's CNG has no AES-CMAC
}

}  // namespace

TEST(Mac, DigestsMatchThoseComputedElsewhere) {
    Bytes header(48);
    for (int i = 0; i < 48; ++i) header[i] = static_cast<uint8_t>(i);
    const Bytes rfc4493Key = Hex("2b7e151628aed2a6abf7158809cf4f3c");
    const Bytes rfc4493Message =
        Hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e5130c81c46a35ce411e5fbc1191a0a52ef"
            "f69f2445df4f9b17ad2b417be66c3710");
    struct Case {
        SymmetricKey key;
        Bytes message;
        const char* digest;
    } cases[] = {
        // MD5 and SHA1 of the key and the message, from Python's hashlib
        {Key(1, MacType::kMd5, Bytes{'z', 'e', 'l', 'k', 'o', 'r', '-', 'm', 'd', '5', '-', 'k', 'e', 'y'}),
         header, "d468e80bd7a96a0f88bed4bb21e7d821"},
        {Key(2, MacType::kSha1, Hex("00112233445566778899aabbccddeeff00112233")), header,
         "2c448b8ad92c6809cdd79dc3a54ea8efd14251de"},
        // RFC 4493, section 4: examples 1 to 4
        {Key(3, MacType::kAesCmac, rfc4493Key), Bytes(), "bb1d6929e95937287fa37d129b756746"},
        {Key(3, MacType::kAesCmac, rfc4493Key), Bytes(rfc4493Message.begin(), rfc4493Message.begin() + 16),
         "070a16b46b4d4144f79bdd9dd04a287c"},
        {Key(3, MacType::kAesCmac, rfc4493Key), Bytes(rfc4493Message.begin(), rfc4493Message.begin() + 40),
         "dfa66747de9ae63030ca32611497c827"},
        {Key(3, MacType::kAesCmac, rfc4493Key), rfc4493Message, "51f0bebf7e3b9d92fc49741779363cfe"},
    };
    for (const Case& c : cases) {
        if (Skipped(c.key.type)) continue;
        uint8_t digest[20] = {};
        ASSERT_TRUE(ComputeDigest(c.key, c.message.data(), c.message.size(), digest));
        EXPECT_EQ(Bytes(digest, digest + DigestBytes(c.key.type)), Hex(c.digest)) << c.digest;
    }
}

TEST(Mac, KeyFilesInTheFormatsOfNtpdAndChrony) {
    const char text[] =
        "# comment\n"
        "1 MD5 zelkor-md5-key   # ASCII, comment after\n"
        "2 SHA1 HEX:00112233445566778899AABBCCDDEEFF00112233\n"
        "3 sha1 00112233445566778899aabbccddeeff00112233\n"  // ntpd: more than 20 characters is hex
        "4 AES128 HEX:2b7e151628aed2a6abf7158809cf4f3c\r\n"
        "5 M ASCII:se#cret\n"  // a "#" inside a key is part of it (it once cut the key to "se")
        "\n"
        "0 MD5 x\n"
        "65535 MD5 x\n"
        "6 SHA256 x\n"
        "7 AES128 short\n"
        "8 MD5\n"
        "9 MD5 HEX:abc\n"
        "1 MD5 again\n"
        "10 MD5 key 10.0.0.1\n"
        "11 MD5 ab\0cd\n"  // a NUL, where chronyd and ntpd end the key: the file cannot be used
        "12 MD5 ab\x7f\n";
    std::vector<SymmetricKey> keys;
    std::vector<KeyFileProblem> problems;
    ParseKeyFile(std::string(text, sizeof text - 1), keys, problems);
    std::vector<uint32_t> ids;
    for (const SymmetricKey& k : keys) ids.push_back(k.id);
    EXPECT_EQ(ids, Skipped(MacType::kAesCmac) ? (std::vector<uint32_t>{1, 2, 3, 5})
                                              : (std::vector<uint32_t>{1, 2, 3, 4, 5}));
    const SymmetricKey& five = keys.back();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(five.secret), five.length), "se#cret");
    EXPECT_EQ(Bytes(keys[2].secret, keys[2].secret + keys[2].length),
              Hex("00112233445566778899aabbccddeeff00112233"));
    std::vector<std::string> shown;
    for (const KeyFileProblem& p : problems)
        if (p.reason != "AES128 is not available on this system")
            shown.push_back(std::to_string(p.line) + (p.refuses ? " refuses: " : ": ") + p.reason);
    EXPECT_EQ(shown,
              (std::vector<std::string>{
                  "8: its ID is not a number from 1 to 65534", "9: its ID is not a number from 1 to 65534",
                  "10: its type is not MD5, SHA1 or AES128", "11: an AES128 key must be 16 bytes",
                  "12: it has 2 fields, not ID TYPE KEY", "13: its key is not 1 to 64 bytes of ASCII or hex",
                  "14: key 1 was given before", "15: it has 4 fields, not ID TYPE KEY",
                  "16 refuses: its key holds a control character, where chronyd and ntpd end a key",
                  "17 refuses: its key holds a control character, where chronyd and ntpd end a key"}));
}

class AuthTest : public SyncTest {
  protected:
    void SetUp() override {
        SyncTest::SetUp();
        clock.unixMs = 1700000000000;
        authentication.keys = {Key(1, MacType::kMd5, Bytes{'o', 'n', 'e'}),
                               Key(2, MacType::kSha1, Hex("00112233445566778899aabbccddeeff00112233"))};
        if (!Skipped(MacType::kAesCmac))
            authentication.keys.push_back(Key(3, MacType::kAesCmac, Hex("2b7e151628aed2a6abf7158809cf4f3c")));
    }
    void TearDown() override {
        authentication = Authentication{};
        SyncTest::TearDown();
    }
    // A message of mode `mode` signed with key (0: unsigned), its digest's bit flipped when asked.
    Bytes Signed(uint8_t flags, uint32_t key, bool flip = false) {
        SntpMessage m = BuildBroadcast(SystemClock().Now());
        m.bytes[0] = flags;
        m.bytes[1] = 2;
        Bytes bytes(kMaxAuthenticatedBytes);
        std::memcpy(bytes.data(), m.bytes, 48);
        bytes.resize(
            key == 0 ? 48 : static_cast<size_t>(AppendMac(bytes.data(), *FindKey(authentication.keys, key))));
        if (flip) bytes.back() ^= 1;
        return bytes;
    }
    // A broadcast from server signed under key 1, dated aheadMs ahead of this clock, heard.
    void HearSigned(uint32_t server, int64_t aheadMs) {
        clock.unixMs += aheadMs;
        const Bytes broadcast = Signed(0x1D, 1);
        clock.unixMs -= aheadMs;
        net.incoming.push_back({broadcast, {server, 0x7B00}});
        Listen();
    }
    // server's answer to the last poll, signed under key 1, at a stratum, its times ahead by aheadMs.
    void AnswerSigned(uint32_t server, int stratum, int64_t aheadMs) {
        const SntpMessage reply =
            ReplyTo(net.sent.back().bytes, stratum, clock.unixMs + aheadMs, clock.unixMs + aheadMs);
        Bytes bytes(reply.bytes, reply.bytes + 48);
        bytes.resize(kMaxAuthenticatedBytes);
        bytes.resize(static_cast<size_t>(AppendMac(bytes.data(), *FindKey(authentication.keys, 1))));
        net.incoming.push_back({bytes, {server, 0x7B00}});
        Listen();
    }
    // The last refusal's reason, as the status file shows it.
    static std::string LastReason() { return AuthRefusalReason(statusRecord.lastAuthRefused); }
    MacResult Check(const Bytes& b) {
        return CheckMac(authentication.keys, b.data(), static_cast<int>(b.size()));
    }
};

TEST_F(AuthTest, MacsAreCheckedForKeyLengthAndDigest) {
    for (uint32_t id : {1u, 2u, 3u}) {
        if (FindKey(authentication.keys, id) == nullptr) continue;
        const Bytes good = Signed(0x1D, id);
        EXPECT_EQ(good.size(), id == 2 ? 72u : 68u);
        EXPECT_EQ(Check(good).verdict, MacVerdict::kValid) << id;
        EXPECT_EQ(Check(Signed(0x1D, id, true)).verdict, MacVerdict::kBadDigest) << id;
        EXPECT_EQ(Check(Bytes(good.begin(), good.end() - 1)).verdict, MacVerdict::kBadLength) << id;
        Bytes longer = good;
        longer.push_back(0);
        EXPECT_EQ(Check(longer).verdict, MacVerdict::kBadLength) << id;
    }
    Bytes unknown = Signed(0x1D, 1);
    unknown[51] = 9;
    EXPECT_EQ(Check(unknown).verdict, MacVerdict::kUnknownKey);
    EXPECT_EQ(Check(Bytes(52)).verdict, MacVerdict::kCryptoNak);
    EXPECT_EQ(Check(Bytes(48)).verdict, MacVerdict::kAbsent);
    EXPECT_EQ(Check(Bytes(80)).verdict, MacVerdict::kBadLength);
}

TEST_F(AuthTest, TheResponderSignsUnderTheRequestsKeyAndOtherwiseSendsACryptoNak) {
    const Bytes signed1 = Signed(0x23, 1);
    Bytes unknownKey = signed1;
    unknownKey[51] = 9;
    struct Case {
        Bytes request;
        size_t replyLength;
        MacVerdict verdict;
    } cases[] = {
        {Signed(0x23, 1), 68, MacVerdict::kValid},
        {Signed(0x23, 2), 72, MacVerdict::kValid},
        {unknownKey, 52, MacVerdict::kCryptoNak},
        {Signed(0x23, 1, true), 52, MacVerdict::kCryptoNak},
        {Signed(0x23, 0), 48, MacVerdict::kAbsent},
        {Bytes(signed1.begin(), signed1.end() - 3), 48, MacVerdict::kAbsent},  // no MAC of a known shape
    };
    // A client never signs under a key it trusts broadcasts under: only the broadcaster vouches for that
    // time, and a poll passed on to a client would otherwise come back with the client's clock in it.
    settings.trustedConfigured = true;
    settings.trusted = {2};
    cases[1] = {Signed(0x23, 2), 52, MacVerdict::kCryptoNak};
    for (const Case& c : cases) {
        net.sent.clear();
        net.incoming.push_back({c.request, {Ip(10, 0, 0, 2), 0x3930}});
        Listen();
        ASSERT_EQ(net.sent.size(), 1u);
        const Bytes& reply = net.sent[0].bytes;
        EXPECT_EQ(reply.size(), c.replyLength);
        EXPECT_LE(reply.size(), c.request.size());
        const MacResult mac = Check(reply);
        EXPECT_EQ(mac.verdict, c.verdict);
        if (c.verdict == MacVerdict::kValid) {
            EXPECT_EQ(mac.keyId, Check(c.request).keyId);
        }
    }
}

TEST_F(AuthTest, TrustedKeysAdmitOnlySignedBroadcastsConfirmedByASignedReply) {
    settings.trustedConfigured = true;
    settings.trusted = {2};
    const uint32_t server = Ip(10, 0, 0, 1);
    struct Case {
        Bytes broadcast;
        const char* reason;
    } refused[] = {{Signed(0x1D, 0), "no MAC"},
                   {Signed(0x1D, 1), "key 1 is not trusted"},
                   {Signed(0x1D, 2, true), "a wrong digest under key 2"}};
    for (const Case& c : refused) {
        net.incoming.push_back({c.broadcast, {server, 0x7B00}});
        Listen();
        EXPECT_EQ(syncState.lastServer, 0u);
        EXPECT_EQ(LastReason(), c.reason);
    }
    EXPECT_EQ(statusRecord.authRefused, 3u);

    // A genuine broadcast is held until its sender answers a signed poll sent after it.
    const Bytes genuine = Signed(0x1D, 2);
    net.incoming.push_back({genuine, {server, 0x7B00}});
    Listen();
    EXPECT_EQ(syncState.lastServer, 0u);
    EXPECT_EQ(statusRecord.broadcastsUnconfirmed, 1u);
    ASSERT_EQ(net.sent.size(), 1u);
    EXPECT_EQ(Check(net.sent[0].bytes).keyId, 2u);  // the poll is signed with the broadcast's key
    // A reply with the right origin but no MAC is refused; signed under key 2, it confirms the broadcast.
    const SntpMessage reply = ReplyTo(net.sent[0].bytes, 2, clock.unixMs, clock.unixMs);
    Bytes plain(reply.bytes, reply.bytes + 48);
    net.incoming.push_back({plain, {server, 0x7B00}});
    Listen();
    EXPECT_EQ((std::tuple(syncState.delayValid, syncState.lastServer)), (std::tuple(0, 0u)));
    plain.resize(kMaxAuthenticatedBytes);
    plain.resize(static_cast<size_t>(AppendMac(plain.data(), *FindKey(authentication.keys, 2))));
    net.incoming.push_back({plain, {server, 0x7B00}});
    Listen();
    EXPECT_EQ((std::tuple(syncState.delayValid, syncState.lastServer, statusRecord.broadcastsAccepted)),
              (std::tuple(1, server, 1u)));
    // Recorded and sent again, from any address, it is a replay.
    net.incoming.push_back({genuine, {Ip(10, 0, 0, 9), 0x7B00}});
    Listen();
    EXPECT_EQ(LastReason(), "a replay of an earlier broadcast");
    EXPECT_EQ(statusRecord.broadcastsAccepted, 1u);
}

// The followed server's broadcasts are taken while they keep near the error its last signed answer
// confirmed; one that leaves the band waits for a fresh answer that agrees with it.
TEST_F(AuthTest, TheServerIsConfirmedAgainOnceItsErrorLeavesTheBand) {
    settings.trustedConfigured = true;
    settings.trusted = {1};
    const uint32_t server = Ip(10, 0, 0, 1);
    const auto hear = [&](int64_t aheadMs) { HearSigned(server, aheadMs); };
    const auto answer = [&](int64_t aheadMs) { AnswerSigned(server, 2, aheadMs); };
    hear(100);
    answer(100);
    ASSERT_EQ(statusRecord.broadcastsAccepted, 1u);
    const struct {
        int64_t aheadMs;
        uint64_t accepted, held;
    } steps[] = {{300, 2, 1}, {400, 2, 2}};
    for (const auto& step : steps) {
        Advance(kMinPollIntervalMs);
        hear(step.aheadMs);
        EXPECT_EQ(statusRecord.broadcastsAccepted, step.accepted) << step.aheadMs;
        EXPECT_EQ(statusRecord.broadcastsUnconfirmed, step.held) << step.aheadMs;
    }
    answer(400);  // the server confirms it: followed, and the band is about it now
    EXPECT_EQ(statusRecord.broadcastsAccepted, 3u);
    Advance(kMinPollIntervalMs);
    hear(450);
    EXPECT_EQ(statusRecord.broadcastsAccepted, 4u);
}

#ifndef _WIN32
TEST_F(AuthTest, SettingsAndTheKeysFileSayWhatTheyCannotUse) {
    const std::string keys = TestPath("test.keys"), ini = TestPath("keys.ini");
    SetEnvironment("ZELKOR_CONFIG", ini.c_str());
    struct Case {
        int mode;
        const char* settings;
        bool starts;
        std::vector<std::string> log;
        size_t keys;
    } cases[] = {
        {0600,
         "TrustedKeys=1, x 70000\n",
         true,
         {"Keys file \"" + keys + "\" line 2: its type is not MD5, SHA1 or AES128; the line is skipped",
          "Keys loaded: 1 (MD5)", "TrustedKeys entry \"x\" is not a key ID from 1 to 65534; it is ignored",
          "TrustedKeys entry \"70000\" is not a key ID from 1 to 65534; it is ignored",
          "Accepting time broadcasts only under keys 1"},
         1},
        {0600,
         "BroadcastKey=7\n",
         false,
         {"Keys file \"" + keys + "\" line 2: its type is not MD5, SHA1 or AES128; the line is skipped",
          "Keys loaded: 1 (MD5)", "BroadcastKey \"7\" is no loaded key; Zelkor does not start"},
         0},
        {0640,
         "TrustedKeys=\n",
         false,
         {"Keys file \"" + keys +
              "\" cannot be used: group or others may read or change it (chmod 600 it); Zelkor does not "
              "start",
          "TrustedKeys names no usable key; Zelkor does not start"},
         0},
    };
    for (const Case& c : cases) {
        std::remove(keys.c_str());
        std::ofstream(keys) << "1 MD5 secret-one\n2 SHA512 secret-two\n";
        ASSERT_EQ(chmod(keys.c_str(), static_cast<mode_t>(c.mode)), 0);
        std::ofstream(ini) << "[Zelkor]\nKeys=" << keys << "\n" << c.settings;
        TakeLog();
        std::string refusal;
        EXPECT_EQ(LoadSettings(refusal), c.starts);
        const std::vector<std::string> log = TakeLog();
        EXPECT_EQ(log, c.log);
        std::string first;  // the status file's failure: the first reason
        for (const std::string& line : c.log)
            if (first.empty() && line.find("does not start") != std::string::npos) first = line;
        EXPECT_EQ(refusal, first);
        for (const std::string& line : log) EXPECT_EQ(line.find("secret"), std::string::npos) << line;
        EXPECT_EQ(authentication.keys.size(), c.keys);
    }
    std::remove(keys.c_str());
    std::remove(ini.c_str());
}
#endif

// What a LAN attacker tried: replies reflected or of another stratum, a confirmation of another time, a
// server locked out by a broadcast once dated ahead.
TEST_F(AuthTest, OnlyAFreshSignedAnswerAtTheBroadcastsStratumAndTimeConfirmsIt) {
    settings.trustedConfigured = true;
    settings.trusted = {1};
    const uint32_t server = Ip(10, 0, 0, 1);
    const auto hear = [&](int64_t aheadMs) { HearSigned(server, aheadMs); };
    const auto answer = [&](int stratum, int64_t aheadMs) { AnswerSigned(server, stratum, aheadMs); };
    hear(0);
    const Bytes poll = net.sent.back().bytes;
    net.incoming.push_back({poll, {Ip(10, 0, 0, 9), 0x7B00}});  // our own poll, sent back to us
    Listen();
    EXPECT_EQ(statusRecord.requestsDropped, 1u);
    answer(15, 0);    // another stratum: a reply of some other server's (or our own) responder
    answer(2, 5000);  // the held broadcast's stratum, but another time
    EXPECT_EQ((std::tuple(syncState.lastServer, statusRecord.repliesRefused, LastReason())),
              (std::tuple(0u, 2u, std::string("a reply whose time is not its broadcast's"))));
    Advance(kMinPollIntervalMs);
    hear(0);
    answer(2, 0);
    EXPECT_EQ(syncState.lastServer, server);
    // A broadcast once dated a day ahead leaves every later one a replay, until the server's signed answer
    // tells its time is before it.
    syncState.freshness = {{1, SystemClock().Now() + NtpTime(86400)}};
    Advance(kMinPollIntervalMs);
    hear(0);
    EXPECT_EQ(LastReason(), "a replay of an earlier broadcast");
    answer(2, 0);
    Advance(1000);
    hear(0);
    EXPECT_EQ(statusRecord.broadcastsAccepted, 2u);
}
