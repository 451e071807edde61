// Test support for the NSS certificate services: a throwaway database in a temporary HOME,
// PKI made with the openssl CLI on first use, prompts answered by a double, and the NSS
// command-line tools to look at the database from outside.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/certificate_prompts.h"
#include "platform/nss/nss_certificate_services.h"

namespace tessaly::nss_test {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

// Runs a shell command; its standard output and error together.
struct CommandResult {
    int status = -1;
    std::string output;
};
CommandResult run(const std::string& command);
// Runs a command that must succeed (a failure throws, with the output).
std::string mustRun(const std::string& command);
std::string shellQuoted(const fs::path& path);

Bytes readFile(const fs::path& path);
void writeFile(const fs::path& path, const std::string& text);
void writeFile(const fs::path& path, const Bytes& bytes);
Bytes base64Decode(std::string_view text);
std::string toText(const Bytes& bytes);

// A directory removed with everything in it when the object goes.
class TemporaryDirectory {
  public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// A certificate made for the tests, with its key when it has one.
struct TestCertificate {
    fs::path certificate;  // PEM
    fs::path key;          // PEM, empty for none
    Bytes der;
    std::string subjectName;  // as openssl prints it
};

enum class PackageFlavour { OpenSsl, OpenSslLegacy, Pk12util };
std::string flavourName(PackageFlavour flavour);

inline constexpr char kPackagePassword[] = "Renew-2024!";

// The test PKI, made on first use of each part and removed at process exit. Names:
//   root "Tessaly Test Root" (self-signed) issues "Corvane Banking Union CA", which issues
//   the RSA user (expired) and the EC user (valid).
class Pki {
  public:
    static Pki& instance();

    const TestCertificate& root();
    const TestCertificate& intermediate();
    const TestCertificate& rsaUser();  // expired in 2021
    const TestCertificate& ecUser();
    const TestCertificate& selfSignedWithKey();

    // end-user + intermediate + root, in that order for the openssl flavours.
    const Bytes& chainPackage(PackageFlavour flavour, const std::string& password);
    const Bytes& ecChainPackage();
    const Bytes& selfSignedPackage();
    // A package of one end-user certificate (with its key) issued by a CA named `issuerCn`.
    const Bytes& userPackage(const std::string& issuerCn, const std::string& userCn, bool aki);
    // A self-signed certificate with the given -subj, without key in the package.
    const TestCertificate& selfSigned(const std::string& subject);

    // A package of `user` (with its key) followed by `others`.
    Bytes exportPackage(const std::string& name, const TestCertificate& user,
                        const std::vector<const TestCertificate*>& others,
                        const std::string& password, bool legacy);

    const fs::path& directory() const { return directory_.path(); }

  private:
    Pki();
    TestCertificate makeSelfSigned(const std::string& name, const std::string& subject,
                                   const std::string& keyAlgorithm);
    TestCertificate issue(const std::string& name, const TestCertificate& issuer,
                          const std::string& subject, const std::string& extensions,
                          const std::string& startDate, const std::string& endDate,
                          const std::string& keyAlgorithm);
    const TestCertificate& ca(const std::string& cn);

    TemporaryDirectory directory_;
    int counter_ = 0;
    std::map<std::string, TestCertificate> certificates_;
    std::map<std::string, Bytes> packages_;
};

// Answers the services' questions as a test scripts it, and records them.
class ScriptedPrompts final : public platform::CertificatePrompts {
  public:
    std::optional<std::u16string> password;  // none: refuse
    bool acceptRoots = true;
    // Picks among the choices; none: close the dialog.
    std::function<std::optional<std::size_t>(std::span<const platform::CertificateChoice>)> choose;

    int passwordRequests = 0;
    std::vector<platform::RootCertificateDetails> rootRequests;
    std::vector<std::u16string> offeredIssuedTo;

    std::optional<platform::WideString> databasePassword(std::u16string_view) override;
    bool confirmRootCertificate(const platform::RootCertificateDetails& details) override;
    std::optional<std::size_t> chooseCertificate(
        const platform::SelectCertificateParams& params,
        std::span<const platform::CertificateChoice> choices) override;
};

// HOME pointed at a temporary directory (and XDG_DATA_HOME unset) for the object's lifetime.
class TemporaryHome {
  public:
    TemporaryHome();
    ~TemporaryHome();
    TemporaryHome(const TemporaryHome&) = delete;
    TemporaryHome& operator=(const TemporaryHome&) = delete;
    const fs::path& path() const { return directory_.path(); }

  private:
    TemporaryDirectory directory_;
    std::optional<std::string> savedHome_;
    std::optional<std::string> savedDataHome_;
};

// `certutil` with the database option for `directory`.
std::string certutil(const fs::path& directory, const std::string& arguments);
// `certutil -L` of the database: nickname -> trust attributes.
std::map<std::string, std::string> certutilListing(const fs::path& database);
// The number of keys `certutil -K` lists.
int certutilKeyCount(const fs::path& database);

// One throwaway database per test: HOME points at a temporary directory; the service is
// shut down at the end, and NSS must agree that nothing is still referenced.
class NssDatabaseTest : public ::testing::Test {
  protected:
    NssDatabaseTest();
    ~NssDatabaseTest() override;
    void SetUp() override;
    void TearDown() override;

    platform::nss::NssCertificateServices& services() { return *services_; }
    const fs::path& home() const { return home_.path(); }
    // The database directory (the default one under the temporary HOME).
    fs::path databaseDirectory() const;

    // Runs the real importer on `package`; its result, with the error code in `errorCode`.
    int importPackage(const Bytes& package, std::string_view password, std::int32_t exportable = 0,
                      std::int32_t* errorCode = nullptr);
    // A context of the certificate `der` found by walking "MY" (the caller frees it).
    platform::CertHandle findInMy(const Bytes& der);

    // The DER encodings of the certificates a store view lists, in its order.
    std::vector<Bytes> storeContents(std::u16string_view store);
    // `certutil -L` of the database: nickname -> trust attributes.
    std::map<std::string, std::string> certutilListing();
    // The number of keys `certutil -K` lists.
    int certutilKeyCount();

    ScriptedPrompts prompts_;

  private:
    TemporaryHome home_;
    std::unique_ptr<platform::nss::NssCertificateServices> services_;
};

}  // namespace tessaly::nss_test
