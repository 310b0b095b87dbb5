// An open directory that the library may trust with its files: the last path component was
// opened without following a link, and the descriptor itself was checked to belong to the current
// user and to be writable by no one else. Files inside are then reached relative to the
// descriptor (openat, renameat, unlinkat), so swapping a path component for a link afterwards
// redirects nothing.
//
//   SafeDirectory store;
//   if (int error = SafeDirectory::open(path, SafeDirectory::Access::ownerOnly, true, store))
//       return error;
//   AtomicFile::write(store.fd(), "item", bytes, true);
#pragma once

#include <filesystem>
#include <string>

namespace velquor::detail {

// Move-only owner of one descriptor; not thread-safe itself (each operation opens its own). No
// callbacks.
class SafeDirectory {
public:
    enum class Access {
        ownerOnly,     // mode exactly 0700: secrets and the library's own folders
        ownerWritable, // no group or other write bit (0755 is fine): a directory the host made
    };

    SafeDirectory() = default;
    ~SafeDirectory();
    SafeDirectory(SafeDirectory&& other) noexcept;
    SafeDirectory& operator=(SafeDirectory&& other) noexcept;
    SafeDirectory(const SafeDirectory&) = delete;
    SafeDirectory& operator=(const SafeDirectory&) = delete;

    // Opens `path` into `out`. With `create`, a missing last component is made with mode 0700,
    // its missing parents too (existing parents may be links and are not checked). An existing
    // directory with the wrong owner or mode is refused as it is, never changed. Results: 0;
    // ENOENT when missing; ELOOP or ENOTDIR when the last component is a link or no directory;
    // EACCES when owner or mode are wrong; other errno values from the system.
    static int open(const std::filesystem::path& path, Access access, bool create, SafeDirectory& out);
    // The same for `name` (one path component) inside this directory.
    int openChild(const std::string& name, Access access, bool create, SafeDirectory& out) const;

    int fd() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }

private:
    static int openAt(int parent, const char* name, Access access, bool create, SafeDirectory& out);

    int fd_ = -1;
};

} // namespace velquor::detail
