// renewal-server: the reference renewal server as a program, for the demo and end-to-end tests.
//
//   renewal-server make-pki DIR [--ec-user]
//       makes the renewal PKI into DIR (renewal_pki.h lists the files); the expired end-user
//       key is RSA 2048 unless --ec-user
//   renewal-server seed-nss DIR HOME
//       seeds the NSS database of HOME (HOME/.pki/nssdb when present, else
//       HOME/.local/share/pki/nssdb) with DIR's expired certificate and key and its TLS root;
//       prints the database directory
//   renewal-server serve DIR [--port-file F] [--not-exportable] [--rsa-keys]
//                            [--package-password P] [options]
//       serves renewals with DIR's PKI: the challenge, then the verified renewal.
//       --port-file F        also write the port to F (complete once it exists)
//       --not-exportable     answer packages with X-Exportable: 0
//       --rsa-keys           renewed certificates get RSA 2048 keys (default EC P-256)
//       --package-password P encrypt packages with P (UTF-8), not the form's password
//   renewal-server (--cert FILE --key FILE | --make-pki DIR) [options]
//       serves scripted replies only.
//
// A server prints "port N" once it listens on 127.0.0.1, serves until its standard input ends
// (or SIGINT/SIGTERM), then prints "handshakes N requests N".
//
//   --make-pki DIR        make a fresh CA and a certificate for 127.0.0.1 and localhost;
//                         writes DIR/ca.pem, the certificate clients must trust
//   --client-ca FILE      require a client certificate issued by this CA
//   --tls12               offer TLS 1.2 at most
//   --stall-handshake     accept connections but never answer the TLS handshake
//   --second-body FILE    the second reply's body (default: a Shift_JIS error text)
//   --second-pkcs12 0|1   send the second reply as application/x-pkcs12 with X-Exportable
//   --on first|second     which reply the fault switches after it change (default: second)
//   --status N  --content-type TEXT  --no-content-type  --no-content-length
//   --long-headers N      add a header line of N bytes
//   --nul-in-body         put a NUL byte into the body
//   --close-after  --hang-before-head  --hang-mid-body  --close-mid-body
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "renewal_pki.h"
#include "renewal_server.h"
#include "test_pki.h"

namespace {

using tessaly::renewal_server::Reply;

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "renewal-server: " << problem << "\n";
    std::exit(2);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        usage("cannot read " + path);
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) {
        usage("cannot write " + path);
    }
}

int makePki(int argc, char** argv) {
    if (argc < 3) {
        usage("make-pki needs a directory");
    }
    tessaly::renewal_server::PkiOptions options;
    for (int i = 3; i < argc; ++i) {
        if (std::string(argv[i]) == "--ec-user") {
            options.expiredUserKey = tessaly::renewal_server::KeyType::Ec;
        } else {
            usage(std::string("unknown switch ") + argv[i]);
        }
    }
    try {
        tessaly::renewal_server::makeRenewalPki(argv[2], options);
    } catch (const std::exception& error) {
        std::cerr << "renewal-server: " << error.what() << "\n";
        return 1;
    }
    return 0;
}

