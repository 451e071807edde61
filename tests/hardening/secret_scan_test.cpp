// After a whole attempt on the real services (the reference server runs as a child process, so
// its memory is not ours to scan), no writable memory of this process holds the password, in
// any form the program makes of it, nor the bytes of the renewed package.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "attempt_support.h"
#include "hardening_support.h"
#include "memory_scan.h"
#include "platform/secure_memory.h"
#include "renewal/encodings.h"

namespace tessaly::hardening {
namespace {

using attempt_test::Attempt;
using attempt_test::AttemptTest;
using attempt_test::SharedPki;
using platform::SecureBytes;
using platform::WideString;
using ::testing::IsEmpty;

constexpr std::size_t kPackageWindow = 32;

constexpr char16_t maskUnit(std::size_t index) {
    return static_cast<char16_t>(0x5A00 | maskByte(index));
}

// A text literal of which only the masked form reaches the program's image.
template <std::size_t N>
struct MaskedText {
    char16_t units[N - 1] = {};
};
template <std::size_t N>
constexpr MaskedText<N> maskText(const char16_t (&text)[N]) {
    MaskedText<N> result;
    for (std::size_t i = 0; i + 1 < N; ++i) {
        result.units[i] = static_cast<char16_t>(text[i] ^ maskUnit(i));
    }
    return result;
}

// Distinctive in every form: ASCII that percent-encoding leaves alone, characters of code page
// 932 that it encodes, and a space (a "+" in the form).
constexpr auto kMaskedPassword = maskText(u"Qv8更新Jx4 パスZk7Wr2");

template <class Bytes>
MaskedPattern patternOf(std::string name, const Bytes& plain) {
    return {std::move(name), masked({reinterpret_cast<const std::uint8_t*>(plain.data()),
                                     plain.size() * sizeof(typename Bytes::value_type)})};
}

// The password in each form the program makes of it, masked; every plain copy made on the way
// is wiped.
std::vector<MaskedPattern> passwordPatterns(const WideString& password) {
    std::vector<MaskedPattern> patterns;
    patterns.push_back(patternOf("password as UTF-16", password));

    SecureBytes bigEndian;
    SecureBytes utf8;
    for (const char16_t unit : password) {
        bigEndian.push_back(static_cast<std::uint8_t>(unit >> 8));
        bigEndian.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        if (unit < 0x80) {
            utf8.push_back(static_cast<std::uint8_t>(unit));
        } else {  // the password has no character past U+FFFF
            utf8.push_back(static_cast<std::uint8_t>(0xE0 | (unit >> 12)));
            utf8.push_back(static_cast<std::uint8_t>(0x80 | ((unit >> 6) & 0x3F)));
            utf8.push_back(static_cast<std::uint8_t>(0x80 | (unit & 0x3F)));
        }
    }
    patterns.push_back(patternOf("password as UTF-16BE (PKCS#12)", bigEndian));
    patterns.push_back(patternOf("password as UTF-8", utf8));
    platform::wipe(bigEndian);
    platform::wipe(utf8);

    platform::NarrowString narrow = toNarrow(password);
    patterns.push_back(patternOf("password in code page 932", narrow));
    platform::wipe(narrow);

    WideString encoded = urlEncode(password);
    patterns.push_back(patternOf("percent-encoded password as UTF-16", encoded));
    platform::NarrowString encodedNarrow(encoded.begin(), encoded.end());
    patterns.push_back(patternOf("percent-encoded password (the form)", encodedNarrow));
    platform::wipe(encoded);
    platform::wipe(encodedNarrow);
    return patterns;
}

// The package as read, kept masked; a byte is unmasked only to be looked at.
class MaskedPackage {
  public:
    explicit MaskedPackage(std::vector<std::uint8_t> masked) : masked_(std::move(masked)) {}
    std::size_t size() const { return masked_.size(); }
    std::uint8_t at(std::size_t index) const { return masked_[index] ^ maskByte(index); }
    // Bytes [from, from + count) as a pattern, masked as patterns are.
    std::vector<std::uint8_t> window(std::size_t from, std::size_t count) const {
        std::vector<std::uint8_t> bytes(count);
        for (std::size_t i = 0; i < count; ++i) {
            bytes[i] = masked_[from + i] ^ maskByte(from + i) ^ maskByte(i);
        }
        return bytes;
    }

