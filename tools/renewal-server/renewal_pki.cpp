#include "renewal_pki.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace tessaly::renewal_server {
namespace fs = std::filesystem;

namespace {

void writeText(const fs::path& path, const std::string& text, bool secret) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) {
            throw std::runtime_error("cannot write " + path.string());
        }
    }
    if (secret) {
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    }
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Made {
    X509Owner certificate;
    KeyOwner key;
};

using Clock = std::chrono::system_clock;
constexpr auto kDay = std::chrono::hours(24);

Made makeCa(const std::string& commonName, const Made* issuer) {
    Made made;
    made.key = generateKey(KeyType::Ec);
    const NameOwner name =
        makeName({{"C", "JP"}, {"O", "Corvane Banking Union"}, {"CN", commonName}});
    CertificateRequest request;
    request.subject = name.get();
    request.subjectKey = made.key.get();
    request.issuer = issuer != nullptr ? issuer->certificate.get() : nullptr;
    request.issuerKey = issuer != nullptr ? issuer->key.get() : nullptr;
    request.notBefore = Clock::now() - 3 * 365 * kDay;
    request.notAfter = Clock::now() + 10 * 365 * kDay;
    request.extensions = caExtensions(issuer == nullptr);
    made.certificate = buildCertificate(request);
    return made;
}

}  // namespace

void makeRenewalPki(const fs::path& directory, const PkiOptions& options) {
    fs::create_directories(directory);

    // TLS: a root of its own and the server's certificate.
    Made tlsRoot;
    tlsRoot.key = generateKey(KeyType::Ec);
    const NameOwner tlsRootName = makeName({{"O", "Tessaly tests"}, {"CN", kTlsRootNickname}});
    CertificateRequest rootRequest;
    rootRequest.subject = tlsRootName.get();
    rootRequest.subjectKey = tlsRoot.key.get();
    rootRequest.notBefore = Clock::now() - std::chrono::hours(1);
    rootRequest.notAfter = Clock::now() + 365 * kDay;
    rootRequest.extensions = caExtensions(true);
    tlsRoot.certificate = buildCertificate(rootRequest);

    const KeyOwner tlsKey = generateKey(KeyType::Ec);
    const NameOwner tlsName = makeName({{"O", "Tessaly tests"}, {"CN", "127.0.0.1"}});
    CertificateRequest tlsRequest;
    tlsRequest.subject = tlsName.get();
    tlsRequest.subjectKey = tlsKey.get();
    tlsRequest.issuer = tlsRoot.certificate.get();
    tlsRequest.issuerKey = tlsRoot.key.get();
    tlsRequest.notBefore = Clock::now() - std::chrono::hours(1);
    tlsRequest.notAfter = Clock::now() + 90 * kDay;
    tlsRequest.extensions = {
        {"basicConstraints", "critical,CA:FALSE"},
        {"keyUsage", "critical,digitalSignature,keyEncipherment"},
        {"extendedKeyUsage", "serverAuth"},
        {"subjectAltName", "DNS:localhost,IP:127.0.0.1"},
        {"authorityKeyIdentifier", "keyid"},
    };
    const X509Owner tlsCertificate = buildCertificate(tlsRequest);

    // The renewal CAs.
    const Made root = makeCa("Corvane Root CA", nullptr);
    const Made ca = makeCa("Corvane Banking Union CA", &root);
    const Made caG2 = makeCa("Corvane Banking Union CA G2", &root);

    // The expired end-user certificate, issued by the first CA.
    const KeyOwner userKey = generateKey(options.expiredUserKey);
    const NameOwner userName =
        makeName({{"C", "JP"}, {"O", "Corvane Banking Union"}, {"CN", kExpiredUserName}});
    CertificateRequest userRequest;
    userRequest.subject = userName.get();
    userRequest.subjectKey = userKey.get();
    userRequest.issuer = ca.certificate.get();
    userRequest.issuerKey = ca.key.get();
    userRequest.notBefore = Clock::now() - 400 * kDay;
    userRequest.notAfter = Clock::now() - 30 * kDay;
    userRequest.extensions = endUserExtensions();
    const X509Owner user = buildCertificate(userRequest);

    std::string userPackage;
    {
        const std::string friendlyName = std::string(kExpiredUserName) + " (expired)";
        Pkcs12Owner package(PKCS12_create(kSeedPackagePassword, friendlyName.c_str(), userKey.get(),
                                          user.get(), nullptr, 0, 0, 0, 0, 0));
        requireOpenSsl(package != nullptr, "seed package");
        const int length = i2d_PKCS12(package.get(), nullptr);
        requireOpenSsl(length > 0, "seed package encoding");
        userPackage.resize(static_cast<std::size_t>(length));
        auto* cursor = reinterpret_cast<unsigned char*>(userPackage.data());
        i2d_PKCS12(package.get(), &cursor);
    }

    writeText(directory / "tls-root.pem", pemOf(tlsRoot.certificate.get()), false);
    writeText(directory / "tls-chain.pem",
              pemOf(tlsCertificate.get()) + pemOf(tlsRoot.certificate.get()), false);
    writeText(directory / "tls-key.pem", pemOf(tlsKey.get()), true);
    writeText(directory / "root.pem", pemOf(root.certificate.get()), false);
    writeText(directory / "ca.pem", pemOf(ca.certificate.get()), false);
    writeText(directory / "ca-key.pem", pemOf(ca.key.get()), true);
    writeText(directory / "ca-g2.pem", pemOf(caG2.certificate.get()), false);
    writeText(directory / "ca-g2-key.pem", pemOf(caG2.key.get()), true);
    writeText(directory / "accepted-cas.pem",
              pemOf(ca.certificate.get()) + pemOf(caG2.certificate.get()), false);
    writeText(directory / "expired-user.pem", pemOf(user.get()), false);
    writeText(directory / "expired-user-key.pem", pemOf(userKey.get()), true);
    writeText(directory / "expired-user.p12", userPackage, true);
}

