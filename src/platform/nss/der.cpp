#include "platform/nss/der.h"

#include <algorithm>
#include <charconv>
#include <optional>

namespace tessaly::platform::nss::der {

namespace {

void appendLength(Bytes& out, std::size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<std::uint8_t>(length));
        return;
    }
    std::uint8_t octets[sizeof(std::size_t)];
    std::size_t count = 0;
    for (std::size_t rest = length; rest != 0; rest >>= 8) {
        octets[count++] = static_cast<std::uint8_t>(rest & 0xFF);
    }
    out.push_back(static_cast<std::uint8_t>(0x80 | count));
    while (count != 0) {
        out.push_back(octets[--count]);
    }
}

void appendBase128(Bytes& out, std::uint64_t value) {
    std::uint8_t groups[10];
    std::size_t count = 0;
    do {
        groups[count++] = static_cast<std::uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    while (count != 0) {
        --count;
        out.push_back(static_cast<std::uint8_t>(groups[count] | (count != 0 ? 0x80 : 0)));
    }
}

// A reader over one level of TLVs.
struct Reader {
    std::span<const std::uint8_t> rest;

    struct Element {
        std::uint8_t tag;
        std::span<const std::uint8_t> content;
        bool indefinite;
    };

    std::optional<Element> next() {
        if (rest.size() < 2) {
            return std::nullopt;
        }
        const std::uint8_t elementTag = rest[0];
        const std::uint8_t first = rest[1];
        std::size_t offset = 2;
        if (first == 0x80) {  // indefinite length (BER): the content runs to the end
            Element element{elementTag, rest.subspan(offset), true};
            rest = {};
            return element;
        }
        std::size_t length = first;
        if ((first & 0x80) != 0) {
            const std::size_t count = first & 0x7F;
            if (count == 0 || count > sizeof(std::uint32_t) || rest.size() < offset + count) {
                return std::nullopt;
            }
            length = 0;
            for (std::size_t i = 0; i < count; ++i) {
                length = (length << 8) | rest[offset + i];
            }
            offset += count;
        }
        if (rest.size() - offset < length) {
            return std::nullopt;
        }
        Element element{elementTag, rest.subspan(offset, length), false};
        rest = rest.subspan(offset + length);
        return element;
    }
};

}  // namespace

std::size_t encodedLength(std::size_t contentLength) {
    std::size_t lengthOctets = 1;
    if (contentLength >= 0x80) {
        for (std::size_t rest = contentLength; rest != 0; rest >>= 8) {
            ++lengthOctets;
        }
    }
    return 1 + lengthOctets + contentLength;
}

Bytes tlv(std::uint8_t elementTag, std::span<const std::uint8_t> content) {
    return tlv(elementTag, {content});
}

Bytes tlv(std::uint8_t elementTag, std::initializer_list<std::span<const std::uint8_t>> parts) {
    std::size_t length = 0;
    for (const auto& part : parts) {
        length += part.size();
    }
    Bytes out;
    out.reserve(encodedLength(length));
    out.push_back(elementTag);
    appendLength(out, length);
    for (const auto& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

Bytes setOf(std::uint8_t elementTag, std::vector<std::span<const std::uint8_t>> elements) {
    std::sort(elements.begin(), elements.end(), [](const auto& left, const auto& right) {
        return std::lexicographical_compare(left.begin(), left.end(), right.begin(), right.end());
    });
    std::size_t length = 0;
    for (const auto& element : elements) {
        length += element.size();
    }
    Bytes out;
    out.reserve(encodedLength(length));
    out.push_back(elementTag);
    appendLength(out, length);
    for (const auto& element : elements) {
        out.insert(out.end(), element.begin(), element.end());
    }
    return out;
}

Bytes oid(std::string_view dotted) {
    std::vector<std::uint64_t> arcs;
    while (!dotted.empty()) {
        const std::size_t dot = dotted.find('.');
        const std::string_view arc = dotted.substr(0, dot);
        std::uint64_t value = 0;
        const auto [end, error] = std::from_chars(arc.data(), arc.data() + arc.size(), value);
        if (arc.empty() || error != std::errc{} || end != arc.data() + arc.size()) {
            return {};
        }
        arcs.push_back(value);
        if (dot == std::string_view::npos) {
            break;
        }
        dotted.remove_prefix(dot + 1);
        if (dotted.empty()) {
            return {};
        }
    }
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40)) {
        return {};
    }
    Bytes content;
    appendBase128(content, arcs[0] * 40 + arcs[1]);
    for (std::size_t i = 2; i < arcs.size(); ++i) {
        appendBase128(content, arcs[i]);
    }
    return tlv(tag::kOid, content);
}

Bytes algorithm(std::string_view dotted, bool nullParameters) {
    const Bytes identifier = oid(dotted);
    if (!nullParameters) {
        return tlv(tag::kSequence, identifier);
    }
    const std::uint8_t null[] = {tag::kNull, 0x00};
    return tlv(tag::kSequence, {identifier, null});
}

bool looksLikePfx(std::span<const std::uint8_t> bytes) {
    Reader outer{bytes};
    const auto pfx = outer.next();
    if (!pfx || pfx->tag != tag::kSequence || (!pfx->indefinite && !outer.rest.empty())) {
        return false;
    }
    Reader fields{pfx->content};
    const auto version = fields.next();
    if (!version || version->tag != tag::kInteger || version->content.size() != 1 ||
        version->content[0] != 3) {
        return false;
    }
    const auto authSafe = fields.next();
    if (!authSafe || authSafe->tag != tag::kSequence) {
        return false;
    }
    Reader contentInfo{authSafe->content};
    const auto contentType = contentInfo.next();
    if (!contentType || contentType->tag != tag::kOid) {
        return false;
    }
    const Bytes data = oid("1.2.840.113549.1.7.1");
    const Bytes signedData = oid("1.2.840.113549.1.7.2");
    const auto matches = [&](const Bytes& expected) {
        return std::equal(expected.begin() + 2, expected.end(), contentType->content.begin(),
                          contentType->content.end());
    };
    return matches(data) || matches(signedData);
}

}  // namespace tessaly::platform::nss::der
