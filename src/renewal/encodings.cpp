#include "renewal/encodings.h"

#include <iconv.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

namespace tessaly {

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr const char* kCodePage = "CP932";
constexpr const char* kUtf16 = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

class Converter {
  public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (valid()) {
            iconv_close(cd_);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

  private:
    iconv_t cd_;
};

// Converts `in` (of `inUnit`-byte units) into `out`, replacing what cannot be converted
// with `replacement` and skipping one input unit (two for a surrogate pair's high half).
template <class OutString>
void convert(const Converter& converter, const char* in, std::size_t inBytes, std::size_t inUnit,
             OutString& out, typename OutString::value_type replacement) {
    using OutChar = typename OutString::value_type;
    if (!converter.valid()) {
        return;
    }
    out.resize(inBytes * 2 + 8);
    std::size_t written = 0;
    char* inPtr = const_cast<char*>(in);
    std::size_t inLeft = inBytes;
    while (inLeft > 0) {
        char* outPtr = reinterpret_cast<char*>(out.data() + written);
        std::size_t outLeft = (out.size() - written) * sizeof(OutChar);
        const std::size_t rc = iconv(converter.get(), &inPtr, &inLeft, &outPtr, &outLeft);
        written = out.size() - outLeft / sizeof(OutChar);
        if (rc != static_cast<std::size_t>(-1)) {
            break;
        }
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        if (written == out.size()) {
            out.resize(out.size() * 2);
        }
        out[written++] = replacement;
        if (errno == EINVAL) {  // truncated sequence at the end
            break;
        }
        std::size_t skip = inUnit;
        if (inUnit == 2 && inLeft >= 4) {
            char16_t unit = 0;
            std::memcpy(&unit, inPtr, 2);
            char16_t next = 0;
            std::memcpy(&next, inPtr + 2, 2);
            if (unit >= 0xD800 && unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
                skip = 4;
            }
        }
        inPtr += skip;
        inLeft -= skip;
        iconv(converter.get(), nullptr, nullptr, nullptr, nullptr);  // reset shift state
    }
    out.resize(written);
}

bool passesUnchanged(unsigned char byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
           (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_';
}

}  // namespace

void splitString(std::u16string_view text, char16_t delimiter, std::vector<WideString>& tokens) {
    tokens.clear();
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t match = text.find(delimiter, start);
        if (match == std::u16string_view::npos) {
            break;
        }
        tokens.emplace_back(text.substr(start, match - start));
        start = match + 1;
    }
    tokens.emplace_back(text.substr(std::min(start, text.size())));
}

WideString urlEncode(std::u16string_view text) {
    static constexpr char16_t kHex[] = u"0123456789ABCDEF";
    const NarrowString bytes = toNarrow(text);
    WideString encoded;
    encoded.reserve(bytes.size() * 3);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (passesUnchanged(byte)) {
            encoded.push_back(static_cast<char16_t>(byte));
        } else if (byte == ' ') {
            encoded.push_back(u'+');
        } else {
            encoded.push_back(u'%');
            encoded.push_back(kHex[byte >> 4]);
            encoded.push_back(kHex[byte & 0x0F]);
        }
    }
    return encoded;
}

NarrowString base64Encode(const std::uint8_t* data, std::size_t count) {
    NarrowString text;
    text.reserve((count + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= count; i += 3) {
        const std::uint8_t b0 = data[i], b1 = data[i + 1], b2 = data[i + 2];
        text.push_back(kBase64Alphabet[b0 >> 2]);
        text.push_back(kBase64Alphabet[((b0 & 3) << 4) + (b1 >> 4)]);
        text.push_back(kBase64Alphabet[((b1 & 0x0F) << 2) + (b2 >> 6)]);
        text.push_back(kBase64Alphabet[b2 & 0x3F]);
    }
    const std::size_t remaining = count - i;
    if (remaining != 0) {
        const std::uint8_t b0 = data[i];
        const std::uint8_t b1 = remaining == 2 ? data[i + 1] : 0;
        const char group[3] = {kBase64Alphabet[b0 >> 2],
                               kBase64Alphabet[((b0 & 3) << 4) + (b1 >> 4)],
                               kBase64Alphabet[(b1 & 0x0F) << 2]};
        text.append(group, remaining + 1);
        text.append(3 - remaining, '=');
    }
    return text;
}

NarrowString toNarrow(std::u16string_view text) {
    text = text.substr(0, text.find(u'\0'));
    NarrowString narrow;
    if (text.empty()) {
        return narrow;
    }
    const Converter converter(kCodePage, kUtf16);
    convert(converter, reinterpret_cast<const char*>(text.data()), text.size() * 2, 2, narrow, '?');
    return narrow;
}

WideString toWide(std::string_view bytes) {
    bytes = bytes.substr(0, bytes.find('\0'));
    WideString wide;
    if (bytes.empty()) {
        return wide;
    }
    const Converter converter(kUtf16, kCodePage);
    convert(converter, bytes.data(), bytes.size(), 1, wide, u'\uFFFD');
    return wide;
}

}  // namespace tessaly