int seedNss(int argc, char** argv) {
    if (argc != 4) {
        usage("seed-nss needs a PKI directory and a home directory");
    }
    try {
        tessaly::renewal_server::seedNssDatabase(argv[2], argv[3]);
        std::cout << tessaly::renewal_server::nssDatabaseDirectory(argv[3]).string() << std::endl;
    } catch (const std::exception& error) {
        std::cerr << "renewal-server: " << error.what() << "\n";
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "make-pki") {
        return makePki(argc, argv);
    }
    if (command == "seed-nss") {
        return seedNss(argc, argv);
    }
    tessaly::renewal_server::Config config;
    int firstSwitch = 1;
    bool serving = false;
    std::string portFile;
    if (command == "serve") {
        if (argc < 3) {
            usage("serve needs a PKI directory");
        }
        try {
            config = tessaly::renewal_server::renewalServerConfig(
                tessaly::renewal_server::loadRenewalPki(argv[2]));
        } catch (const std::exception& error) {
            usage(error.what());
        }
        serving = true;
        firstSwitch = 3;
    }
    std::string certFile;
    std::string keyFile;
    std::string pkiDir;
    std::optional<std::string> secondBody;
    std::optional<bool> secondPkcs12;
    bool onFirst = false;
    std::optional<int> status;
    std::optional<std::optional<std::string>> contentType;
    bool noContentLength = false, nulInBody = false, closeAfter = false;
    std::size_t longHeaders = 0;
    Reply::Cut cut = Reply::Cut::None;

    for (int i = firstSwitch; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage(arg + " needs a value");
            }
            return argv[++i];
        };
        if (serving && arg == "--port-file") {
            portFile = value();
        } else if (serving && arg == "--not-exportable") {
            config.renewal->exportable = false;
        } else if (serving && arg == "--rsa-keys") {
            config.renewal->newKeyType = tessaly::renewal_server::KeyType::Rsa;
        } else if (serving && arg == "--package-password") {
            config.renewal->packagePasswordOverride = value();
        } else if (arg == "--cert") {
            certFile = value();
        } else if (arg == "--key") {
            keyFile = value();
        } else if (arg == "--make-pki") {
            pkiDir = value();
        } else if (arg == "--client-ca") {
            config.clientCaPem = readFile(value());
        } else if (arg == "--tls12") {
            config.maxTlsVersion = TLS1_2_VERSION;
        } else if (arg == "--stall-handshake") {
            config.stallHandshake = true;
        } else if (arg == "--second-body") {
            secondBody = readFile(value());
        } else if (arg == "--second-pkcs12") {
            secondPkcs12 = value() == "1";
        } else if (arg == "--on") {
            const std::string which = value();
            if (which != "first" && which != "second") {
                usage("--on takes first or second");
            }
            onFirst = which == "first";
        } else if (arg == "--status") {
            status = std::atoi(value().c_str());
        } else if (arg == "--content-type") {
            contentType = value();
        } else if (arg == "--no-content-type") {
            contentType = std::optional<std::string>();
        } else if (arg == "--no-content-length") {
            noContentLength = true;
        } else if (arg == "--long-headers") {
            longHeaders = static_cast<std::size_t>(std::atol(value().c_str()));
        } else if (arg == "--nul-in-body") {
            nulInBody = true;
        } else if (arg == "--close-after") {
            closeAfter = true;
        } else if (arg == "--hang-before-head") {
            cut = Reply::Cut::HangBeforeHead;
        } else if (arg == "--hang-mid-body") {
            cut = Reply::Cut::HangMidBody;
        } else if (arg == "--close-mid-body") {
            cut = Reply::Cut::CloseMidBody;
        } else {
            usage("unknown switch " + arg);
        }
    }

    std::optional<tessaly::testpki::Authority> authority;
    if (serving) {
        // The TLS certificate comes from the PKI folder.
    } else if (!pkiDir.empty()) {
        authority.emplace("Tessaly renewal test CA");
        const auto issued = authority->issue(tessaly::testpki::localServer());
        config.certificateChainPem = issued.certificate + authority->certificatePem();
        config.privateKeyPem = issued.privateKey;
        writeFile(pkiDir + "/ca.pem", authority->certificatePem());
    } else if (!certFile.empty() && !keyFile.empty()) {
        config.certificateChainPem = readFile(certFile);
        config.privateKeyPem = readFile(keyFile);
    } else {
        usage("give --cert and --key, or --make-pki");
    }

    if (secondBody || secondPkcs12) {
        const std::string body = secondBody.value_or(config.second.body);
        config.second = secondPkcs12 ? Reply::pkcs12(body, *secondPkcs12) : Reply::text(body);
    }
    const bool anyFault = status || contentType || noContentLength || nulInBody || closeAfter ||
                          longHeaders != 0 || cut != Reply::Cut::None;
    if (anyFault) {
        Reply* target = onFirst ? &config.first : &config.second;
        if (status) {
            target->status = *status;
        }
        if (contentType) {
            target->contentType = *contentType;
        }
        target->contentLength = !noContentLength;
        target->closeAfter = closeAfter;
        if (nulInBody) {
            target->body.insert(target->body.size() / 2, 1, '\0');
        }
        if (longHeaders != 0) {
            target->extraHeaders.push_back("X-Padding: " + std::string(longHeaders, 'a'));
        }
        target->cut = cut;
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // before the server's threads start
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);

    try {
        tessaly::renewal_server::Server server(std::move(config));
        if (!portFile.empty()) {
            // Written beside and renamed, so a reader never sees it half written.
            const std::string partial = portFile + ".partial";
            writeFile(partial, std::to_string(server.port()) + "\n");
            if (std::rename(partial.c_str(), portFile.c_str()) != 0) {
                throw std::runtime_error("cannot write " + portFile);
            }
        }
        std::cout << "port " << server.port() << std::endl;
        for (bool running = true; running;) {
            pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {signalFd, POLLIN, 0}};
            if (::poll(watched, 2, -1) < 0) {
                continue;
            }
            if (watched[1].revents != 0) {
                running = false;
            } else if (watched[0].revents != 0) {
                char buffer[256];
                running = ::read(STDIN_FILENO, buffer, sizeof buffer) > 0;
            }
        }
        server.stop();
        std::cout << "handshakes " << server.handshakes() << " requests "
                  << server.requests().size() << std::endl;
    } catch (const std::exception& error) {
        std::cerr << error.what() << "\n";
        return 1;
    }
    return 0;
}
