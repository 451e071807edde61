#include "renewal/renewal_job.h"
#include "renewal_scene.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "fake_certificates.h"
#include "fake_internet.h"
#include "renewal/encodings.h"
#include "transport/internet_root.h"
#include "wipe_recorder.h"

namespace tessaly {
namespace {

using fakes::FakeCertificates;
using fakes::FakeInternet;
using fakes::FakeResponse;
using fakes::Outcome;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
namespace cert = platform::cert;

constexpr std::u16string_view kImported = u"証明書は正しくインポートされました。";

std::string shiftJis(std::u16string_view text) {
    const auto narrow = toNarrow(text);
    return {narrow.begin(), narrow.end()};
}

using RenewalJobTest = testing_scene::RenewalScene;
using testing_scene::kPackage;
using testing_scene::kPassword;
using testing_scene::kUrl;
using testing_scene::plain;

TEST_F(RenewalJobTest, SuccessfulAttemptSignsTheChallengeSendsTheFormAndImports) {
    net.queueResponse(FakeResponse::text("0:a?aa>"));
    net.queueResponse(FakeResponse::pkcs12(kPackage, true));

    ASSERT_EQ(run(), 1);
    EXPECT_EQ(plain(job.message), kImported);

    const auto sends = net.callsTo("sendRequest");
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[0].bytes, "");
    // The password percent-encoded over its code page 932 bytes, then the signature's base64
    // with "+", "/" and "=" escaped.
    EXPECT_EQ(sends[1].bytes,
              "passwd=pa+ss%2F%83%8F&sendFile=U2lnbmVkRGF0YShleHBpcmVkLGE%2FYWE%2BKQ%3D%3D");
    EXPECT_EQ(certs.callsTo("signMessage").back().detail, "a?aa>");
    // The importer gets the password as typed, and the exportable flag of the answer.
    EXPECT_EQ(certs.callsTo("verifyPfxPassword")[0].text, kPassword);
    EXPECT_EQ(certs.callsTo("importPfx")[0].numbers, (std::vector<std::uint64_t>{0x1001}));
    EXPECT_THAT(certs.storeContents(u"ROOT"), ElementsAre("root"));
    EXPECT_THAT(certs.storeContents(u"CA"), ElementsAre("intermediate"));
    EXPECT_THAT(certs.storeContents(u"MY"), ElementsAre("expired", "renewed"));

