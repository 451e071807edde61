#include "renewal/renewal_job.h"

#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "certstore/pkcs12_import.h"
#include "renewal/encodings.h"
#include "renewal/signed_proof.h"
#include "transport/http_exchange.h"
#include "transport/internet_root.h"

namespace tessaly {

using platform::NarrowString;
using platform::SecureBytes;
using platform::WideString;
using platform::WipeOnExit;

namespace {

constexpr std::u16string_view kInquiryFailed = u":検証データの問い合わせに失敗しました。";
constexpr std::u16string_view kDataNotObtained = u":検証データが取得できませんでした。";
constexpr std::u16string_view kMemoryFailure = u"システム障害（メモリ）が発生しました。";
constexpr std::u16string_view kInvalidData = u"不正な検証データです。\n";
constexpr std::u16string_view kSigningFailed = u"署名に失敗しました。";
constexpr std::u16string_view kCertInquiryFailed = u":証明書データの問い合わせに失敗しました。";
constexpr std::u16string_view kFileNotObtained = u":証明書ファイルは取得できませんでした。";
constexpr std::u16string_view kServerRefused = u"550:証明書ファイルは取得できませんでした。\n";
constexpr std::u16string_view kImportFailed = u":証明書をインポートできませんでした。";
constexpr std::u16string_view kImported = u"証明書は正しくインポートされました。";
constexpr std::uint32_t kFirstAnswerNotText = 199;

// A receive buffer larger than this cannot be had: no answer of the renewal server comes
// near it, and a Content-Length close to 4 GiB must not make the tool take that much.
constexpr std::uint64_t kMaxReceiveBuffer = 64u * 1024 * 1024;

// The job's own failure exit: the message is set before it is raised.
struct JobFailed {};

[[noreturn]] void fail(RenewalJob& job, WideString message) {
    job.message = std::move(message);
    throw JobFailed{};
}

WideString withCode(std::uint32_t code, std::u16string_view text) {
    const std::string digits = std::to_string(code);
    WideString message(digits.begin(), digits.end());
    message += text;
    return message;
}

// Allocates readSize + 1 bytes for the body read; false when the buffer cannot be had.
bool allocateReceiveBuffer(ResponseBody& body, std::uint64_t readSize) {
    if (readSize >= kMaxReceiveBuffer) {
        return false;
    }
    try {
        body.buffer.assign(readSize + 1, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    body.capacity = static_cast<std::uint32_t>(readSize);
    return true;
}

void releaseBuffer(SecureBytes& buffer) {
    SecureBytes().swap(buffer);
}

std::string_view receivedText(ResponseBody& body) {
    body.buffer[body.bytesRead] = 0;
    return {reinterpret_cast<const char*>(body.buffer.data()), body.bytesRead};
}

}  // namespace

int parseVerificationData(std::u16string_view response, WideString& data) {
    data.clear();
    std::vector<WideString> tokens;
    splitString(response, u':', tokens);
    if (tokens.size() < 2 || tokens[0] != u"0") {
        return 0;
    }
    data.assign(response.substr(2));
    return 1;
}

int _doImport(platform::CertificateServices& certs, platform::InternetServices& net,
              RenewalJob& job, std::u16string_view url, std::u16string_view password) {
    int result = 0;
    std::unique_ptr<HttpExchange> exchange;
    std::unique_ptr<ResponseBody> body;
    std::unique_ptr<Pkcs12Package> package;
    // The request body is borrowed by the exchange, so it lives as long as the exchange.
    NarrowString form;
    WipeOnExit wipeForm(form);
    try {
        exchange = std::make_unique<HttpExchange>();
        body = std::make_unique<ResponseBody>();
        package = std::make_unique<Pkcs12Package>();
        exchange->url = url;
        exchange->requestBody = {};

        if (_queryInfo(net, *exchange) != 1) {
            fail(job, withCode(exchange->errorCode, kInquiryFailed));
        }
        if (exchange->contentKind != ContentKind::Text) {
            fail(job, withCode(kFirstAnswerNotText, kInquiryFailed));
        }

        body->requestHandle = exchange->requestHandle;
        if (!allocateReceiveBuffer(*body, exchange->readSize)) {
            fail(job, WideString(kMemoryFailure));
        }
        if (_getInstance(net, *body) != 1) {
            fail(job, withCode(body->errorCode, kDataNotObtained));
        }
        const WideString response = toWide(receivedText(*body));

        WideString data;
        if (parseVerificationData(response, data) != 1) {
            WideString message(kInvalidData);
            message += response;
            fail(job, std::move(message));
        }
        NarrowString signature;
        if (signVerificationData(certs, job.certificate, toNarrow(data), signature) != 1) {
            fail(job, WideString(kSigningFailed));
        }
        releaseBuffer(body->buffer);

        {
            WideString encodedSignature = urlEncode(toWide(signature));
            WideString encodedPassword = urlEncode(password);
            WipeOnExit wipeEncodedPassword(encodedPassword);
            WideString wideForm;
            WipeOnExit wipeWideForm(wideForm);
            wideForm.reserve(encodedPassword.size() + encodedSignature.size() + 17);
            wideForm += u"passwd=";
            wideForm += encodedPassword;
            wideForm += u"&sendFile=";
            wideForm += encodedSignature;
            form = toNarrow(wideForm);
        }
        exchange->requestBody = form;
        if (_requeryInfo(net, *exchange) == 0) {
            fail(job, withCode(exchange->errorCode, kCertInquiryFailed));
        }

        body->requestHandle = exchange->requestHandle;
        if (!allocateReceiveBuffer(*body, exchange->readSize)) {
            fail(job, WideString(kMemoryFailure));
        }
        if (_getInstance(net, *body) == 0) {
            fail(job, withCode(body->errorCode, kFileNotObtained));
        }
        if (exchange->isPkcs12 == 0) {
            WideString message(kServerRefused);
            message += toWide(receivedText(*body));
            fail(job, std::move(message));
        }

        package->data = body->buffer.data();
        package->password = password;
        package->size = body->bytesRead;
        package->exportable = static_cast<std::int32_t>(exchange->exportable);
        if (_import(certs, *package) == 0) {
            fail(job, withCode(static_cast<std::uint32_t>(package->errorCode), kImportFailed));
        }
        job.message = kImported;
        result = 1;
    } catch (...) {
        result = 0;
    }

    if (exchange) {
        try {
            closeExchangeHandles(net, *exchange);
        } catch (...) {
        }
    }
    if (body) {
        releaseBuffer(body->buffer);
    }
    return result;
}

}  // namespace tessaly
