// Text the library reads or writes: Base64 in both alphabets, base addresses, UTF-8 repair, and
// JSON from outside, bounded in depth.
#include "util/Base64.hpp"
#include "util/Base64URL.hpp"
#include "util/BaseAddress.hpp"
#include "util/BoundedJson.hpp"
#include "util/Utf8.hpp"

#include "jwt/JSONWebToken.hpp"
#include "remote/wire/EnrollmentResponse.hpp"
#include "remote/wire/ServerErrorResponse.hpp"

#include "OpenSSLTestKeys.hpp"
#include "TestSupport.hpp"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

using test::Bytes;

TEST(Base64Test, MatchesOpenSSLOnEveryLengthWithoutLineBreaksAndRefusesAllButCanonicalText) {
    for (int length = 0; length <= 200; ++length) {
        Bytes bytes(static_cast<std::size_t>(length));
        RAND_bytes(bytes.data(), length);
        std::string reference(static_cast<std::size_t>(4 * ((length + 2) / 3)) + 1, '\0');
        const int written =
            EVP_EncodeBlock(reinterpret_cast<unsigned char*>(reference.data()), bytes.data(), length);
        reference.resize(static_cast<std::size_t>(written));

        // EVP_EncodeBlock writes no line breaks.
        EXPECT_EQ(base64Encode(bytes), reference) << length;
        EXPECT_EQ(base64Decode(reference), bytes) << length;
    }
    // Length, missing, excess or misplaced padding, bits under the padding, white space, the URL
    // alphabet, NUL and non-ASCII bytes.
    const std::string rejected[] = {"Zg=",        "Zg",       "Z===", "====", "Zm=v",
                                    "Zg==Zm9v",   "Zm9v====", "Zh==", "Zm9=", "Zm9v\n",
                                    "Zm9v YmFy",  " Zm9",     "Zm-v", "Zm_v", std::string("Zm\0v", 4),
                                    "Zm\xC3\xA9v"};
    for (const auto& text : rejected)
        EXPECT_FALSE(base64Decode(text)) << '"' << text << '"';
}

TEST(Base64URLTest, EncodesWithTheURLAlphabetUnpaddedAndDecodesEitherAlphabet) {
    for (const auto& [bytes, text] : {std::pair<Bytes, std::string>{{}, ""},
                                      {{0x61}, "YQ"},
                                      {{0xFB, 0xFF}, "-_8"},
                                      {{0xFB, 0xEF, 0xBE}, "----"},
                                      {{0xFF, 0xFF, 0xFF}, "____"}}) {
        EXPECT_EQ(base64URLEncodedString(bytes), text);
        EXPECT_EQ(base64URLDecoded(text), bytes) << text;
    }

    Bytes long_(3000);
    RAND_bytes(long_.data(), static_cast<int>(long_.size()));
    const std::string encoded = base64URLEncodedString(long_);
    EXPECT_EQ(encoded.size(), 4000u); // no padding, no line breaks (the alphabet is the table's)
    EXPECT_EQ(base64URLDecoded(encoded), long_);

    // Decoding also takes the standard alphabet and padding; nothing else.
    for (const std::string text : {"YQ==", "YQ="})
        EXPECT_EQ(base64URLDecoded(text), Bytes{0x61}) << text;
    for (const std::string text : {"+/8=", "+/8"})
        EXPECT_EQ(base64URLDecoded(text), (Bytes{0xFB, 0xFF})) << text;
    for (const std::string text :
         {"Y", "YQ.", "YQ YQ", "YQ\n", "YQ\r\n", "Y Q", "YQ=A", "YQ*", "YQ===", "abcde"})
        EXPECT_FALSE(base64URLDecoded(text)) << '"' << text << '"';
}

