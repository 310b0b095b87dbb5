// A private key handle whose every operation answers one status, as a key store that lost
// access to the key would: what the memory key store hands out while signing is made to fail.
#pragma once

#include <velquor/Platform.hpp>

namespace velquor::detail {

class RefusingKeyRef final : public KeyRef {
public:
    explicit RefusingKeyRef(KeyStoreStatus status)
        : status_(status) {}
    bool isPrivate() const override { return true; }
    std::size_t blockSize() const override { return 256; }
    KeyStoreStatus rawSign(DigestAlgorithm, const std::vector<std::uint8_t>&,
                           std::vector<std::uint8_t>&) const override {
        return status_;
    }
    KeyStoreStatus rawVerify(DigestAlgorithm, const std::vector<std::uint8_t>&,
                             const std::vector<std::uint8_t>&) const override {
        return status_;
    }

private:
    KeyStoreStatus status_;
};

} // namespace velquor::detail
