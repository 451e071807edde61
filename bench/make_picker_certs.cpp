// Certificates for the picker benchmark: COUNT end-user certificates that share one EC key, so
// that every one of them is in the MY view once the key is in the database. A quarter each:
// issued by "Corvane Banking Union CA" with an Authority Key Identifier, by "... CA G2" with
// one, by the accepted CA without one, and by a CA the picker does not accept; so the picker
// lists half of them.
//
//   make_picker_certs OUTDIR COUNT
//
// Writes OUTDIR/key.pem and OUTDIR/first.pem (certificate 0, to be imported with the key),
// OUTDIR/certs/NNNNN.der for the others and OUTDIR/batch.txt, certutil -B lines adding them.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "openssl_types.h"

namespace {

using namespace tessaly::renewal_server;
namespace fs = std::filesystem;
using std::chrono::hours;

struct Issuer {
    KeyOwner key;
    X509Owner certificate;
};

Issuer makeIssuer(const std::string& commonName) {
    Issuer issuer{generateKey(KeyType::Ec), nullptr};
    const NameOwner name = makeName({{"C", "JP"}, {"O", "Corvane"}, {"CN", commonName}});
    const auto now = std::chrono::system_clock::now();
    issuer.certificate =
        buildCertificate({name.get(), issuer.key.get(), nullptr, nullptr, now - hours(24 * 3650),
                          now + hours(24 * 3650), caExtensions(true)});
    return issuer;
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::atoi(argv[2]) <= 0) {
        std::fprintf(stderr, "usage: %s OUTDIR COUNT\n", argc > 0 ? argv[0] : "make_picker_certs");
        return 2;
    }
    const fs::path out = argv[1];
    const int count = std::atoi(argv[2]);
    fs::create_directories(out / "certs");

    const Issuer accepted = makeIssuer("Corvane Banking Union CA");
    const Issuer acceptedG2 = makeIssuer("Corvane Banking Union CA G2");
    const Issuer other = makeIssuer("Other Bank CA");
    const KeyOwner key = generateKey(KeyType::Ec);
    writeFile(out / "key.pem", pemOf(key.get()));

    auto withoutAki = endUserExtensions();
    std::erase_if(withoutAki,
                  [](const auto& entry) { return entry.first == "authorityKeyIdentifier"; });

    std::ofstream batch(out / "batch.txt");
    const auto now = std::chrono::system_clock::now();
    for (int index = 0; index < count; ++index) {
        char nickname[32];
        std::snprintf(nickname, sizeof nickname, "bench-user-%05d", index);
        const Issuer& issuer = index % 4 == 1 ? acceptedG2 : index % 4 == 3 ? other : accepted;
        const NameOwner subject = makeName({{"C", "JP"}, {"O", "Corvane"}, {"CN", nickname}});
        // Expired a day to a year ago, as the certificates the picker is for.
        const auto notAfter = now - hours(24 * (1 + index % 365));
        const X509Owner certificate =
            buildCertificate({subject.get(), key.get(), issuer.certificate.get(), issuer.key.get(),
                              notAfter - hours(24 * 365), notAfter,
                              index % 4 == 2 ? withoutAki : endUserExtensions()});
        if (index == 0) {
            writeFile(out / "first.pem", pemOf(certificate.get()));
            continue;
        }
        const std::vector<unsigned char> der = derOf(certificate.get());
        const fs::path file = out / "certs" / (std::string(nickname) + ".der");
        writeFile(file, std::string(der.begin(), der.end()));
        batch << "-A -n " << nickname << " -t ,, -i " << file.string() << "\n";
    }
    return batch ? 0 : 1;
}