TEST(BaseAddress, AcceptsOnlyHttpsDirectoriesWithoutUserQueryOrFragment) {
    for (const char* good :
         {"https://api.example/", "HTTPS://api.example:8443/v1/a/../b/", "https://[::1]:8443/"})
        EXPECT_EQ(BaseAddress::problem(good), std::nullopt) << good;

    const std::string notHttps = "the address is not an https address",
                      noSlash = "the address does not end in \"/\"",
                      extras = "the address has a query or a fragment",
                      user = "the address has user information",
                      notAbsolute = "the address is not an absolute address";
    const std::pair<const char*, std::string> bad[] = {{"http://api.example/", notHttps},
                                                       {"ftp://api.example/", notHttps},
                                                       {"https://api.example", noSlash},
                                                       {"https://api.example/v1", noSlash},
                                                       {"", noSlash},
                                                       {"https://api.example/?a=1/", extras},
                                                       {"https://api.example/#f/", extras},
                                                       {"https://api.example/?", extras},
                                                       {"https://user@api.example/", user},
                                                       {"https://u:pw@api.example/", user},
                                                       {"api.example/", notAbsolute},
                                                       {"https:///", notAbsolute},
                                                       {"https://api example/", notAbsolute}};
    for (const auto& [address, problem] : bad)
        EXPECT_EQ(BaseAddress::problem(address), problem) << address;
}

TEST(Utf8Test, ValidatesAndRepairsByteByByte) {
    // `cleaned`: the input with each byte of an invalid sequence replaced; empty when valid.
    const auto replaced = [](int bytes) {
        std::string text;
        for (int i = 0; i < bytes; ++i)
            text += "\xEF\xBF\xBD";
        return text;
    };
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"plain ascii", ""},
        {"gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x94\x91", ""},
        {"host\xFFname", "host" + replaced(1) + "name"}, // a stray byte in a host name
        {"\xC0\xAF", replaced(2)},                       // overlong '/', a classic path-escape trick
        {"\xE0\x80\xAF", replaced(3)},
        {"\xED\xA0\x80", replaced(3)},      // a UTF-16 surrogate encoded as UTF-8
        {"\xF4\x90\x80\x80", replaced(4)},  // above U+10FFFF
        {"ab\xE2\x82", "ab" + replaced(2)}, // truncated at the end: nothing is read past it
        {std::string("nul\0inside", 10), ""}};
    for (const auto& [input, cleaned] : cases) {
        SCOPED_TRACE(input);
        EXPECT_EQ(isValidUtf8(input), cleaned.empty());
        EXPECT_EQ(sanitizeUtf8(input), cleaned.empty() ? input : cleaned);
        EXPECT_TRUE(isValidUtf8(sanitizeUtf8(input)));
    }
}

// Every reader of outside JSON refuses nesting past 64 levels as its ordinary parse failure, and
// does so without recursing: each case runs on a 256 KiB thread stack (run it under the asan
// preset too), where the 100,000-deep texts used to overflow.
// `depth` nested arrays, or objects holding the next level under "e".
std::string nested(std::size_t depth, bool objects) {
    std::string open;
    for (std::size_t i = 0; i < depth; ++i)
        open += objects ? "{\"e\":" : "[";
    return open + "1" + std::string(depth, objects ? '}' : ']');
}

TEST(BoundedJsonDepth, EveryOutsideReaderAcceptsUpTo64Levels) {
    for (const auto& [depth, accepted] :
         {std::pair<std::size_t, bool>{1, true}, {64, true}, {65, false}, {100000, false}})
        test::runOnSmallStack([&, depth = depth, accepted = accepted] {
            for (bool objects : {false, true}) {
                const auto text = nested(depth, objects);
                const auto parsed = BoundedJson::parse(text);
                EXPECT_EQ(parsed.value.has_value(), accepted) << depth << (objects ? " objects" : " arrays");
                EXPECT_EQ(parsed.error, accepted ? "" : "nesting deeper than 64");

                // A token whose payload is the nested value one level down ({"e": ...} is level 1).
                if (!objects)
                    continue;
                const auto token = "eyJhbGciOiJub25lIn0." + base64URLEncodedString(text) + ".";
                const auto jwt = JSONWebToken::parse(token);
                EXPECT_EQ(static_cast<bool>(jwt), accepted) << depth;
                if (!accepted) {
                    EXPECT_EQ(jwt.error().kind, JSONWebTokenError::Kind::invalidJSON);
                }
                EXPECT_EQ(EnrollmentResponse::decode(std::string_view(text)).has_value(), accepted);
                EXPECT_EQ(ServerErrorResponse::decode(std::string_view(text)).has_value(), accepted);
            }
        });
}

} // namespace
} // namespace velquor::detail
