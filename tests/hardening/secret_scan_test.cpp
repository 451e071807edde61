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

// Windows of the package, re-masked from the masked copy taken as it was read.
void addPackagePatterns(const std::vector<std::uint8_t>& maskedPackage,
                        std::vector<MaskedPattern>& patterns) {
    for (std::size_t at = 0; at + kPackageWindow <= maskedPackage.size(); at += kPackageWindow) {
        std::vector<std::uint8_t> window(kPackageWindow);
        for (std::size_t i = 0; i < kPackageWindow; ++i) {
            window[i] = maskedPackage[at + i] ^ maskByte(at + i) ^ maskByte(i);
        }
        patterns.emplace_back("package bytes at " + std::to_string(at), std::move(window));
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
    // The scan finds what is there: the test's own plain copy, until it is wiped.
    const ScanReport withOwnCopy = scanWritableMemory({patterns.front()});
    const auto ownCopy = reinterpret_cast<std::uintptr_t>(password.data());
    EXPECT_TRUE(std::any_of(withOwnCopy.hits.begin(), withOwnCopy.hits.end(),
                            [&](const MemoryHit& hit) { return hit.address == ownCopy; }));
    platform::wipe(password);
    ASSERT_EQ(outcome.message, u"証明書は正しくインポートされました。");
    ASSERT_EQ(maskedReads.size(), 2u);
    ASSERT_GT(maskedReads[1].size(), 1000u) << "the package";
    addPackagePatterns(maskedReads[1], patterns);

    server.process->closeInput();
    EXPECT_EQ(server.process->readLine(std::chrono::seconds(10)), "handshakes 1 requests 2");

    // NSS keeps each package's decoder, whose certificates point into it, until it shuts
    // down; the decoder holds the package's key bag and MAC, and frees them zeroed. Nothing
    // else may hold any of it, and nothing may hold the password at all.
    const ScanReport afterAttempt = scanWritableMemory(patterns);
    print("after the attempt", afterAttempt, patterns.size());
    for (const MemoryHit& hit : afterAttempt.hits) {
        EXPECT_TRUE(hit.pattern.starts_with("package bytes")) << hit.pattern;
    }
    ASSERT_TRUE(services().shutdown());
    const ScanReport afterShutdown = scanWritableMemory(patterns);
    print("after NSS shut down", afterShutdown, patterns.size());
    EXPECT_THAT(afterShutdown.hits, IsEmpty());
}

}  // namespace
}  // namespace tessaly::hardening
