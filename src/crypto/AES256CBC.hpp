// Text encryption for the diagnostic log: AES-256-CBC with PKCS#7 padding, a 32-character key
// (its UTF-8 bytes are the cipher key) and a fresh 16-character IV per message. The framed form
// is the IV text followed directly by the standard Base64 of the ciphertext:
//
//   auto line = AES256CBC::encryptString("hello", key);      // "q3Xr...16 chars...<Base64>"
//   auto text = AES256CBC::aesDecrypt(line->substr(16), key, line->substr(0, 16));
//
// Stateless: every call makes its own cipher, so calls on any threads do not interfere.
#pragma once

#include <velquor/Platform.hpp>

#include "crypto/AESCipher.hpp"
#include "util/Result.hpp"

#include <cstddef>
#include <optional>
#include <string>

namespace velquor::detail {

class AES256CBC {
public:
    // Why aesEncrypt or aesDecrypt failed.
    struct Error {
        enum class Kind {
            cipher,          // cipherError says which (bad key or IV length, block size, empty data)
            blockMode,       // the chaining mode had no IV
            invalidUtf8Data, // the decrypted bytes (or the plaintext given) are not UTF-8
            invalidBase64,   // the ciphertext text is not strict standard Base64
        };
        Kind kind;
        std::optional<AESCipherError> cipherError;

        bool operator==(const Error&) const = default;
        // "AESCipher.Error", "CBCBlockMode.BlockError", "Invalid utf8 data", "Invalid base64 data".
        std::string domain() const;
        // The case's position in its enumeration; 0 for the two data errors.
        int code() const;
        std::string description() const;
    };

    // The framed ciphertext, or nothing for an empty plaintext, a key that is not 32 characters,
    // or a failure of the cipher or the random source (that failure also writes the line
    // "an error occured while encrypting" to `console`, when one is given).
    static std::optional<std::string> encryptString(const std::string& plaintext, const std::string& key,
                                                    Console* console = nullptr);

    // Standard Base64 of the ciphertext of `plaintext` (UTF-8) under the UTF-8 bytes of `key` and `iv`.
    static Result<std::string, Error> aesEncrypt(const std::string& plaintext, const std::string& key,
                                                 const std::string& iv);

    // `ciphertext` is the Base64 part (without the IV). Fails with invalidBase64 when it does not
    // decode (no text is ever returned in place of an error), with the cipher's error for a bad
    // key, IV or length, and with invalidUtf8Data when the decrypted bytes are not UTF-8 (the
    // usual outcome of a wrong key).
    static Result<std::string, Error> aesDecrypt(const std::string& ciphertext, const std::string& key,
                                                 const std::string& iv);

    // `length` characters drawn uniformly from OpenSSL's CSPRNG: small letters only, or a class
    // picked uniformly among small letters, capitals and digits (and a space with `withSpaces`,
    // never two in a row) and then a character uniformly within it. Nothing when the random
    // source fails, so a predictable text is never handed out.
    static std::optional<std::string> randomText(std::size_t length, bool lowercaseOnly, bool withSpaces);
};

} // namespace velquor::detail
