#include "platform/curl/url_split.h"

#include "platform/secure_memory.h"

#include <algorithm>
#include <optional>
#include <string>

namespace tessaly::platform::curl {
namespace {

char16_t lowerAscii(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool equalsIgnoringCase(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char16_t x, char16_t y) { return lowerAscii(x) == lowerAscii(y); });
}

int hexValue(char16_t c) {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    const char16_t lower = lowerAscii(c);
    if (lower >= u'a' && lower <= u'f') {
        return lower - u'a' + 10;
    }
    return -1;
}

// %xx sequences become the byte they name; a byte above 0x7F is taken as a Latin-1 character,
// and a '%' that starts no valid sequence stays as it is.
std::u16string decodePercent(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'%' && i + 2 < text.size()) {
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char16_t>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::optional<std::uint16_t> parsePort(std::u16string_view text) {
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    std::uint32_t port = 0;
    for (const char16_t c : text) {
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
        port = port * 10 + static_cast<std::uint32_t>(c - u'0');
    }
    if (port == 0 || port > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(port);
}

bool fits(const std::u16string& part, std::size_t capacity) {
    return part.size() < capacity;
}

}  // namespace

std::uint32_t splitUrl(std::u16string_view url, std::uint32_t flags, UrlComponents& c) {
    const auto schemeEnd = url.find(u"://");
    if (schemeEnd == std::u16string_view::npos || schemeEnd == 0) {
        return inet::kErrorInvalidUrl;
    }
    const std::u16string_view scheme = url.substr(0, schemeEnd);
    int schemeNumber = 0;
    std::uint16_t defaultPort = 0;
    if (equalsIgnoringCase(scheme, u"https")) {
        schemeNumber = inet::kSchemeHttps;
        defaultPort = inet::kDefaultHttpsPort;
    } else if (equalsIgnoringCase(scheme, u"http")) {
        schemeNumber = inet::kSchemeHttp;
        defaultPort = inet::kDefaultHttpPort;
    } else {
        return kErrorUnrecognizedScheme;
    }

    const std::u16string_view rest = url.substr(schemeEnd + 3);
    const std::size_t authorityEnd = std::min(rest.size(), rest.find_first_of(u"/?#"));
    std::u16string_view authority = rest.substr(0, authorityEnd);
    const std::u16string_view tail = rest.substr(authorityEnd);

    std::u16string_view user;
    std::u16string_view password;
    if (const auto at = authority.rfind(u'@'); at != std::u16string_view::npos) {
        const std::u16string_view userInfo = authority.substr(0, at);
        const auto colon = userInfo.find(u':');
        user = userInfo.substr(0, colon);
        if (colon != std::u16string_view::npos) {
            password = userInfo.substr(colon + 1);
        }
        authority = authority.substr(at + 1);
    }

    std::u16string_view host;
    std::u16string_view portText;
    if (!authority.empty() && authority.front() == u'[') {
        // An IPv6 literal: the host is what the brackets enclose.
        const auto close = authority.find(u']');
        if (close == std::u16string_view::npos) {
            return inet::kErrorInvalidUrl;
        }
        host = authority.substr(1, close - 1);
        const std::u16string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != u':') {
                return inet::kErrorInvalidUrl;
            }
            portText = after.substr(1);
        }
    } else {
        const auto colon = authority.find(u':');
        host = authority.substr(0, colon);
        if (colon != std::u16string_view::npos) {
            portText = authority.substr(colon + 1);
        }
    }
    if (host.empty()) {
        return inet::kErrorInvalidUrl;
    }
    for (const char16_t ch : host) {
        if (ch <= u' ' || ch == 0x7F || ch == u'\\') {
            return inet::kErrorInvalidUrl;
        }
    }
    std::uint16_t port = defaultPort;
    if (!portText.empty()) {
        const auto parsed = parsePort(portText);
        if (!parsed) {
            return inet::kErrorInvalidUrl;
        }
        port = *parsed;
    }

    const auto extraAt = tail.find_first_of(u"?#");
    const std::u16string_view path = tail.substr(0, extraAt);
    const std::u16string_view extra =
        extraAt == std::u16string_view::npos ? std::u16string_view{} : tail.substr(extraAt);

    const bool decode = (flags & inet::kCrackEscape) != 0;
    const auto take = [decode](std::u16string_view part) {
        return decode ? decodePercent(part) : std::u16string(part);
    };
    UrlComponents out = c;
    out.scheme.assign(scheme);
    out.schemeNumber = schemeNumber;
    out.host.assign(host);
    out.port = port;
    out.user = take(user);
    out.password = take(password);
    out.path = take(path);
    out.extra = take(extra);
    if (!fits(out.scheme, out.schemeCapacity) || !fits(out.host, out.hostCapacity) ||
        !fits(out.user, out.userCapacity) || !fits(out.password, out.passwordCapacity) ||
        !fits(out.path, out.pathCapacity) || !fits(out.extra, out.extraCapacity)) {
        wipe(out.password);
        return inet::kErrorInsufficientBuffer;
    }
    wipe(c.password);
    c = std::move(out);
    return 0;
}

}  // namespace tessaly::platform::curl
