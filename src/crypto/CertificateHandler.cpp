#include "crypto/CertificateHandler.hpp"

#include <algorithm>
#include <array>

namespace velquor::detail {

namespace {

// SEQUENCE { OID 1.2.840.113549.1.1.1 (rsaEncryption), NULL }.
constexpr std::array<std::uint8_t, 15> kRSAAlgorithmIdentifier = {
    0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
constexpr std::uint8_t kSequence = 0x30;
constexpr std::uint8_t kBitString = 0x03;

} // namespace

std::vector<std::uint8_t> CertificateHandler::encodeLength(std::size_t length) {
    if (length < 0x80)
        return {static_cast<std::uint8_t>(length)};
    std::vector<std::uint8_t> bytes;
    for (std::size_t rest = length; rest != 0; rest >>= 8)
        bytes.insert(bytes.begin(), static_cast<std::uint8_t>(rest & 0xFF));
    bytes.insert(bytes.begin(), static_cast<std::uint8_t>(0x80 + bytes.size()));
    return bytes;
}

std::optional<std::uint64_t> CertificateHandler::parseLength(std::span<const std::uint8_t> bytes,
                                                             std::size_t& position) {
    if (position >= bytes.size())
        return std::nullopt;
    const std::uint8_t first = bytes[position];
    if (first < 0x80) {
        position += 1;
        return first;
    }
    const std::size_t count = first - 0x80;
    if (count == 0 || count > bytes.size() - position - 1)
        return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = 1; i <= count; ++i)
        value = (value << 8) | bytes[position + i];
    position += count + 1;
    return value;
}

std::vector<std::uint8_t> CertificateHandler::addPublicKeyHeader(std::span<const std::uint8_t> pkcs1Key) {
    const std::vector<std::uint8_t> bitStringLength = encodeLength(pkcs1Key.size() + 1);
    const std::size_t total =
        kRSAAlgorithmIdentifier.size() + 1 + bitStringLength.size() + 1 + pkcs1Key.size();
    const std::vector<std::uint8_t> sequenceLength = encodeLength(total);

    std::vector<std::uint8_t> result;
    result.reserve(1 + sequenceLength.size() + total);
    result.push_back(kSequence);
    result.insert(result.end(), sequenceLength.begin(), sequenceLength.end());
    result.insert(result.end(), kRSAAlgorithmIdentifier.begin(), kRSAAlgorithmIdentifier.end());
    result.push_back(kBitString);
    result.insert(result.end(), bitStringLength.begin(), bitStringLength.end());
    result.push_back(0x00);
    result.insert(result.end(), pkcs1Key.begin(), pkcs1Key.end());
    return result;
}

std::vector<std::uint8_t> CertificateHandler::stripPublicKeyHeader(std::span<const std::uint8_t> key) {
    const std::vector<std::uint8_t> unchanged(key.begin(), key.end());
    if (key.empty() || key[0] != kSequence)
        return unchanged;

    std::size_t p = 1;
    parseLength(key, p); // only the position matters

    if (key.size() < p || key.size() - p < kRSAAlgorithmIdentifier.size() ||
        !std::equal(kRSAAlgorithmIdentifier.begin(), kRSAAlgorithmIdentifier.end(), key.begin() + p))
        return unchanged;
    p += kRSAAlgorithmIdentifier.size();

    if (p >= key.size() || key[p] != kBitString)
        return unchanged;
    p += 1;
    parseLength(key, p);

    if (p >= key.size() || key[p] != 0x00)
        return unchanged;
    p += 1;
    return {key.begin() + static_cast<std::ptrdiff_t>(p), key.end()};
}

} // namespace velquor::detail
