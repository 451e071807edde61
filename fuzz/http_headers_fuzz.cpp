// The second answer's header block as the transport reads it: the Content-Type
// classification and the X-Exportable flag. The input is the raw header block as the server
// sent it; a double of the Internet services answers the transport's queries from it the way
// the curl services do (bytes as Latin-1, Content-Type from the first line of that name).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "platform/failure.h"
#include "platform/internet_services.h"
#include "platform/last_error.h"
#include "transport/http_exchange.h"

namespace {

using tessaly::ContentKind;
using tessaly::fuzz::check;
using tessaly::platform::InternetHandle;
namespace inet = tessaly::platform::inet;
namespace code = tessaly::transport_code;

// The buffers the transport offers, in bytes: the second exchange's scratch for the raw header
// block, and the one for the Content-Type value. A text fits with its terminator or fails.
constexpr std::size_t kScratchBytes = 2048;
constexpr std::size_t kContentTypeBufferBytes = 4096;

char16_t lower(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool equalsIgnoringCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::u16string_view trim(std::u16string_view text) {
    while (!text.empty() && (text.front() == u' ' || text.front() == u'\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == u' ' || text.back() == u'\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// The value of the first header line called `name`, the status line skipped.
std::optional<std::u16string_view> headerValue(std::u16string_view head, std::u16string_view name) {
    std::size_t at = head.find(u"\r\n");
    while (at != std::u16string_view::npos && at + 2 < head.size()) {
        const std::size_t start = at + 2;
        const std::size_t end = head.find(u"\r\n", start);
        const std::u16string_view line = head.substr(start, end - start);
        const std::size_t colon = line.find(u':');
        if (colon != std::u16string_view::npos && equalsIgnoringCase(line.substr(0, colon), name)) {
            return trim(line.substr(colon + 1));
        }
        at = end;
    }
    return std::nullopt;
}

// Answers the header queries of one request from a fixed header block; everything else fails.
class HeaderBlockInternet final : public tessaly::platform::InternetServices {
  public:
    explicit HeaderBlockInternet(std::u16string head) : head_(std::move(head)) {}

    std::optional<std::u16string_view> contentType() const {
        return headerValue(head_, u"Content-Type");
    }
    const std::u16string& head() const { return head_; }

    bool queryInfoText(InternetHandle, std::uint32_t infoLevel, std::size_t bufferBytes,
                       std::u16string& text) override {
        std::optional<std::u16string_view> answer;
        if (infoLevel == inet::kQueryRawHeadersCrlf) {
            answer = head_;
        } else if (infoLevel == inet::kQueryContentType) {
            answer = contentType();
        }
        if (!answer) {
            return failWith(inet::kErrorHeaderNotFound);
        }
        if ((answer->size() + 1) * sizeof(char16_t) > bufferBytes) {
            return failWith(inet::kErrorInsufficientBuffer);
        }
        text = *answer;
        return true;
    }

    bool crackUrl(std::u16string_view, std::uint32_t, tessaly::platform::UrlComponents&) override {
        return unsupported();
    }
    InternetHandle open(std::u16string_view, std::uint32_t, std::u16string_view,
                        std::u16string_view, std::uint32_t) override {
        unsupported();
        return {};
    }
    bool setOption(InternetHandle, std::uint32_t, std::uint32_t) override { return unsupported(); }
    bool queryOption(InternetHandle, std::uint32_t, std::uint32_t&) override {
        return unsupported();
    }
    InternetHandle connect(InternetHandle, std::u16string_view, std::uint16_t, std::u16string_view,
                           std::u16string_view, std::uint32_t, std::uint32_t,
                           std::uintptr_t) override {
        unsupported();
        return {};
    }
    InternetHandle openRequest(InternetHandle, std::u16string_view, std::u16string_view,
                               std::u16string_view, std::u16string_view,
                               std::span<const std::u16string_view>, std::uint32_t,
                               std::uintptr_t) override {
        unsupported();
        return {};
    }
    bool sendRequest(InternetHandle, std::u16string_view, std::span<const std::uint8_t>) override {
        return unsupported();
    }
    bool queryInfoNumber(InternetHandle, std::uint32_t, std::uint32_t&) override {
        return unsupported();
    }
    bool readFile(InternetHandle, std::uint8_t*, std::uint32_t, std::uint32_t& bytesRead) override {
        bytesRead = 0;
        return unsupported();
    }
    std::uint32_t errorDialog(InternetHandle, std::uint32_t, std::uint32_t) override {
        return inet::kErrorSuccess;
    }
    bool closeHandle(InternetHandle) override { return unsupported(); }

  private:
    static bool failWith(std::uint32_t error) {
        tessaly::platform::setLastError(error);
        return false;
    }
    static bool unsupported() { return failWith(inet::kErrorInvalidHandle); }

    std::u16string head_;
};

// Each byte as the Latin-1 character of its value, as the curl services hand headers over.
std::u16string fromLatin1(std::string_view bytes) {
    const auto* first = reinterpret_cast<const unsigned char*>(bytes.data());
    return std::u16string(first, first + bytes.size());
}

void checkContentKind(HeaderBlockInternet& net, InternetHandle request) {
    const ContentKind kind = tessaly::_classifyContentType(net, request);
    const auto value = net.contentType();
    switch (kind) {
        case ContentKind::Unavailable:
            check(!value || (value->size() + 1) * sizeof(char16_t) > kContentTypeBufferBytes,
                  "unavailable only without a Content-Type that fits");
            break;
        case ContentKind::Pkcs12:
            check(value && equalsIgnoringCase(*value, u"application/x-pkcs12"),
                  "PKCS#12 only for application/x-pkcs12");
            break;
        case ContentKind::Text:
            check(value && value->find(u"text/plain") != std::u16string_view::npos &&
                      value->find(u"charset=Shift_JIS") != std::u16string_view::npos,
                  "text only for text/plain with charset=Shift_JIS");
            break;
        case ContentKind::Unrecognised:
            check(value.has_value(), "unrecognised only for a Content-Type that was read");
            break;
        default:
            tessaly::fuzz::fail("a content kind outside the enumeration");
    }

    std::uint32_t failure = 0;
    ContentKind accepted = ContentKind::Unrecognised;
    try {
        accepted = tessaly::_getContentKind(net, request);
    } catch (const tessaly::platform::Failure& raised) {
        failure = raised.code;
    }
    switch (kind) {
        case ContentKind::Pkcs12:
        case ContentKind::Text:
            check(failure == 0 && accepted == kind, "a recognised kind is accepted as it is");
            break;
        case ContentKind::Unrecognised:
            check(failure == code::kBadContentType, "an unrecognised kind fails with 135");
            break;
        default:
            check(failure == code::kContentTypeUnreadable, "an unreadable kind fails with 140");
            break;
    }
}

void checkExportableFlag(HeaderBlockInternet& net, InternetHandle request) {
    tessaly::platform::SecureBytes scratch(kScratchBytes);
    std::uint32_t flag = 0;
    std::uint32_t failure = 0;
    try {
        flag = tessaly::_readExportableFlag(net, request, scratch);
    } catch (const tessaly::platform::Failure& raised) {
        failure = raised.code;
    }
    const bool fits = (net.head().size() + 1) * sizeof(char16_t) <= kScratchBytes;
    if (!fits) {
        check(failure == code::kRawHeadersUnreadable, "a block too long fails with 160");
        return;
    }
    check(failure == 0, "a block that fits is read");
    check(flag == 0 || flag == 1, "the flag is 0 or 1");
    if (flag == 1) {
        const std::size_t at = net.head().find(u"X-Exportable:");
        check(at != std::u16string::npos &&
                  net.head().substr(at + 13).find(u'1') != std::u16string::npos,
              "exportable only where an X-Exportable header carries 1");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    HeaderBlockInternet net(fromLatin1(tessaly::fuzz::bytesOf(data, size)));
    const InternetHandle request{0x1000};
    checkContentKind(net, request);
    checkExportableFlag(net, request);
    return 0;
}
