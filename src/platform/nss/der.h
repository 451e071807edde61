// A small DER writer (enough for a PKCS#7 SignedData) and a reader for the outer shape of a
// PKCS#12 package.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

namespace tessaly::platform::nss::der {

using Bytes = std::vector<std::uint8_t>;

namespace tag {
inline constexpr std::uint8_t kInteger = 0x02;
inline constexpr std::uint8_t kOctetString = 0x04;
inline constexpr std::uint8_t kNull = 0x05;
inline constexpr std::uint8_t kOid = 0x06;
inline constexpr std::uint8_t kSequence = 0x30;
inline constexpr std::uint8_t kSet = 0x31;
inline constexpr std::uint8_t kContext0 = 0xA0;  // [0], constructed
}  // namespace tag

// The number of bytes a TLV with `contentLength` bytes of content takes.
std::size_t encodedLength(std::size_t contentLength);

// One TLV around `content`.
Bytes tlv(std::uint8_t tag, std::span<const std::uint8_t> content);
// One TLV around the concatenation of `parts`.
Bytes tlv(std::uint8_t tag, std::initializer_list<std::span<const std::uint8_t>> parts);
// A SET OF: its elements sorted by their encodings, as DER requires.
Bytes setOf(std::uint8_t tag, std::vector<std::span<const std::uint8_t>> elements);

// An OBJECT IDENTIFIER from its dotted form; empty for a malformed text.
Bytes oid(std::string_view dotted);
// An AlgorithmIdentifier: the OID, and NULL parameters when asked for.
Bytes algorithm(std::string_view dotted, bool nullParameters);

// True when `bytes` has the outer shape of a PKCS#12 PFX: a SEQUENCE that begins with
// INTEGER 3 and a ContentInfo of type data or signedData.
bool looksLikePfx(std::span<const std::uint8_t> bytes);

}  // namespace tessaly::platform::nss::der
