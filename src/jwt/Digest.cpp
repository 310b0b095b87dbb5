#include "jwt/Digest.hpp"

#include "log/Log.hpp"
#include "util/OpenSSLPtr.hpp"

#include <string>

namespace velquor::detail {

std::vector<std::uint8_t> digest(int bits, std::span<const std::uint8_t> bytes, Console* console) {
    const EVP_MD* md = nullptr;
    switch (bits) {
    case 1:
        md = EVP_sha1();
        break;
    case 256:
        md = EVP_sha256();
        break;
    case 384:
        md = EVP_sha384();
        break;
    case 512:
        md = EVP_sha512();
        break;
    default:
        if (console)
            console->writeLine("error");
        return {};
    }
    std::vector<std::uint8_t> result(static_cast<std::size_t>(EVP_MD_get_size(md)), 0);
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), result.data(), &length, md, nullptr) != 1 ||
        length != result.size()) {
        VQ_LOG(LogLevel::error, "PureJWT/Digest", "digest(_:_:)", "Digest failed: " + drainOpenSSLErrors());
        if (console)
            console->writeLine("error");
        return {};
    }
    return result;
}

} // namespace velquor::detail
