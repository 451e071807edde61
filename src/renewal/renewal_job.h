// One renewal attempt: ask for verification data, sign it, send the proof with the password,
// import the renewed package. Runs synchronously on the worker thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/certificate_services.h"
#include "platform/internet_services.h"
#include "platform/secure_memory.h"

namespace tessaly {

struct RenewalJob {
    platform::WideString url;
    platform::WideString password;
    int result = 0;
    platform::WideString message;
    platform::CertHandle certificate;  // borrowed: the picker's caller frees it

    RenewalJob() = default;
    ~RenewalJob() { platform::wipe(password); }
    RenewalJob(const RenewalJob&) = delete;
    RenewalJob& operator=(const RenewalJob&) = delete;
};

// "0:" followed by the data: 1 and the text after "0:", or 0 and empty data.
int parseVerificationData(std::u16string_view response, platform::WideString& data);

// Runs the whole attempt; 1 on success, 0 on any failure. Writes the job's message only.
int _doImport(platform::CertificateServices& certs, platform::InternetServices& net,
              RenewalJob& job, std::u16string_view url, std::u16string_view password);

}  // namespace tessaly