  private:
    std::vector<std::uint8_t> masked_;
};

struct Range {
    std::size_t begin = 0;
    std::size_t end = 0;
};

// The header of the DER element at `at`; false when none fits before `end`.
bool readHeader(const MaskedPackage& der, std::size_t at, std::size_t end, std::uint8_t& tag,
                Range& content) {
    if (at + 2 > end) {
        return false;
    }
    tag = der.at(at);
    std::size_t length = der.at(at + 1);
    std::size_t contentAt = at + 2;
    if (length >= 0x80) {
        const std::size_t digits = length & 0x7F;
        if (digits == 0 || digits > 4 || contentAt + digits > end) {
            return false;
        }
        length = 0;
        for (std::size_t i = 0; i < digits; ++i) {
            length = (length << 8) | der.at(contentAt + i);
        }
        contentAt += digits;
    }
    if (contentAt + length > end) {
        return false;
    }
    content = {contentAt, contentAt + length};
    return true;
}

// Collects the primitive elements of 64 bytes or more: in a PKCS#12 package those are the
// ciphertexts (of the certificates and of the key); salts, IVs, key ids, names and the MAC are
// shorter. OCTET STRINGs that hold DER (the authenticated safe, the key's safe) are walked into.
void collectPayloads(const MaskedPackage& der, Range range, std::vector<Range>& payloads) {
    std::size_t at = range.begin;
    std::uint8_t tag = 0;
    Range content;
    while (at < range.end && readHeader(der, at, range.end, tag, content)) {
        std::uint8_t innerTag = 0;
        Range inner;
        const bool holdsDer = tag == 0x04 &&
                              readHeader(der, content.begin, content.end, innerTag, inner) &&
                              innerTag == 0x30 && inner.end == content.end;
        if ((tag & 0x20) != 0 || holdsDer) {
            collectPayloads(der, content, payloads);
        } else if (content.end - content.begin >= 64) {
            payloads.push_back(content);
        }
        at = content.end;
    }
}

constexpr char kCiphertext[] = "package ciphertext";
constexpr char kStructure[] = "package structure";

// Windows of the package: of its ciphertext, and of the rest (parameters, attributes, MAC).
void addPackagePatterns(const MaskedPackage& package, std::vector<MaskedPattern>& patterns) {
    std::vector<Range> payloads;
    collectPayloads(package, {0, package.size()}, payloads);
    ASSERT_EQ(payloads.size(), 2u) << "the certificates' and the key's ciphertext";
    for (std::size_t at = 0; at + kPackageWindow <= package.size(); at += kPackageWindow) {
        const bool ciphertext = std::any_of(payloads.begin(), payloads.end(), [&](Range payload) {
            return payload.begin <= at && at + kPackageWindow <= payload.end;
        });
        patterns.emplace_back(
            std::string(ciphertext ? kCiphertext : kStructure) + " at " + std::to_string(at),
            package.window(at, kPackageWindow));
    }
}

void print(const char* when, const ScanReport& report, std::size_t patterns) {
    std::cout << when << ": " << report.bytesScanned / 1024 << " KiB of writable memory, "
              << patterns << " patterns, " << report.hits.size() << " hits\n";
    for (const MemoryHit& hit : report.hits) {
        std::cout << "  " << hit.pattern << " at 0x" << std::hex << hit.address << std::dec
                  << " in " << hit.mapping << "\n";
    }
}

class SecretScan : public AttemptTest {};

TEST_F(SecretScan, NoCopyOfThePasswordOrThePackageOutlivesTheAttempt) {
    const attempt_test::ServerProgram server;
    const std::uint16_t port = server.port;

    WideString password;
    for (std::size_t i = 0; i < std::size(kMaskedPassword.units); ++i) {
        password.push_back(static_cast<char16_t>(kMaskedPassword.units[i] ^ maskUnit(i)));
    }
    std::vector<MaskedPattern> patterns = passwordPatterns(password);

    std::vector<std::vector<std::uint8_t>> maskedReads;
    const Attempt outcome = attemptAt(
        port, SharedPki::instance().pki.tlsRootPem, SharedPki::instance().expiredUserDer, password,
        [&](platform::curl::CurlInternet& net, RenewalJob& job) {
            ObservedInternet observed(net, [&](const std::uint8_t* data, std::uint32_t count) {
                maskedReads.push_back(masked({data, count}));
            });
            return _doImport(services(), observed, job, job.url, job.password);
        });
    ASSERT_EQ(outcome.message, u"証明書は正しくインポートされました。");
    ASSERT_EQ(maskedReads.size(), 2u);
    ASSERT_GT(maskedReads[1].size(), 1000u) << "the package";
    addPackagePatterns(MaskedPackage(std::move(maskedReads[1])), patterns);

    server.process->closeInput();
    EXPECT_EQ(server.process->readLine(std::chrono::seconds(10)), "handshakes 1 requests 2");

    // Nothing may hold the password but the test's own plain copy, which shows that the scan
    // finds what is there. NSS keeps each package's decoder, whose certificates point into it,
    // until it shuts down; the decoder holds the key's ciphertext and the MAC, and frees them
    // zeroed. Once NSS is shut down nothing may hold any of the ciphertext. NSS's copies of the
    // package's parameters and attributes (salts, IVs, key id, name: no secret) may linger in
    // memory it freed; they are listed.
    const auto ownCopy = reinterpret_cast<std::uintptr_t>(password.data());
    const ScanReport afterAttempt = scanWritableMemory(patterns);
    print("after the attempt", afterAttempt, patterns.size());
    EXPECT_TRUE(std::any_of(afterAttempt.hits.begin(), afterAttempt.hits.end(),
                            [&](const MemoryHit& hit) { return hit.address == ownCopy; }));
    for (const MemoryHit& hit : afterAttempt.hits) {
        EXPECT_TRUE(hit.pattern.starts_with("package") || hit.address == ownCopy) << hit.pattern;
    }
    platform::wipe(password);
    ASSERT_TRUE(services().shutdown());
    const ScanReport afterShutdown = scanWritableMemory(patterns);
    print("after NSS shut down", afterShutdown, patterns.size());
    for (const MemoryHit& hit : afterShutdown.hits) {
        EXPECT_TRUE(hit.pattern.starts_with(kStructure)) << hit.pattern;
    }
}

}  // namespace
}  // namespace tessaly::hardening
