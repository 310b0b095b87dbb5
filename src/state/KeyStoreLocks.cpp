#include "state/KeyStoreLocks.hpp"

#include <iterator>
#include <map>

namespace velquor::detail {
namespace {

struct Registry {
    std::mutex mutex;
    // Weak: the locks of a store nobody uses any more go with their last Keychain.
    std::map<const KeyStore*, std::weak_ptr<KeyStoreLocks>> entries;
};

Registry& registry() {
    static auto* instance = new Registry; // leaked: outlives threads still running at exit
    return *instance;
}

} // namespace

std::shared_ptr<KeyStoreLocks> KeyStoreLocks::of(const std::shared_ptr<KeyStore>& store) {
    if (!store)
        return nullptr;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    for (auto it = r.entries.begin(); it != r.entries.end();)
        it = it->second.expired() ? r.entries.erase(it) : std::next(it);
    auto& entry = r.entries[store.get()];
    auto locks = entry.lock();
    if (!locks) {
        locks = std::make_shared<KeyStoreLocks>();
        entry = locks;
    }
    return locks;
}

} // namespace velquor::detail