    // Cleanup closes the second request, the connection and the root, in that order.
    const auto closes = net.callsTo("closeHandle");
    ASSERT_EQ(closes.size(), 4u);  // the first request was closed by the second exchange
    const auto opened = net.callsTo("openRequest");
    EXPECT_EQ(closes[1].handle, opened[1].returned);
    EXPECT_EQ(closes[2].handle, net.callsTo("connect")[0].returned);
    EXPECT_EQ(closes[3].handle, net.callsTo("open")[0].returned);
}

TEST_F(RenewalJobTest, VerificationDataIsEverythingAfterTheLeadingZeroColon) {
    struct Case {
        std::string body;
        std::string signedData;
    };
    const Case cases[] = {
        {"0:", ""},
        {"0:abc:def", "abc:def"},
        {std::string("0:ab\0cd", 7), "ab"},
        {shiftJis(u"0:検証"), shiftJis(u"検証")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        net.reset();
        net.queueResponse(FakeResponse::text(c.body));
        net.queueResponse(FakeResponse::pkcs12(kPackage, false));
        EXPECT_EQ(run(), 1);
        EXPECT_EQ(certs.callsTo("signMessage").back().detail, c.signedData);
    }
}

TEST_F(RenewalJobTest, EachFailingStepEndsWithItsOwnMessage) {
    const auto firstText = [](std::string body) { return FakeResponse::text(std::move(body)); };
    const auto secondOk = FakeResponse::pkcs12(kPackage, false);
    struct Case {
        const char* name;
        std::function<void(FakeInternet&, FakeCertificates&)> script;
        std::u16string message;
    };
    const Case cases[] = {
        {"no root handle",
         [](FakeInternet& n, FakeCertificates&) { n.queueOutcome("open", Outcome::fail(8)); },
         u"102:検証データの問い合わせに失敗しました。"},
        {"server error on the first request",
         [](FakeInternet& n, FakeCertificates&) { n.queueResponse(FakeResponse::withStatus(500)); },
         u"125:検証データの問い合わせに失敗しました。"},
        {"package as the first answer",
         [&](FakeInternet& n, FakeCertificates&) {
             n.queueResponse(FakeResponse::pkcs12("0:x", false));
         },
         u"199:検証データの問い合わせに失敗しました。"},
        {"first buffer cannot be had",
         [&](FakeInternet& n, FakeCertificates&) {
             auto response = firstText("0:x");
             response.contentLength = 0xFFFFFFF7u;
             n.queueResponse(response);
         },
         u"システム障害（メモリ）が発生しました。"},
        {"first read fails",
         [&](FakeInternet& n, FakeCertificates&) {
             n.queueResponse(firstText("0:x"));
             n.queueOutcome("readFile", Outcome::fail(12030));
         },
         u"300:検証データが取得できませんでした。"},
        {"first read overruns",
         [&](FakeInternet& n, FakeCertificates&) {
             n.queueResponse(firstText("0:x"));
             n.queueOutcome("readFile", Outcome::overrun());
         },
         u"310:検証データが取得できませんでした。"},
        {"no colon", [&](FakeInternet& n, FakeCertificates&) { n.queueResponse(firstText("0")); },
         u"不正な検証データです。\n0"},
        {"other leading token",
         [&](FakeInternet& n, FakeCertificates&) { n.queueResponse(firstText("1:abc")); },
         u"不正な検証データです。\n1:abc"},
        {"leading blank",
         [&](FakeInternet& n, FakeCertificates&) { n.queueResponse(firstText(" 0:abc")); },
         u"不正な検証データです。\n 0:abc"},
        {"empty body", [&](FakeInternet& n, FakeCertificates&) { n.queueResponse(firstText("")); },
         u"不正な検証データです。\n"},
        {"Japanese refusal",
         [&](FakeInternet& n, FakeCertificates&) {
             n.queueResponse(firstText(shiftJis(u"9:停止中")));
         },
         u"不正な検証データです。\n9:停止中"},
        {"certificate gone from MY",
         [&](FakeInternet& n, FakeCertificates& c) {
             n.queueResponse(firstText("0:x"));
             c.removeFromStore(u"MY", expired);
         },
         u"署名に失敗しました。"},
        {"second request refused",
         [&](FakeInternet& n, FakeCertificates&) {
             n.queueResponse(firstText("0:x"));
             n.queueResponse(FakeResponse::withStatus(403));
         },
         u"125:証明書データの問い合わせに失敗しました。"},
        {"second header block too long",
         [&](FakeInternet& n, FakeCertificates&) {
             n.queueResponse(firstText("0:x"));
             auto response = secondOk;
             response.rawHeaders = std::u16string(1500, u'h');
             n.queueResponse(response);
         },
         u"160:証明書データの問い合わせに失敗しました。"},
        {"second buffer cannot be had",
         [&](FakeInternet& n, FakeCertificates&) {
             n.queueResponse(firstText("0:x"));
             auto response = secondOk;
             response.contentLength = 0xFFFFFFFFu;
             n.queueResponse(response);
         },
         u"システム障害（メモリ）が発生しました。"},
        {"second read fails",
         [&](FakeInternet& n, FakeCertificates&) {
             n.queueResponse(firstText("0:x"));
             n.queueResponse(secondOk);
             n.queueOutcome("readFile", Outcome::pass());
             n.queueOutcome("readFile", Outcome::fail(12030));
         },
         u"300:証明書ファイルは取得できませんでした。"},
        {"server refuses in text",
         [&](FakeInternet& n, FakeCertificates&) {
             n.queueResponse(firstText("0:x"));
             n.queueResponse(firstText(shiftJis(u"有効な証明書がありません")));
         },
         u"550:証明書ファイルは取得できませんでした。\n有効な証明書がありません"},
        {"package refuses the password",
         [&](FakeInternet& n, FakeCertificates& c) {
             n.queueResponse(firstText("0:x"));
             n.queueResponse(secondOk);
             c.registerPackage(kPackage, u"another", {});
         },
         u"205:証明書をインポートできませんでした。"},
        {"package cut short without Content-Length",
         [&](FakeInternet& n, FakeCertificates& c) {
             const std::string large(20000, 'P');
             c.registerPackage(large, std::u16string(kPassword), {});
             n.queueResponse(firstText("0:x"));
             auto response = FakeResponse::pkcs12(large, false);
             response.contentLength.reset();
             n.queueResponse(response);
         },
         u"200:証明書をインポートできませんでした。"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        net.reset();
        certs.putInStore(u"MY", expired);
        certs.registerPackage(kPackage, std::u16string(kPassword), {});
        job.message.clear();
        c.script(net, certs);
        EXPECT_EQ(run(), 0);
        EXPECT_EQ(plain(job.message), c.message);
        EXPECT_TRUE(net.openHandles().empty());
        EXPECT_EQ(net.extraCloses(), 0);
        certs.removeFromStore(u"MY", expired);
    }
}

TEST_F(RenewalJobTest, ExceptionBeforeAnyFailureTextLeavesTheMessageAsItWas) {
    net.queueResponse(FakeResponse::text("0:x"));
    net.queueOutcome("readFile", Outcome::raise());
    job.message = u"before";
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(plain(job.message), u"before");
}

// Notes where the request body that carries the password lives while it is sent.
class BodyWatchingInternet : public FakeInternet {
  public:
    bool sendRequest(platform::InternetHandle request, std::u16string_view headers,
                     std::span<const std::uint8_t> body) override {
        bodyAt = reinterpret_cast<std::uintptr_t>(body.data());
        bodySize = body.size();
        return FakeInternet::sendRequest(request, headers, body);
    }
    std::uintptr_t bodyAt = 0;
    std::size_t bodySize = 0;
};

TEST(RenewalJobSecrets, FormBodyAndJobPasswordAreZeroedBeforeRelease) {
    g_hInternet.store({});
    const fakes::WipeRecorder wipes;
    BodyWatchingInternet net;
    FakeCertificates certs;
    const int expired = certs.addCertificate({.name = "expired", .hasKey = true});
    certs.putInStore(u"MY", expired);
    certs.registerPackage(kPackage, u"secret", {});
    net.queueResponse(FakeResponse::text("0:x"));
    net.queueResponse(FakeResponse::pkcs12(kPackage, false));
    std::uintptr_t passwordAt = 0;
    {
        RenewalJob job;
        job.url = kUrl;
        job.password = u"secret";
        job.certificate = certs.contextOf(expired);
        passwordAt = reinterpret_cast<std::uintptr_t>(job.password.data());
        ASSERT_EQ(_doImport(certs, net, job, job.url, job.password), 1);
        ASSERT_NE(net.bodyAt, 0u);
        EXPECT_TRUE(wipes.wasWiped(net.bodyAt, net.bodySize));
        certs.freeCertificate(job.certificate);
    }
    EXPECT_TRUE(wipes.wasWiped(passwordAt, 6 * sizeof(char16_t)));
}

}  // namespace
}  // namespace tessaly
