// Both exchanges of a renewal through the transport logic (_queryInfo, _getInstance,
// _requeryInfo) over real HTTPS to the reference server, and the response facts the logic
// reads from real headers.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "child_process.h"
#include "curl_fixture.h"
#include "platform/last_error.h"
#include "transport/http_exchange.h"

namespace tessaly::curltest {
namespace {

namespace inet = platform::inet;
using renewal_server::Config;
using renewal_server::Reply;

std::string bytes(std::initializer_list<unsigned char> values) {
    return std::string(values.begin(), values.end());
}

void expectNoHandles(const HttpExchange& exchange) {
    EXPECT_FALSE(exchange.internetHandle);
    EXPECT_FALSE(exchange.connectHandle);
    EXPECT_FALSE(exchange.requestHandle);
}

class ExchangeTest : public CurlFixture {};

TEST_F(ExchangeTest, BothExchangesRunOverOneTlsConnection) {
    // A package with a NUL and bytes above 0x7F must arrive unchanged.
    const std::string package = bytes({0x30, 0x82, 0x00, 0x05, 0xFF, 0x00, 0x41});
    Config config;
    config.second = Reply::pkcs12(package, true);
    startServer(std::move(config));
    const std::u16string url = this->url() + u"?from=test";

    HttpExchange exchange;
    exchange.url = url;
    ASSERT_EQ(_queryInfo(net(), exchange), 1) << exchange.errorCode;
    EXPECT_EQ(exchange.contentKind, ContentKind::Text);
    const std::string challenge = readBody(exchange);
    ASSERT_EQ(server().challenges().size(), 1u);
    EXPECT_EQ(challenge, "0:" + server().challenges()[0]);
    EXPECT_EQ(exchange.readSize, challenge.size() + 8);

    const std::string form = "passwd=secret&sendFile=MIIB%2Bw%3D%3D";
    exchange.requestBody = form;
    ASSERT_EQ(_requeryInfo(net(), exchange), 1) << exchange.errorCode;
    EXPECT_EQ(exchange.contentKind, ContentKind::Pkcs12);
    EXPECT_EQ(exchange.isPkcs12, 1u);
    EXPECT_EQ(exchange.exportable, 1u);
    EXPECT_EQ(exchange.readSize, package.size() + 8);
    EXPECT_EQ(readBody(exchange), package);
    closeExchangeHandles(net(), exchange);

    EXPECT_EQ(server().connections(), 1);
    EXPECT_EQ(server().handshakes(), 1);
    const auto requests = server().requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::string bodies[] = {"", form};
    for (std::size_t i = 0; i < requests.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& request = requests[i];
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.target, "/kivra/DownloadPkcs12GracePre.do?from=test");
        EXPECT_EQ(request.header("User-Agent"), "TOLAN/Pendry 2.0 exe Lumeno");
        EXPECT_EQ(request.header("Accept"), "*/*");
        EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
        EXPECT_EQ(request.header("Content-Length"), std::to_string(bodies[i].size()));
        EXPECT_EQ(request.header("Host"), "127.0.0.1:" + std::to_string(server().port()));
        EXPECT_FALSE(request.header("Referer"));
        EXPECT_FALSE(request.header("Expect"));
        EXPECT_EQ(request.body, bodies[i]);
        EXPECT_EQ(request.connection, 1);
    }
}

TEST_F(ExchangeTest, AUrlWithoutPathGoesOnTheRequestLineWhole) {
    startServer();
    // With no "/" after the host the logic's object name is the whole URL, which HTTP/1.1
    // carries as an absolute target.
    const std::string port = std::to_string(server().port());
    const std::u16string url = u"https://127.0.0.1:" + std::u16string(port.begin(), port.end());
    HttpExchange exchange;
    exchange.url = url;
    ASSERT_EQ(_queryInfo(net(), exchange), 1) << exchange.errorCode;
    closeExchangeHandles(net(), exchange);
    const auto requests = server().requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "https://127.0.0.1:" + port);
}