RenewalPki loadRenewalPki(const fs::path& directory) {
    RenewalPki pki;
    pki.tlsRootPem = readText(directory / "tls-root.pem");
    pki.tlsChainPem = readText(directory / "tls-chain.pem");
    pki.tlsKeyPem = readText(directory / "tls-key.pem");
    pki.rootPem = readText(directory / "root.pem");
    pki.caPem = readText(directory / "ca.pem");
    pki.caKeyPem = readText(directory / "ca-key.pem");
    pki.caG2Pem = readText(directory / "ca-g2.pem");
    pki.caG2KeyPem = readText(directory / "ca-g2-key.pem");
    pki.expiredUserPem = readText(directory / "expired-user.pem");
    pki.expiredUserKeyPem = readText(directory / "expired-user-key.pem");
    return pki;
}

RenewalSettings renewalSettings(const RenewalPki& pki) {
    RenewalSettings settings;
    settings.acceptedCasPem = pki.caPem + pki.caG2Pem;
    settings.issuingCaPem = pki.caG2Pem;
    settings.issuingKeyPem = pki.caG2KeyPem;
    settings.rootPem = pki.rootPem;
    return settings;
}

Config renewalServerConfig(const RenewalPki& pki) {
    Config config;
    config.certificateChainPem = pki.tlsChainPem;
    config.privateKeyPem = pki.tlsKeyPem;
    config.first = Reply::challengeText();
    config.second = Reply::renewal();
    config.renewal = renewalSettings(pki);
    return config;
}

fs::path nssDatabaseDirectory(const fs::path& home) {
    const fs::path legacy = home / ".pki" / "nssdb";
    if (fs::is_directory(legacy)) {
        return legacy;
    }
    return home / ".local" / "share" / "pki" / "nssdb";
}

std::string runProgram(const std::vector<std::string>& arguments) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t child = -1;
    const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    std::string output;
    if (spawned == 0) {
        char buffer[4096];
        for (;;) {
            const ssize_t count = ::read(pipe[0], buffer, sizeof buffer);
            if (count > 0) {
                output.append(buffer, static_cast<std::size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                break;
            }
        }
    }
    ::close(pipe[0]);
    std::string command;
    for (const std::string& argument : arguments) {
        command += (command.empty() ? "" : " ") + argument;
    }
    if (spawned != 0) {
        throw std::runtime_error("cannot start " + command);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("failed: " + command + "\n" + output);
    }
    return output;
}

void seedNssDatabase(const fs::path& pkiDirectory, const fs::path& home) {
    const fs::path database = nssDatabaseDirectory(home);
    fs::create_directories(database);
    fs::permissions(database, fs::perms::owner_all);
    const std::string location = "sql:" + database.string();
    if (!fs::exists(database / "cert9.db")) {
        runProgram({"certutil", "-N", "--empty-password", "-d", location});
    }
    runProgram({"pk12util", "-i", (pkiDirectory / "expired-user.p12").string(), "-d", location,
                "-W", kSeedPackagePassword});
    runProgram({"certutil", "-A", "-n", kTlsRootNickname, "-t", "C,C,C", "-a", "-i",
                (pkiDirectory / "tls-root.pem").string(), "-d", location});
}

}  // namespace tessaly::renewal_server
