#include "platform/KeyStoreOperation.hpp"

#include <atomic>

namespace velquor::detail {

namespace {

thread_local KeyStoreOperation* tCurrent = nullptr;

} // namespace

KeyStoreOperation::KeyStoreOperation() {
    if (tCurrent == nullptr) {
        tCurrent = this;
        outermost_ = true;
    }
}

KeyStoreOperation::~KeyStoreOperation() {
    if (outermost_)
        tCurrent = nullptr;
    // resources_ go here, on the thread that kept them.
}

std::uint64_t KeyStoreOperation::makeStoreId() {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

KeyStoreOperation::Resource* KeyStoreOperation::find(std::uint64_t storeId) {
    if (tCurrent == nullptr)
        return nullptr;
    for (const auto& [id, resource] : tCurrent->resources_)
        if (id == storeId)
            return resource.get();
    return nullptr;
}

bool KeyStoreOperation::active() {
    return tCurrent != nullptr;
}

KeyStoreOperation::Resource* KeyStoreOperation::keep(std::uint64_t storeId,
                                                     std::unique_ptr<Resource>& resource) noexcept {
    if (tCurrent == nullptr || !resource)
        return nullptr;
    try {
        tCurrent->resources_.emplace_back(storeId, nullptr);
    } catch (...) {
        return nullptr; // no memory: the caller uses its resource for this one read
    }
    tCurrent->resources_.back().second = std::move(resource);
    return tCurrent->resources_.back().second.get();
}

} // namespace velquor::detail
