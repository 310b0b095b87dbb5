#include "crypto/AES256CBC.hpp"

#include "util/Base64.hpp"
#include "util/OpenSSLPtr.hpp"
#include "util/Utf8.hpp"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <array>
#include <span>

namespace velquor::detail {

namespace {

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

AES256CBC::Error fromFailure(const AESCipher::Failure& failure) {
    if (const auto* cipherError = std::get_if<AESCipherError>(&failure))
        return {AES256CBC::Error::Kind::cipher, *cipherError};
    return {AES256CBC::Error::Kind::blockMode, std::nullopt};
}

std::size_t codePointCount(const std::string& text) {
    std::size_t count = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80)
            ++count;
    return count;
}

// Uniform integers below a bound from RAND_bytes. Rejection sampling: a byte at or above the
// largest multiple of the bound is drawn again, so no value is favoured. Bytes are fetched in
// batches and wiped afterwards.
class UniformRandom {
public:
    ~UniformRandom() { OPENSSL_cleanse(buffer_.data(), buffer_.size()); }

    std::optional<unsigned> below(unsigned bound) {
        const unsigned limit = 256 - 256 % bound;
        while (true) {
            if (next_ == buffer_.size()) {
                if (RAND_bytes(buffer_.data(), static_cast<int>(buffer_.size())) != 1)
                    return std::nullopt;
                next_ = 0;
            }
            const unsigned byte = buffer_[next_++];
            if (byte < limit)
                return byte % bound;
        }
    }

private:
    std::array<unsigned char, 64> buffer_{};
    std::size_t next_ = buffer_.size();
};

} // namespace

std::string AES256CBC::Error::domain() const {
    switch (kind) {
    case Kind::cipher:
        return "AESCipher.Error";
    case Kind::blockMode:
        return "CBCBlockMode.BlockError";
    case Kind::invalidUtf8Data:
        return "Invalid utf8 data";
    case Kind::invalidBase64:
        return "Invalid base64 data";
    }
    return "unknown";
}

int AES256CBC::Error::code() const {
    return (kind == Kind::cipher && cipherError) ? static_cast<int>(*cipherError) : 0;
}

std::string AES256CBC::Error::description() const {
    switch (kind) {
    case Kind::cipher:
        return std::string("AESCipher.Error.") + (cipherError ? toString(*cipherError) : "unknown");
    case Kind::blockMode:
        return "CBCBlockMode.BlockError.MissingInitializationVector";
    case Kind::invalidUtf8Data:
    case Kind::invalidBase64:
        return domain();
    }
    return "unknown";
}

std::optional<std::string> AES256CBC::encryptString(const std::string& plaintext, const std::string& key,
                                                    Console* console) {
    if (plaintext.empty())
        return std::nullopt;
    if (!isValidUtf8(key) || codePointCount(key) != 32)
        return std::nullopt;
    const std::optional<std::string> iv = randomText(16, false, false);
    if (!iv) {
        if (console)
            console->writeLine("an error occured while encrypting");
        return std::nullopt;
    }
    auto body = aesEncrypt(plaintext, key, *iv);
    if (!body) {
        if (console)
            console->writeLine("an error occured while encrypting");
        return std::nullopt;
    }
    return *iv + body.value();
}

Result<std::string, AES256CBC::Error> AES256CBC::aesEncrypt(const std::string& plaintext,
                                                            const std::string& key, const std::string& iv) {
    // A line that could never be decrypted back is refused here rather than stored.
    if (!isValidUtf8(plaintext))
        return Error{Error::Kind::invalidUtf8Data, std::nullopt};
    auto cipher = AESCipher::make(bytesOf(key), bytesOf(iv));
    if (!cipher)
        return Error{Error::Kind::cipher, cipher.error()};
    auto sealed = cipher->encrypt(bytesOf(plaintext));
    if (!sealed)
        return fromFailure(sealed.error());
    return base64Encode(sealed.value());
}

Result<std::string, AES256CBC::Error> AES256CBC::aesDecrypt(const std::string& ciphertext,
                                                            const std::string& key, const std::string& iv) {
    const auto decoded = base64Decode(ciphertext);
    if (!decoded)
        return Error{Error::Kind::invalidBase64, std::nullopt};
    auto cipher = AESCipher::make(bytesOf(key), bytesOf(iv));
    if (!cipher)
        return Error{Error::Kind::cipher, cipher.error()};
    auto opened = cipher->decrypt(*decoded);
    if (!opened)
        return fromFailure(opened.error());
    std::vector<std::uint8_t>& bytes = opened.value();
    std::string text(bytes.begin(), bytes.end());
    OPENSSL_cleanse(bytes.data(), bytes.size());
    if (!isValidUtf8(text))
        return Error{Error::Kind::invalidUtf8Data, std::nullopt};
    return text;
}

std::optional<std::string> AES256CBC::randomText(std::size_t length, bool lowercaseOnly, bool withSpaces) {
    static constexpr char kLower[] = "abcdefghijklmnopqrstuvwxyz";
    static constexpr char kUpper[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    static constexpr char kDigits[] = "0123456789";

    UniformRandom random;
    std::string text;
    text.reserve(length);
    while (text.size() < length) {
        if (lowercaseOnly) {
            const auto index = random.below(26);
            if (!index)
                break;
            text += kLower[*index];
            continue;
        }
        const auto characterClass = random.below(withSpaces ? 4 : 3);
        if (!characterClass)
            break;
        if (*characterClass == 3) {
            // Never two spaces in a row: pick the class again.
            if (text.empty() || text.back() != ' ')
                text += ' ';
            continue;
        }
        const auto index = random.below(*characterClass == 2 ? 10 : 26);
        if (!index)
            break;
        text += (*characterClass == 0 ? kLower : *characterClass == 1 ? kUpper : kDigits)[*index];
    }
    if (text.size() < length) {
        // Not logged: the log file encrypts through here, so a log call could come straight back.
        drainOpenSSLErrors();
        return std::nullopt;
    }
    return text;
}

} // namespace velquor::detail
