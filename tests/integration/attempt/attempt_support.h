// What the whole-attempt tests share: the renewal PKI made once per process, curl set up once,
// the environment cleared of proxies, and a fixture whose throwaway HOME holds an NSS database
// seeded from that PKI, with the renewal job run on the real NSS and curl services.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"
#include "nss_test_support.h"
#include "platform/curl/curl_internet.h"
#include "renewal/renewal_job.h"
#include "renewal_pki.h"
#include "renewal_server.h"

namespace tessaly::attempt_test {

inline constexpr char16_t kRenewalPath[] = u"/kivra/DownloadPkcs12GracePre.do";

// The PKI folder, made once per process (the expired user's RSA key is slow to make).
struct SharedPki {
    static SharedPki& instance();

    nss_test::TemporaryDirectory directory;
    renewal_server::RenewalPki pki;
    nss_test::Bytes expiredUserDer;

  private:
    SharedPki();
};

platform::curl::CurlGlobal& curlGlobal();

// No proxy from the environment may stand between the tool and the local server.
class NoProxyEnvironment {
  public:
    NoProxyEnvironment();
    ~NoProxyEnvironment();
    NoProxyEnvironment(const NoProxyEnvironment&) = delete;
    NoProxyEnvironment& operator=(const NoProxyEnvironment&) = delete;

  private:
    std::map<std::string, std::string> saved_;
};

// The reference server program serving renewals from the shared PKI, in a process of its own
// (so its memory is not the test's); stopped with the object.
struct ServerProgram {
    ServerProgram();
    std::unique_ptr<curltest::ChildProcess> process;
    std::uint16_t port = 0;
};

// The renewal URL on 127.0.0.1 at `port`.
std::u16string renewalUrl(std::uint16_t port);

struct Attempt {
    int result = -1;
    std::u16string message;
    std::vector<renewal_server::ReceivedRequest> requests;
    std::size_t handlesLeftOpen = 0;  // the curl services' open handles once the job returned
};

// Runs the job on the services given (the curl services, or something wrapped around them) and
// returns its result; the default calls _doImport on the test's thread.
using JobRunner = std::function<int(platform::curl::CurlInternet& net, RenewalJob& job)>;

class AttemptTest : public nss_test::NssDatabaseTest {
  protected:
    // The database as seeded; the seeding is checked.
    void SetUp() override;

    void seed(const nss_test::fs::path& pkiDirectory);

    static renewal_server::Config serverConfig();

    // One attempt against an in-process server, with the expired certificate as the user's
    // choice.
    Attempt attempt(renewal_server::Config config, std::u16string_view password);

    // One attempt against the server at `port`, trusting `tlsRoot`, with the certificate `der`
    // of MY as the user's choice.
    Attempt attemptAt(std::uint16_t serverPort, const std::string& tlsRoot,
                      const nss_test::Bytes& der, std::u16string_view password,
                      const JobRunner& run = {});

    // Every certificate certutil holds under `nickname`, as PEM texts.
    std::vector<std::string> certificatesNamed(const std::string& nickname);

    std::map<std::string, std::string> seeded_;
};

}  // namespace tessaly::attempt_test