TEST_F(ExchangeTest, ANewConnectionServesTheSecondExchangeWhenTheServerClosedTheFirst) {
    Config config;
    config.first.closeAfter = true;
    config.second = Reply::text("1:done");
    startServer(std::move(config));

    HttpExchange exchange;
    const auto bodies = runBothExchanges(exchange);
    ASSERT_TRUE(bodies);
    EXPECT_EQ(bodies->first.substr(0, 2), "0:");
    EXPECT_EQ(bodies->second, "1:done");
    closeExchangeHandles(net(), exchange);
    EXPECT_EQ(server().handshakes(), 2);
}

struct ReplyCase {
    const char* name;
    int status;
    std::optional<std::string> contentType;
    std::vector<std::string> extraHeaders;
    std::uint32_t errorCode;
    ContentKind kind;
};

void PrintTo(const ReplyCase& row, std::ostream* out) {
    *out << row.name;
}

class FirstReplyTest : public CurlFixture, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(FirstReplyTest, StatusAndContentTypeDecideTheExchange) {
    const ReplyCase& row = GetParam();
    Config config;
    config.first.status = row.status;
    config.first.contentType = row.contentType;
    config.first.extraHeaders = row.extraHeaders;
    startServer(std::move(config));

    HttpExchange exchange;
    exchange.url = url();
    const int result = _queryInfo(net(), exchange);
    EXPECT_EQ(exchange.errorCode, row.errorCode);
    if (row.errorCode == 0) {
        EXPECT_EQ(result, 1);
        EXPECT_EQ(exchange.contentKind, row.kind);
        closeExchangeHandles(net(), exchange);
    } else {
        EXPECT_EQ(result, 0);
        expectNoHandles(exchange);
    }
    // Whatever the answer, it was the answer to the one request: nothing followed.
    EXPECT_EQ(server().requests().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FirstReplyTest,
    ::testing::Values(
        ReplyCase{"text_shift_jis", 200, "text/plain; charset=Shift_JIS", {}, 0, ContentKind::Text},
        ReplyCase{"pkcs12_any_case", 200, "Application/X-PKCS12", {}, 0, ContentKind::Pkcs12},
        ReplyCase{"pkcs12_with_parameter", 200, "application/x-pkcs12; name=a.p12", {}, 135, {}},
        ReplyCase{"charset_in_lower_case", 200, "text/plain; charset=shift_jis", {}, 135, {}},
        ReplyCase{"text_without_charset", 200, "text/plain", {}, 135, {}},
        ReplyCase{"html_with_charset", 200, "text/html; charset=Shift_JIS", {}, 135, {}},
        ReplyCase{"no_content_type", 200, std::nullopt, {}, 140, {}},
        ReplyCase{"server_error", 500, "text/plain; charset=Shift_JIS", {}, 125, {}},
        ReplyCase{"redirect_is_not_followed",
                  302,
                  "text/plain; charset=Shift_JIS",
                  {"Location: /elsewhere"},
                  125,
                  {}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(ExchangeTest, ReadSizeComesFromContentLengthOrFallsBackTo10240) {
    struct Row {
        const char* name;
        std::string body;
        bool contentLength;
        std::uint64_t readSize;
        std::size_t delivered;
    };
    const Row rows[] = {
        {"empty body with length", "", true, 8, 0},
        // No Content-Length: the body runs to the connection's end and is cut at 10240 bytes.
        {"long body without length", std::string(20000, 'x'), false, 10240, 10240},
        {"short body without length", "0:abc", false, 10240, 5},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Config config;
        config.first = Reply::text(row.body);
        config.first.contentLength = row.contentLength;
        startServer(std::move(config));
        HttpExchange exchange;
        exchange.url = url();
        ASSERT_EQ(_queryInfo(net(), exchange), 1) << exchange.errorCode;
        EXPECT_EQ(exchange.readSize, row.readSize);
        std::uint32_t errorCode = 1;
        const std::string body = readBody(exchange, &errorCode);
        EXPECT_EQ(errorCode, 0u);
        EXPECT_EQ(body, row.body.substr(0, row.delivered));
        closeExchangeHandles(net(), exchange);
    }
}

// Runs the first exchange and reads its body, then sends `form` as the second.
class SecondReplyTest : public CurlFixture {
  protected:
    int runBoth(Reply second, HttpExchange& exchange) {
        Config config;
        config.second = std::move(second);
        startServer(std::move(config));
        exchange.url = url();
        if (_queryInfo(net(), exchange) != 1) {
            ADD_FAILURE() << "first exchange failed with " << exchange.errorCode;
            return 0;
        }
        readBody(exchange);
        exchange.requestBody = "passwd=x";
        return _requeryInfo(net(), exchange);
    }
};

TEST_F(SecondReplyTest, RawHeadersAreTheServersHeadAndMustFitTheBuffer) {
    // The head the server writes for a one-byte text reply with one padding line; the logic's
    // 2048-byte buffer holds 1023 characters and the terminator.
    const auto headWithPadding = [](std::size_t padding) {
        return "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=Shift_JIS\r\n"
               "Content-Length: 1\r\nX-Padding: " +
               std::string(padding, 'a') + "\r\n\r\n";
    };
    const std::size_t fitting = 1023 - headWithPadding(0).size();
    ASSERT_EQ(headWithPadding(fitting).size(), 1023u);

    {
        Reply reply = Reply::text("x");
        reply.extraHeaders = {"X-Padding: " + std::string(fitting, 'a')};
        HttpExchange exchange;
        ASSERT_EQ(runBoth(std::move(reply), exchange), 1) << exchange.errorCode;
        std::u16string raw;
        ASSERT_TRUE(
            net().queryInfoText(exchange.requestHandle, inet::kQueryRawHeadersCrlf, 2048, raw));
        const std::string expected = headWithPadding(fitting);
        EXPECT_EQ(raw, std::u16string(expected.begin(), expected.end()));
        closeExchangeHandles(net(), exchange);
    }
    {
        Reply reply = Reply::text("x");
        reply.extraHeaders = {"X-Padding: " + std::string(fitting + 1, 'a')};
        HttpExchange exchange;
        EXPECT_EQ(runBoth(std::move(reply), exchange), 0);
        EXPECT_EQ(exchange.errorCode, 160u);
        expectNoHandles(exchange);
    }
}

TEST_F(SecondReplyTest, ExportableFlagIsReadFromTheHeaderAsWritten) {
    struct Row {
        std::vector<std::string> headers;
        std::uint32_t exportable;
    };
    const Row rows[] = {
        {{"X-Exportable: 1"}, 1},
        {{"X-Exportable: 0"}, 0},
        // Header names reach the logic as the server wrote them; the logic's match is exact.
        {{"x-exportable: 1"}, 0},
        {{}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.headers.empty() ? "none" : row.headers.front());
        Reply reply = Reply::pkcs12("package", false);
        reply.extraHeaders = row.headers;
        HttpExchange exchange;
        ASSERT_EQ(runBoth(std::move(reply), exchange), 1) << exchange.errorCode;
        EXPECT_EQ(exchange.exportable, row.exportable);
        closeExchangeHandles(net(), exchange);
    }
}

TEST_F(SecondReplyTest, ABodyCutShortFailsTheRead) {
    Reply reply = Reply::pkcs12(std::string(4000, 'p'), true);
    reply.cut = Reply::Cut::CloseMidBody;
    HttpExchange exchange;
    ASSERT_EQ(runBoth(std::move(reply), exchange), 1) << exchange.errorCode;
    std::uint32_t errorCode = 0;
    EXPECT_EQ(readBody(exchange, &errorCode), "");
    EXPECT_EQ(errorCode, 300u);
    closeExchangeHandles(net(), exchange);
}

TEST_F(ExchangeTest, TimeOutsEndAStalledStepWith12002) {
    struct Row {
        const char* name;
        std::uint32_t option;  // set to 200 ms; the others stay at a minute
        std::function<void(Config&)> script;
        bool stallsInBody;
    };
    const Row rows[] = {
        {"connect", inet::kOptionConnectTimeout, [](Config& c) { c.stallHandshake = true; }, false},
        {"response head", inet::kOptionReceiveTimeout,
         [](Config& c) { c.first.cut = Reply::Cut::HangBeforeHead; }, false},
        {"body", inet::kOptionReceiveTimeout,
         [](Config& c) {
             c.first = Reply::text(std::string(2000, 'b'));
             c.first.cut = Reply::Cut::HangMidBody;
         },
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Config config;
        row.script(config);
        startServer(std::move(config));
        auto& net = this->net();
        const platform::InternetHandle root =
            net.open(u"agent", inet::kOpenTypePreconfig, {}, {}, 0);
        for (const std::uint32_t option :
             {inet::kOptionConnectTimeout, inet::kOptionSendTimeout, inet::kOptionReceiveTimeout}) {
            net.setOption(root, option, option == row.option ? 200 : 60000);
        }
        const platform::InternetHandle connection =
            net.connect(root, u"127.0.0.1", server().port(), {}, {}, inet::kServiceHttp, 0, 0);
        static constexpr std::u16string_view kAccept[] = {u"*/*"};
        const platform::InternetHandle request = net.openRequest(
            connection, u"POST", kRenewalPath, {}, {}, kAccept, inet::kFlagSecure, 0);
        bool sent = net.sendRequest(request, {}, {});
        if (row.stallsInBody) {
            ASSERT_TRUE(sent);
            std::uint8_t buffer[4096];
            std::uint32_t read = 0;
            EXPECT_FALSE(net.readFile(request, buffer, sizeof buffer, read));
        } else {
            EXPECT_FALSE(sent);
        }
        EXPECT_EQ(platform::lastError(), inet::kErrorTimeout);
        for (const platform::InternetHandle handle : {request, connection, root}) {
            EXPECT_TRUE(net.closeHandle(handle));
        }
    }
}

TEST(RenewalServerProgram, ServesBothExchangesAndReportsItsCounts) {
    platform::curl::CurlGlobal global;
    ASSERT_TRUE(global.ok());
    std::string pattern = std::filesystem::temp_directory_path() / "tessaly-server-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const std::filesystem::path directory = pattern;
    { std::ofstream(directory / "package.p12", std::ios::binary) << "PKCS12-BYTES"; }
    ChildProcess program({RENEWAL_SERVER_PROGRAM, "--make-pki", directory.string(), "--second-body",
                          (directory / "package.p12").string(), "--second-pkcs12", "0"});
    const auto portLine = program.readLine(std::chrono::seconds(10));
    ASSERT_TRUE(portLine.has_value());
    ASSERT_TRUE(portLine->starts_with("port "));
    const std::string port = portLine->substr(5);

    std::ifstream caFile(directory / "ca.pem");
    const std::string ca((std::istreambuf_iterator<char>(caFile)),
                         std::istreambuf_iterator<char>());
    platform::curl::CurlInternetOptions options;
    options.trustedRoots = {ca};
    platform::curl::CurlInternet net(std::move(options));
    const std::u16string url = u"https://localhost:" + std::u16string(port.begin(), port.end()) +
                               std::u16string(kRenewalPath);

    HttpExchange exchange;
    exchange.url = url;
    ASSERT_EQ(_queryInfo(net, exchange), 1) << exchange.errorCode;
    ResponseBody first;
    first.requestHandle = exchange.requestHandle;
    first.capacity = static_cast<std::uint32_t>(exchange.readSize);
    first.buffer.assign(exchange.readSize + 1, 0);
    ASSERT_EQ(_getInstance(net, first), 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(first.buffer.data()), 2), "0:");
    exchange.requestBody = "passwd=x";
    ASSERT_EQ(_requeryInfo(net, exchange), 1) << exchange.errorCode;
    EXPECT_EQ(exchange.isPkcs12, 1u);
    EXPECT_EQ(exchange.exportable, 0u);
    closeExchangeHandles(net, exchange);

    program.closeInput();
    EXPECT_EQ(program.readLine(std::chrono::seconds(10)), "handshakes 1 requests 2");
    EXPECT_EQ(program.wait(std::chrono::seconds(10)), 0);
    std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace tessaly::curltest
