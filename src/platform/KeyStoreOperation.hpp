// One operation's key store reads on one thread, such as building one request token (about nine
// item reads). While an instance lives, a key store that takes part keeps what its first read had
// to open and check (FileKeyStore: its directory, opened without following a link and checked for
// owner and mode) and serves this thread's later reads through it; the instance's end drops it, so
// the next operation opens and checks afresh and sees whatever another process changed between.
//
//   {
//       const KeyStoreOperation operation;
//       std::optional<Json> claims = dataManager.getRequestClaims(); // one directory check
//   }
//
// Stores that do not take part (a host's, the memory store) are unaffected. Nested instances on
// one thread are one operation, owned by the outermost. Not thread-safe and never shared: an
// instance belongs to the thread that made it and must end there. No callbacks.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace velquor::detail {

class KeyStoreOperation {
public:
    // What a store keeps for the rest of an operation.
    class Resource {
    public:
        virtual ~Resource() = default;
    };

    KeyStoreOperation();
    ~KeyStoreOperation();
    KeyStoreOperation(const KeyStoreOperation&) = delete;
    KeyStoreOperation& operator=(const KeyStoreOperation&) = delete;

    // A number no other store of the process is given, under which a store keeps its resource.
    static std::uint64_t makeStoreId();
    // The resource kept under `storeId` in this thread's operation; null when there is none.
    static Resource* find(std::uint64_t storeId);
    // True while an operation is open on this thread.
    static bool active();
    // Takes `resource` and keeps it under `storeId` until this thread's operation ends, returning
    // it; with no operation on this thread (or no memory) leaves it with the caller: null.
    static Resource* keep(std::uint64_t storeId, std::unique_ptr<Resource>& resource) noexcept;

private:
    bool outermost_ = false;
    std::vector<std::pair<std::uint64_t, std::unique_ptr<Resource>>> resources_;
};

} // namespace velquor::detail
