// The outcome of every key store read.
#pragma once

#include <velquor/Platform.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velquor::detail {

enum class KeychainStatus { success, itemNotFound, failure };

struct KeychainResult {
    KeychainStatus status = KeychainStatus::failure;
    KeyStoreStatus osStatus = 0;
    // Filled only by key data reads.
    std::optional<std::vector<std::uint8_t>> data;
    // Filled only by string reads; absent when the item holds no valid UTF-8.
    std::optional<std::string> text;

    static KeychainStatus classify(KeyStoreStatus status) {
        if (status == kKeyStoreSuccess)
            return KeychainStatus::success;
        if (status == kKeyStoreItemNotFound)
            return KeychainStatus::itemNotFound;
        return KeychainStatus::failure;
    }
};

} // namespace velquor::detail
