// How the library's own key stores combine the statuses of <velquor/Platform.hpp>.
#pragma once

#include <velquor/Platform.hpp>

#include <initializer_list>

namespace velquor::detail {

// The status of two deletions made as one, as KeyStore::deleteKeyPair() reports it.
inline KeyStoreStatus combineDeletions(KeyStoreStatus first, KeyStoreStatus second) {
    for (KeyStoreStatus status : {first, second})
        if (status != kKeyStoreSuccess && status != kKeyStoreItemNotFound)
            return status;
    return first == kKeyStoreSuccess || second == kKeyStoreSuccess ? kKeyStoreSuccess : kKeyStoreItemNotFound;
}

} // namespace velquor::detail
