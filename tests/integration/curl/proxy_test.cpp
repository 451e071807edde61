// The system proxy as curl reads it from the environment, here a real tinyproxy with Basic
// authentication: its 407 reaches the logic, whose credentials dialog (a scripted stand-in)
// decides whether the request is sent again with credentials.
#include <gtest/gtest.h>

#include "curl_fixture.h"
#include "tinyproxy.h"

namespace tessaly::curltest {
namespace {

using renewal_server::Config;
using renewal_server::Reply;

class ProxyTest : public CurlFixture {
  protected:
    void SetUp() override {
        Config config;
        config.second = Reply::text("1:ok");
        startServer(std::move(config));
    }

    std::u16string proxyAddress() const {
        const std::string address = "127.0.0.1:" + std::to_string(proxy_.port());
        return std::u16string(address.begin(), address.end());
    }

    Tinyproxy proxy_{"tessaly", "proxy-secret"};
    ScopedEnv httpsProxy_{"https_proxy", proxy_.url()};
};

TEST_F(ProxyTest, CredentialsFromTheDialogCarryBothExchangesThroughTheProxy) {
    prompts().proxyAnswers = {credentials(u"tessaly", u"proxy-secret")};

    HttpExchange exchange;
    const auto bodies = runBothExchanges(exchange);
    ASSERT_TRUE(bodies);
    EXPECT_EQ(bodies->first.substr(0, 2), "0:");
    EXPECT_EQ(bodies->second, "1:ok");
    closeExchangeHandles(net(), exchange);

    // Asked once: the second request uses the credentials already given.
    ASSERT_EQ(prompts().proxyQuestions.size(), 1u);
    EXPECT_EQ(prompts().proxyQuestions[0].proxy, proxyAddress());
    EXPECT_EQ(
        prompts().proxyQuestions[0].server, u"127.0.0.1:" + [&] {
            const std::string port = std::to_string(server().port());
            return std::u16string(port.begin(), port.end());
        }());
    EXPECT_EQ(server().requests().size(), 2u);
    EXPECT_EQ(server().handshakes(), 1);  // one tunnel for both
}

TEST_F(ProxyTest, RefusedDialogEndsTheExchangeWith120) {
    HttpExchange exchange;
    exchange.url = url();
    EXPECT_EQ(_queryInfo(net(), exchange), 0);
    EXPECT_EQ(exchange.errorCode, 120u);
    EXPECT_EQ(prompts().proxyQuestions.size(), 1u);
    EXPECT_EQ(server().connections(), 0);
}

TEST_F(ProxyTest, WrongCredentialsNeverOpenTheTunnel) {
    prompts().proxyAnswers = {credentials(u"tessaly", u"wrong")};

    HttpExchange exchange;
    exchange.url = url();
    EXPECT_EQ(_queryInfo(net(), exchange), 0);
    // tinyproxy answers wrong credentials with 401, which the logic does not accept.
    EXPECT_EQ(exchange.errorCode, 125u);
    EXPECT_EQ(server().connections(), 0);
}

TEST_F(ProxyTest, NoProxyListSendsTheRequestDirectly) {
    const ScopedEnv noProxy("no_proxy", "127.0.0.1");

    HttpExchange exchange;
    exchange.url = url();
    ASSERT_EQ(_queryInfo(net(), exchange), 1) << exchange.errorCode;
    closeExchangeHandles(net(), exchange);
    EXPECT_TRUE(prompts().proxyQuestions.empty());
    EXPECT_EQ(server().requests().size(), 1u);
}

}  // namespace
}  // namespace tessaly::curltest
