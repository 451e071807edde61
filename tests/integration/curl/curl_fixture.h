// What the curl integration tests share: curl set up once, a throwaway CA, the reference
// renewal server on 127.0.0.1, the curl services trusting that CA, a scripted stand-in for
// the dialogs, and the environment cleared of proxy settings.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/curl/curl_internet.h"
#include "platform/internet_prompts.h"
#include "renewal_server.h"
#include "test_pki.h"
#include "transport/http_exchange.h"

namespace tessaly::curltest {

// Answers the dialogs from queues (no value once a queue is empty) and records each question.
class ScriptedPrompts : public platform::InternetPrompts {
  public:
    std::deque<std::optional<platform::ProxyCredentials>> proxyAnswers;
    std::deque<std::optional<platform::ClientCertificate>> certificateAnswers;
    std::vector<platform::ProxyCredentialsRequest> proxyQuestions;
    std::vector<platform::ClientCertificateRequest> certificateQuestions;

    std::optional<platform::ProxyCredentials> askProxyCredentials(
        const platform::ProxyCredentialsRequest& request) override;
    std::optional<platform::ClientCertificate> chooseClientCertificate(
        const platform::ClientCertificateRequest& request) override;
};

// Sets (or, with no value, removes) an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> saved_;
};

platform::ProxyCredentials credentials(std::u16string user, std::u16string password);
platform::ClientCertificate clientCertificate(const testpki::Issued& issued);
// The key of `issued` as encrypted PKCS#8 PEM under `password`.
std::string encryptedKeyPem(const std::string& keyPem, const std::string& password);

inline constexpr std::u16string_view kRenewalPath = u"/kivra/DownloadPkcs12GracePre.do";

class CurlFixture : public ::testing::Test {
  protected:
    CurlFixture();
    ~CurlFixture() override;

    // Starts the server with `config`; a certificate for 127.0.0.1 from ca() is filled in
    // when the config names none.
    renewal_server::Server& startServer(renewal_server::Config config = {});
    renewal_server::Server& server() { return *server_; }
    const testpki::Authority& ca() const { return ca_; }
    ScriptedPrompts& prompts() { return prompts_; }
    // The services trusting ca(); made on first use.
    platform::curl::CurlInternet& net();
    // The renewal URL on the running server; it lives as long as the server, so exchanges can
    // borrow it.
    const std::u16string& url() const { return url_; }

    // The body of the exchange's current response, read as the job reads it.
    std::string readBody(HttpExchange& exchange, std::uint32_t* errorCode = nullptr);

    // Both exchanges of a renewal on one exchange record, each body read as the job reads it;
    // none (with the failure reported) when an exchange fails. The handles stay open.
    struct Bodies {
        std::string first;
        std::string second;
    };
    std::optional<Bodies> runBothExchanges(HttpExchange& exchange);

    // Root, connection and a secure POST request to the running server, opened directly.
    struct OpenedRequest {
        platform::InternetHandle root;
        platform::InternetHandle connection;
        platform::InternetHandle request;
    };
    OpenedRequest openRequestToServer();

  private:
    std::vector<std::unique_ptr<ScopedEnv>> environment_;
    testpki::Authority ca_{"Tessaly test CA"};
    ScriptedPrompts prompts_;
    std::unique_ptr<renewal_server::Server> server_;
    std::u16string url_;
    std::unique_ptr<platform::curl::CurlInternet> net_;
};

}  // namespace tessaly::curltest
