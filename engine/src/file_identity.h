#pragma once
// Internal: files told apart by device and inode, whatever their names.
#include <sys/stat.h>

#include <compare>
#include <vector>

namespace partwise {

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    auto operator<=>(const FileIdentity&) const = default;
};
FileIdentity IdentityOf(const struct stat& st);

// Files a split or a join must never write over, looked up once per output
// file: a sorted set, since a folder may hold many thousands of them.
class FileIdentitySet {
public:
    void Add(const FileIdentity& identity) { identities_.push_back(identity); }
    // Call once after the last Add and before the first Contains.
    void Seal();
    bool Contains(const FileIdentity& identity) const;
    bool empty() const { return identities_.empty(); }

private:
    std::vector<FileIdentity> identities_;
};

}  // namespace partwise
