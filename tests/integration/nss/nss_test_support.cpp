#include "nss_test_support.h"

#include "certstore/pkcs12_import.h"

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace tessaly::nss_test {

// ---- Commands and files ---------------------------------------------------------------------

CommandResult run(const std::string& command) {
    CommandResult result;
    const std::string full = "(" + command + ") 2>&1";
    FILE* pipe = popen(full.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    std::array<char, 4096> buffer{};
    std::size_t count = 0;
    while ((count = fread(buffer.data(), 1, buffer.size(), pipe)) != 0) {
        result.output.append(buffer.data(), count);
    }
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string mustRun(const std::string& command) {
    CommandResult result = run(command);
    if (result.status != 0) {
        throw std::runtime_error("command failed (" + std::to_string(result.status) +
                                 "): " + command + "\n" + result.output);
    }
    return std::move(result.output);
}

std::string shellQuoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

void writeFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes base64Decode(std::string_view text) {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    Bytes out;
    std::uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        if (c == '=') {
            break;
        }
        const std::size_t value = kAlphabet.find(c);
        if (value == std::string_view::npos) {
            throw std::runtime_error("not base64");
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<std::uint8_t>((bits >> count) & 0xFF));
        }
    }
    return out;
}

std::string toText(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = (fs::temp_directory_path() / "tessaly-nss-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code error;
    fs::remove_all(path_, error);
}

std::string flavourName(PackageFlavour flavour) {
    switch (flavour) {
        case PackageFlavour::OpenSsl:
            return "OpenSsl";
        case PackageFlavour::OpenSslLegacy:
            return "OpenSslLegacy";
        case PackageFlavour::Pk12util:
            return "Pk12util";
    }
    return "?";
}

// ---- PKI ------------------------------------------------------------------------------------

namespace {

constexpr char kOpenSslConfig[] = R"([req]
distinguished_name = dn
string_mask = utf8only
[dn]
[ca]
default_ca = test_ca
[test_ca]
database = DIR/index.txt
new_certs_dir = DIR/issued
serial = DIR/serial
default_md = sha256
policy = any
unique_subject = no
preserve = yes
email_in_dn = yes
[any]
countryName = optional
organizationName = optional
organizationalUnitName = optional
commonName = optional
emailAddress = optional
[root_ext]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[ca_ext]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[user_aki]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[user_plain]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
subjectKeyIdentifier = none
authorityKeyIdentifier = none
)";

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string keyOptions(const std::string& algorithm) {
    return algorithm == "rsa" ? "-newkey rsa:2048" : "-newkey ec -pkeyopt ec_paramgen_curve:P-256";
}

Bytes pemToDer(const fs::path& pem) {
    const fs::path der = pem.string() + ".der";
    mustRun("openssl x509 -in " + shellQuoted(pem) + " -outform DER -out " + shellQuoted(der));
    return readFile(der);
}

std::string subjectOf(const fs::path& pem) {
    std::string text = mustRun("openssl x509 -in " + shellQuoted(pem) +
                               " -noout -subject -nameopt "
                               "RFC2253,-esc_msb");
    text = text.substr(text.find('=') + 1);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

std::string friendlyName(const TestCertificate& certificate) {
    return "Renewed " + certificate.certificate.stem().string();
}

}  // namespace

Pki& Pki::instance() {
    static Pki pki;
    return pki;
}

Pki::Pki() {
    const fs::path dir = directory_.path();
    fs::create_directories(dir / "issued");
    writeFile(dir / "index.txt", std::string());
    writeFile(dir / "serial", std::string("1000\n"));
    writeFile(dir / "openssl.cnf", replaceAll(kOpenSslConfig, "DIR", dir.string()));
}

TestCertificate Pki::makeSelfSigned(const std::string& name, const std::string& subject,
                                    const std::string& keyAlgorithm) {
    const fs::path dir = directory_.path();
    TestCertificate made;
    made.certificate = dir / (name + ".pem");
    made.key = dir / (name + ".key");
    mustRun("openssl req -x509 -utf8 -config " + shellQuoted(dir / "openssl.cnf") + " " +
            keyOptions(keyAlgorithm) + " -nodes -keyout " + shellQuoted(made.key) + " -out " +
            shellQuoted(made.certificate) + " -days 3650 -subj '" + subject +
            "' -extensions root_ext");
    made.der = pemToDer(made.certificate);
    made.subjectName = subjectOf(made.certificate);
    return made;
}

TestCertificate Pki::issue(const std::string& name, const TestCertificate& issuer,
                           const std::string& subject, const std::string& extensions,
                           const std::string& startDate, const std::string& endDate,
                           const std::string& keyAlgorithm) {
    const fs::path dir = directory_.path();
    TestCertificate made;
    made.certificate = dir / (name + ".pem");
    made.key = dir / (name + ".key");
    const fs::path request = dir / (name + ".csr");
    mustRun("openssl req -new -utf8 -config " + shellQuoted(dir / "openssl.cnf") + " " +
            keyOptions(keyAlgorithm) + " -nodes -keyout " + shellQuoted(made.key) + " -out " +
            shellQuoted(request) + " -subj '" + subject + "'");
    mustRun("openssl ca -batch -utf8 -notext -config " + shellQuoted(dir / "openssl.cnf") +
            " -cert " + shellQuoted(issuer.certificate) + " -keyfile " + shellQuoted(issuer.key) +
            " -in " + shellQuoted(request) + " -out " + shellQuoted(made.certificate) +
            " -startdate " + startDate + " -enddate " + endDate + " -extfile " +
            shellQuoted(dir / "openssl.cnf") + " -extensions " + extensions);
    made.der = pemToDer(made.certificate);
    made.subjectName = subjectOf(made.certificate);
    return made;
}

const TestCertificate& Pki::root() {
    if (!certificates_.count("root")) {
        certificates_["root"] =
            makeSelfSigned("root", "/O=Tessaly Tests/CN=Tessaly Test Root", "ec");
    }
    return certificates_["root"];
}

const TestCertificate& Pki::intermediate() {
    if (!certificates_.count("intermediate")) {
        certificates_["intermediate"] =
            issue("intermediate", root(), "/O=Corvane/CN=Corvane Banking Union CA", "ca_ext",
                  "20200101000000Z", "20400101000000Z", "ec");
    }
    return certificates_["intermediate"];
}

const TestCertificate& Pki::rsaUser() {
    if (!certificates_.count("rsa-user")) {
        certificates_["rsa-user"] =
            issue("rsa-user", intermediate(), "/O=Corvane/CN=Expired RSA User", "user_aki",
                  "20200101000000Z", "20210101000000Z", "rsa");
    }
    return certificates_["rsa-user"];
}

const TestCertificate& Pki::ecUser() {
    if (!certificates_.count("ec-user")) {
        certificates_["ec-user"] = issue("ec-user", intermediate(), "/O=Corvane/CN=Valid EC User",
                                         "user_aki", "20200101000000Z", "20400101000000Z", "ec");
    }
    return certificates_["ec-user"];
}

const TestCertificate& Pki::selfSignedWithKey() {
    if (!certificates_.count("self-signed")) {
        certificates_["self-signed"] =
            makeSelfSigned("self-signed", "/CN=Self-Signed With Key", "ec");
    }
    return certificates_["self-signed"];
}

const TestCertificate& Pki::selfSigned(const std::string& subject) {
    const std::string key = "self:" + subject;
    if (!certificates_.count(key)) {
        certificates_[key] = makeSelfSigned("self-" + std::to_string(++counter_), subject, "ec");
    }
    return certificates_[key];
}

const TestCertificate& Pki::ca(const std::string& cn) {
    const std::string key = "ca:" + cn;
    if (!certificates_.count(key)) {
        certificates_[key] = issue("ca-" + std::to_string(++counter_), root(), "/CN=" + cn,
                                   "ca_ext", "20200101000000Z", "20400101000000Z", "ec");
    }
    return certificates_[key];
}

Bytes Pki::exportPackage(const std::string& name, const TestCertificate& user,
                         const std::vector<const TestCertificate*>& chain,
                         const std::string& password, bool legacy) {
    const fs::path dir = directory_.path();
    const fs::path chainFile = dir / (name + "-chain.pem");
    std::string pem;
    for (const TestCertificate* certificate : chain) {
        pem += toText(readFile(certificate->certificate));
    }
    writeFile(chainFile, pem);
    const fs::path package = dir / (name + ".p12");
    mustRun(std::string("openssl pkcs12 -export") + (legacy ? " -legacy" : "") + " -inkey " +
            shellQuoted(user.key) + " -in " + shellQuoted(user.certificate) +
            (chain.empty() ? "" : " -certfile " + shellQuoted(chainFile)) + " -name '" +
            friendlyName(user) + "' -passout 'pass:" + password + "' -out " + shellQuoted(package));
    return readFile(package);
}

const Bytes& Pki::chainPackage(PackageFlavour flavour, const std::string& password) {
    const std::string key = "chain:" + flavourName(flavour) + ":" + password;
    if (packages_.count(key)) {
        return packages_[key];
    }
    const std::string name = "chain-" + std::to_string(++counter_);
    const std::vector<const TestCertificate*> chain = {&intermediate(), &root()};
    if (flavour != PackageFlavour::Pk12util) {
        packages_[key] = exportPackage(name, rsaUser(), chain, password,
                                       flavour == PackageFlavour::OpenSslLegacy);
        return packages_[key];
    }
    // pk12util exports from a database: import there first, then export with the chain.
    const Bytes& source = chainPackage(PackageFlavour::OpenSsl, password);
    const fs::path database = directory_.path() / (name + "-db");
    fs::create_directories(database);
    const fs::path sourceFile = directory_.path() / (name + "-source.p12");
    const fs::path passwordFile = directory_.path() / (name + "-password");
    writeFile(sourceFile, source);
    writeFile(passwordFile, password);
    const std::string db = " -d " + shellQuoted("sql:" + database.string());
    mustRun("certutil -N --empty-password" + db);
    mustRun("pk12util -i " + shellQuoted(sourceFile) + db + " -w " + shellQuoted(passwordFile));
    const fs::path package = directory_.path() / (name + ".p12");
    mustRun("pk12util -o " + shellQuoted(package) + " -n '" + friendlyName(rsaUser()) + "'" + db +
            " -w " + shellQuoted(passwordFile));
    packages_[key] = readFile(package);
    return packages_[key];
}

const Bytes& Pki::ecChainPackage() {
    if (!packages_.count("ec-chain")) {
        packages_["ec-chain"] = exportPackage("ec-chain", ecUser(), {&intermediate(), &root()},
                                              kPackagePassword, false);
    }
    return packages_["ec-chain"];
}

const Bytes& Pki::selfSignedPackage() {
    if (!packages_.count("self-signed")) {
        packages_["self-signed"] =
            exportPackage("self-signed", selfSignedWithKey(), {}, kPackagePassword, false);
    }
    return packages_["self-signed"];
}

const Bytes& Pki::userPackage(const std::string& issuerCn, const std::string& userCn, bool aki) {
    const std::string key = "user:" + issuerCn + ":" + userCn + (aki ? ":aki" : "");
    if (!packages_.count(key)) {
        const std::string name = "user-" + std::to_string(++counter_);
        certificates_[key] =
            issue(name, ca(issuerCn), "/CN=" + userCn, aki ? "user_aki" : "user_plain",
                  "20200101000000Z", "20210101000000Z", "ec");
        packages_[key] = exportPackage(name, certificates_[key], {}, kPackagePassword, false);
    }
    return packages_[key];
}

// ---- Prompts --------------------------------------------------------------------------------

std::optional<platform::WideString> ScriptedPrompts::databasePassword(std::u16string_view) {
    ++passwordRequests;
    if (!password) {
        return std::nullopt;
    }
    return platform::WideString(password->begin(), password->end());
}

bool ScriptedPrompts::confirmRootCertificate(const platform::RootCertificateDetails& details) {
    rootRequests.push_back(details);
    return acceptRoots;
}

std::optional<std::size_t> ScriptedPrompts::chooseCertificate(
    const platform::SelectCertificateParams&,
    std::span<const platform::CertificateChoice> choices) {
    offeredIssuedTo.clear();
    for (const auto& choice : choices) {
        offeredIssuedTo.push_back(choice.issuedTo);
    }
    return choose ? choose(choices) : std::nullopt;
}

// ---- Database fixture -----------------------------------------------------------------------

namespace {
std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

void restore(const char* name, const std::optional<std::string>& value) {
    if (value) {
        setenv(name, value->c_str(), 1);
    } else {
        unsetenv(name);
    }
}
}  // namespace

TemporaryHome::TemporaryHome()
    : savedHome_(environment("HOME")), savedDataHome_(environment("XDG_DATA_HOME")) {
    setenv("HOME", directory_.path().c_str(), 1);
    unsetenv("XDG_DATA_HOME");
}

TemporaryHome::~TemporaryHome() {
    restore("HOME", savedHome_);
    restore("XDG_DATA_HOME", savedDataHome_);
}

std::string certutil(const fs::path& directory, const std::string& arguments) {
    return "certutil " + arguments + " -d " + shellQuoted("sql:" + directory.string());
}

NssDatabaseTest::NssDatabaseTest()
    : services_(std::make_unique<platform::nss::NssCertificateServices>(prompts_)) {}

NssDatabaseTest::~NssDatabaseTest() {
    services_.reset();
}

void NssDatabaseTest::SetUp() {
    // The database is made on first use; it must start empty.
    for (const std::u16string_view store :
         {platform::cert::kStoreMy, platform::cert::kStoreRoot, platform::cert::kStoreCa}) {
        ASSERT_THAT(storeContents(store), ::testing::IsEmpty());
    }
    ASSERT_THAT(certutilListing(), ::testing::IsEmpty());
}

void NssDatabaseTest::TearDown() {
    // Every NSS reference taken during the test must be gone by now.
    EXPECT_TRUE(services_->shutdown()) << "NSS_Shutdown failed: " << PORT_GetError();
}

fs::path NssDatabaseTest::databaseDirectory() const {
    return home_.path() / ".local" / "share" / "pki" / "nssdb";
}

int NssDatabaseTest::importPackage(const Bytes& package, std::string_view password,
                                   std::int32_t exportable, std::int32_t* errorCode) {
    const std::u16string wide(password.begin(), password.end());
    Pkcs12Package record;
    record.data = package.data();
    record.size = static_cast<std::uint32_t>(package.size());
    record.password = wide;
    record.exportable = exportable;
    const int result = _import(*services_, record);
    if (errorCode != nullptr) {
        *errorCode = record.errorCode;
    }
    return result;
}

platform::CertHandle NssDatabaseTest::findInMy(const Bytes& der) {
    const platform::StoreHandle my = services_->openSystemStore(platform::cert::kStoreMy);
    platform::CertHandle found;
    platform::CertHandle current;
    while (!found && (current = services_->enumCertificatesInStore(my, current))) {
        if (services_->encodedCertificate(current) == der) {
            found = services_->duplicateCertificate(current);
        }
    }
    if (current) {
        services_->freeCertificate(current);
    }
    services_->closeStore(my, platform::cert::kCloseStoreCheckFlag);
    return found;
}

std::vector<Bytes> NssDatabaseTest::storeContents(std::u16string_view store) {
    std::vector<Bytes> contents;
    const platform::StoreHandle handle = services_->openSystemStore(store);
    if (!handle) {
        ADD_FAILURE() << "store cannot be opened";
        return contents;
    }
    platform::CertHandle current;
    while ((current = services_->enumCertificatesInStore(handle, current))) {
        contents.push_back(services_->encodedCertificate(current));
    }
    services_->closeStore(handle, platform::cert::kCloseStoreCheckFlag);
    return contents;
}

std::map<std::string, std::string> NssDatabaseTest::certutilListing() {
    return nss_test::certutilListing(databaseDirectory());
}

int NssDatabaseTest::certutilKeyCount() {
    return nss_test::certutilKeyCount(databaseDirectory());
}

std::map<std::string, std::string> certutilListing(const fs::path& database) {
    const std::string output = mustRun(certutil(database, "-L"));
    std::map<std::string, std::string> listing;
    std::istringstream lines(output);
    std::string line;
    int skipped = 0;
    while (std::getline(lines, line)) {
        if (skipped < 4) {  // heading, column titles and blank lines
            ++skipped;
            continue;
        }
        const std::size_t end = line.find_last_not_of(' ');
        if (end == std::string::npos) {
            continue;
        }
        const std::size_t trustStart = line.find_last_of(' ', end);
        std::string nickname = line.substr(0, trustStart);
        nickname.erase(nickname.find_last_not_of(' ') + 1);
        listing[nickname] = line.substr(trustStart + 1, end - trustStart);
    }
    return listing;
}

int certutilKeyCount(const fs::path& database) {
    const CommandResult result = run(certutil(database, "-K"));
    int count = 0;
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("<", 0) == 0) {
            ++count;
        }
    }
    return count;
}

}  // namespace tessaly::nss_test
