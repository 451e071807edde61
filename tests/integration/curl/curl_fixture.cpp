#include "curl_fixture.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstdlib>

namespace tessaly::curltest {
namespace {

// curl's process-wide set-up, once for the test program.
void ensureCurl() {
    static platform::curl::CurlGlobal global;
    ASSERT_TRUE(global.ok()) << "curl could not be initialised";
}

template <class T>
std::optional<T> takeFront(std::deque<std::optional<T>>& queue) {
    if (queue.empty()) {
        return std::nullopt;
    }
    std::optional<T> answer = std::move(queue.front());
    queue.pop_front();
    return answer;
}

platform::SecureBytes bytesOf(const std::string& text) {
    return platform::SecureBytes(text.begin(), text.end());
}

}  // namespace

std::optional<platform::ProxyCredentials> ScriptedPrompts::askProxyCredentials(
    const platform::ProxyCredentialsRequest& request) {
    proxyQuestions.push_back(request);
    return takeFront(proxyAnswers);
}

std::optional<platform::ClientCertificate> ScriptedPrompts::chooseClientCertificate(
    const platform::ClientCertificateRequest& request) {
    certificateQuestions.push_back(request);
    return takeFront(certificateAnswers);
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) {
        saved_ = old;
    }
    if (value) {
        ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (saved_) {
        ::setenv(name_.c_str(), saved_->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

platform::ProxyCredentials credentials(std::u16string user, std::u16string password) {
    platform::ProxyCredentials answer;
    answer.user.assign(user.begin(), user.end());
    answer.password.assign(password.begin(), password.end());
    return answer;
}

platform::ClientCertificate clientCertificate(const testpki::Issued& issued) {
    platform::ClientCertificate answer;
    answer.certificate = bytesOf(issued.certificate);
    answer.privateKey = bytesOf(issued.privateKey);
    return answer;
}

std::string encryptedKeyPem(const std::string& keyPem, const std::string& password) {
    BIO* in = BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    BIO* out = BIO_new(BIO_s_mem());
    std::string pem;
    if (key != nullptr &&
        PEM_write_bio_PKCS8PrivateKey(out, key, EVP_aes_256_cbc(), password.data(),
                                      static_cast<int>(password.size()), nullptr, nullptr) == 1) {
        char* data = nullptr;
        const long size = BIO_get_mem_data(out, &data);
        pem.assign(data, static_cast<std::size_t>(size));
    }
    BIO_free(out);
    EVP_PKEY_free(key);
    return pem;
}

CurlFixture::CurlFixture() {
    ensureCurl();
    // Whatever proxy the machine names must not reach these tests.
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "http_proxy", "all_proxy", "ALL_PROXY",
                             "no_proxy", "NO_PROXY"}) {
        environment_.push_back(std::make_unique<ScopedEnv>(name, std::nullopt));
    }
}

CurlFixture::~CurlFixture() {
    net_.reset();
    server_.reset();
}

renewal_server::Server& CurlFixture::startServer(renewal_server::Config config) {
    if (config.certificateChainPem.empty()) {
        const testpki::Issued issued = ca_.issue(testpki::localServer());
        config.certificateChainPem = issued.certificate;
        config.privateKeyPem = issued.privateKey;
    }
    server_ = std::make_unique<renewal_server::Server>(std::move(config));
    const std::string port = std::to_string(server_->port());
    url_ = u"https://127.0.0.1:" + std::u16string(port.begin(), port.end()) +
           std::u16string(kRenewalPath);
    return *server_;
}

platform::curl::CurlInternet& CurlFixture::net() {
    if (!net_) {
        platform::curl::CurlInternetOptions options;
        options.trustedRoots = {ca_.certificatePem()};
        options.prompts = &prompts_;
        net_ = std::make_unique<platform::curl::CurlInternet>(std::move(options));
    }
    return *net_;
}

std::optional<CurlFixture::Bodies> CurlFixture::runBothExchanges(HttpExchange& exchange) {
    exchange.url = url();
    if (_queryInfo(net(), exchange) != 1) {
        ADD_FAILURE() << "first exchange failed with " << exchange.errorCode;
        return std::nullopt;
    }
    Bodies bodies;
    bodies.first = readBody(exchange);
    exchange.requestBody = "passwd=x";
    if (_requeryInfo(net(), exchange) != 1) {
        ADD_FAILURE() << "second exchange failed with " << exchange.errorCode;
        return std::nullopt;
    }
    bodies.second = readBody(exchange);
    return bodies;
}

CurlFixture::OpenedRequest CurlFixture::openRequestToServer() {
    static constexpr std::u16string_view kAccept[] = {u"*/*"};
    auto& services = net();
    OpenedRequest opened;
    opened.root = services.open(u"agent", platform::inet::kOpenTypePreconfig, {}, {}, 0);
    opened.connection = services.connect(opened.root, u"127.0.0.1", server().port(), {}, {},
                                         platform::inet::kServiceHttp, 0, 0);
    opened.request = services.openRequest(opened.connection, u"POST", u"/kivra", {}, {}, kAccept,
                                          platform::inet::kFlagSecure, 0);
    return opened;
}

std::string CurlFixture::readBody(HttpExchange& exchange, std::uint32_t* errorCode) {
    ResponseBody body;
    body.requestHandle = exchange.requestHandle;
    body.capacity = static_cast<std::uint32_t>(exchange.readSize);
    body.buffer.assign(exchange.readSize + 1, 0);
    const int read = _getInstance(net(), body);
    if (errorCode != nullptr) {
        *errorCode = body.errorCode;
    }
    if (read != 1) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(body.buffer.data()), body.bytesRead);
}

}  // namespace tessaly::curltest
