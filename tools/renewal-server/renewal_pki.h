// The PKI a renewal needs, made into a folder so the program, the demo and tests share it, and
// the seeding of a throwaway user's NSS database with the expired certificate.
//
// Files of the folder (PEM; keys are PKCS#8, not encrypted, mode 0600):
//   tls-root.pem            "Tessaly Test TLS Root": the root clients trust for the server
//   tls-chain.pem, tls-key.pem  the server's certificate for 127.0.0.1 and localhost, its root
//   root.pem                "Corvane Root CA", the root of the renewal CAs
//   ca.pem, ca-key.pem      "Corvane Banking Union CA": issued the expired certificate
//   ca-g2.pem, ca-g2-key.pem  "Corvane Banking Union CA G2": issues renewed certificates
//   accepted-cas.pem        ca.pem and ca-g2.pem: the CAs whose certificates may be renewed
//   expired-user.pem, expired-user-key.pem  the expired end-user certificate (with AKI) and key
//   expired-user.p12        the same with its key, password kSeedPackagePassword
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "openssl_types.h"
#include "renewal_server.h"

namespace tessaly::renewal_server {

inline constexpr char kTlsRootNickname[] = "Tessaly Test TLS Root";
inline constexpr char kExpiredUserName[] = "Yamada Taro";
inline constexpr char kSeedPackagePassword[] = "tessaly-seed";

struct PkiOptions {
    KeyType expiredUserKey = KeyType::Rsa;
};

// The folder's texts.
struct RenewalPki {
    std::string tlsRootPem;
    std::string tlsChainPem;
    std::string tlsKeyPem;
    std::string rootPem;
    std::string caPem;
    std::string caKeyPem;
    std::string caG2Pem;
    std::string caG2KeyPem;
    std::string expiredUserPem;
    std::string expiredUserKeyPem;
};

// Makes every file above into `directory` (created when missing). Throws on failure.
void makeRenewalPki(const std::filesystem::path& directory, const PkiOptions& options = {});
RenewalPki loadRenewalPki(const std::filesystem::path& directory);

// Renewal settings over the folder's CAs: accepted ca and ca-g2, issued by ca-g2 under root.
RenewalSettings renewalSettings(const RenewalPki& pki);
// A server configuration that serves TLS with the folder's certificate and renews: first the
// challenge, then Reply::renewal().
Config renewalServerConfig(const RenewalPki& pki);

// The user's NSS database for `home`, as the tool finds it: home/.pki/nssdb when that exists,
// else home/.local/share/pki/nssdb. XDG_DATA_HOME is deliberately not read: the home given
// is a throwaway one, and the tool must then run with XDG_DATA_HOME unset.
std::filesystem::path nssDatabaseDirectory(const std::filesystem::path& home);

// Creates the database for `home` when missing (mode 0700, empty password) and adds the
// expired certificate with its key ("u,u,u") and the TLS root trusted as CA ("C,C,C"), with
// certutil and pk12util. Throws std::runtime_error with the tool's output on failure.
void seedNssDatabase(const std::filesystem::path& pkiDirectory, const std::filesystem::path& home);

// Runs a program (no shell) and returns its standard output and error; throws
// std::runtime_error with them when it does not exit with 0.
std::string runProgram(const std::vector<std::string>& arguments);

}  // namespace tessaly::renewal_server
