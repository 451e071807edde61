// Small helpers the benchmark programs share: a monotonic clock in milliseconds, the median of
// rounds, the process's peak memory, a directory copied afresh for each round, and the user's
// stand-in that answers the certificate services' questions.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/certificate_prompts.h"

namespace tessaly::bench {

// Milliseconds on CLOCK_MONOTONIC (one clock for every process of the machine).
double nowMs();

// The median of the rounds (the mean of the middle two for an even count); 0 for none.
double median(std::vector<double> values);

// The peak resident set of this process so far, in KiB.
long maxRssKb();

// `target` removed and made a fresh copy of `source` (a seeded HOME for one round).
void copyFresh(const std::filesystem::path& source, const std::filesystem::path& target);

// HOME set to `home` and XDG_DATA_HOME unset, so NSS opens home/.local/share/pki/nssdb or
// home/.pki/nssdb; no proxy from the environment between the client and 127.0.0.1.
void useHome(const std::filesystem::path& home);

// Prints "name value" lines that bench/run.sh reads.
void report(const std::string& name, double value);

// The user: the database has no password, roots are accepted, and the first certificate the
// selection dialog would list is chosen. Counts the choices offered.
class FirstChoicePrompts final : public platform::CertificatePrompts {
  public:
    std::optional<platform::WideString> databasePassword(std::u16string_view) override;
    bool confirmRootCertificate(const platform::RootCertificateDetails&) override { return true; }
    std::optional<std::size_t> chooseCertificate(
        const platform::SelectCertificateParams&,
        std::span<const platform::CertificateChoice> choices) override;

    std::size_t offered = 0;
};

}  // namespace tessaly::bench
