#include "bench_support.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace tessaly::bench {

double nowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

long maxRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void copyFresh(const std::filesystem::path& source, const std::filesystem::path& target) {
    std::filesystem::remove_all(target);
    std::filesystem::copy(source, target, std::filesystem::copy_options::recursive);
}

void useHome(const std::filesystem::path& home) {
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_DATA_HOME");
    for (const char* name :
         {"https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) {
        unsetenv(name);
    }
}

void report(const std::string& name, double value) {
    std::printf("%s %.3f\n", name.c_str(), value);
    std::fflush(stdout);
}

std::optional<platform::WideString> FirstChoicePrompts::databasePassword(std::u16string_view) {
    return platform::WideString();
}

std::optional<std::size_t> FirstChoicePrompts::chooseCertificate(
    const platform::SelectCertificateParams&,
    std::span<const platform::CertificateChoice> choices) {
    offered = choices.size();
    if (choices.empty()) {
        return std::nullopt;
    }
    return 0;
}

}  // namespace tessaly::bench
