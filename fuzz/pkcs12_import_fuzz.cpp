// The renewed package as the job hands it to the import: arbitrary bytes on the real NSS
// certificate services, over a throwaway database in a temporary HOME that lives as long as
// the process (NSS is initialised once). Every question to the user is refused, so a root
// in a package is never trusted.
//
// A mutated package almost never keeps a valid MAC, which would stop every input at the
// password check. So each input that OpenSSL can read as a PFX is imported a second time with
// its MAC made anew over its (mutated) contents: that one reaches the bags, the certificates
// and their placement.
#include <stdlib.h>  // mkdtemp, setenv

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pkcs12.h>

#include "certstore/pkcs12_import.h"
#include "fuzz_input.h"
#include "platform/certificate_prompts.h"
#include "platform/failure.h"
#include "platform/nss/nss_certificate_services.h"

namespace {

using tessaly::fuzz::check;
namespace platform = tessaly::platform;
namespace code = tessaly::import_code;

// The password of the packages in the seed corpus (ASCII, so OpenSSL's BMPString of it is
// what NSS makes of the UTF-16 text).
constexpr char16_t kPassword[] = u"Renew-2024!";
constexpr char kPasswordAscii[] = "Renew-2024!";

class RefusingPrompts final : public platform::CertificatePrompts {
  public:
    std::optional<platform::WideString> databasePassword(std::u16string_view) override {
        return std::nullopt;
    }
    bool confirmRootCertificate(const platform::RootCertificateDetails&) override { return false; }
    std::optional<std::size_t> chooseCertificate(
        const platform::SelectCertificateParams&,
        std::span<const platform::CertificateChoice>) override {
        return std::nullopt;
    }
};

// HOME in a temporary directory with the services on its database; at exit NSS is shut down
// before the directory goes.
class ThrowawayDatabase {
  public:
    ThrowawayDatabase() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tessaly-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            tessaly::fuzz::fail("no temporary directory");
        }
        home_ = pattern;
        setenv("HOME", home_.c_str(), 1);
        unsetenv("XDG_DATA_HOME");
        services_ = std::make_unique<platform::nss::NssCertificateServices>(prompts_);
        // Opening a store opens (and first makes) the database.
        const platform::StoreHandle my = services_->openSystemStore(platform::cert::kStoreMy);
        if (!my) {
            tessaly::fuzz::fail("the NSS database cannot be opened");
        }
        services_->closeStore(my, platform::cert::kCloseStoreCheckFlag);
    }
    ~ThrowawayDatabase() {
        if (!services_->shutdown()) {
            std::fprintf(stderr, "NSS_Shutdown failed: a reference was left behind\n");
        }
        services_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(home_, ignored);
    }
    ThrowawayDatabase(const ThrowawayDatabase&) = delete;
    ThrowawayDatabase& operator=(const ThrowawayDatabase&) = delete;

    platform::nss::NssCertificateServices& services() { return *services_; }

  private:
    std::filesystem::path home_;
    RefusingPrompts prompts_;
    std::unique_ptr<platform::nss::NssCertificateServices> services_;
};

std::unique_ptr<ThrowawayDatabase> g_database;

bool knownFailure(std::int32_t errorCode) {
    switch (errorCode) {
        case code::kNotPkcs12:
        case code::kWrongPassword:
        case code::kImportFailed:
        case code::kKeyQueryFailed:
        case code::kStoreOpenFailed:
        case code::kAddFailed:
        case static_cast<std::int32_t>(platform::kOtherFailure):
            return true;
        default:
            return false;
    }
}

struct Pkcs12Free {
    void operator()(PKCS12* p12) const { PKCS12_free(p12); }
};

// The package re-encoded with a fresh MAC (SHA-256, fixed salt, so that a run can be
// repeated); none when OpenSSL cannot read it or its contents are not plain data.
std::optional<std::vector<std::uint8_t>> withFreshMac(const std::uint8_t* data, std::size_t size) {
    const unsigned char* cursor = data;
    const std::unique_ptr<PKCS12, Pkcs12Free> p12(
        d2i_PKCS12(nullptr, &cursor, static_cast<long>(size)));
    if (!p12) {
        return std::nullopt;
    }
    unsigned char salt[8] = {0x54, 0x65, 0x73, 0x73, 0x61, 0x6c, 0x79, 0x21};
    if (PKCS12_set_mac(p12.get(), kPasswordAscii, -1, salt, sizeof salt, 1, EVP_sha256()) != 1) {
        return std::nullopt;
    }
    unsigned char* encoded = nullptr;
    const int length = i2d_PKCS12(p12.get(), &encoded);
    if (length <= 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(encoded, encoded + length);
    OPENSSL_free(encoded);
    return bytes;
}

void importOnce(const std::uint8_t* data, std::size_t size) {
    tessaly::Pkcs12Package package;
    package.data = data;
    package.size = static_cast<std::uint32_t>(size);
    package.password = kPassword;
    // Both ways of the key's exportable flag, chosen by the size's parity.
    package.exportable = static_cast<std::int32_t>(size % 2);
    const int result = tessaly::_import(g_database->services(), package);
    if (result == 1) {
        check(package.errorCode == 0, "success leaves no error code");
    } else {
        check(result == 0 && knownFailure(package.errorCode), "a failure carries a known code");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_database = std::make_unique<ThrowawayDatabase>();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    importOnce(data, size);
    if (const auto remade = withFreshMac(data, size)) {
        importOnce(remade->data(), remade->size());
    }
    return 0;
}
