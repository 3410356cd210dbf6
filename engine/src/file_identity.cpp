#include "file_identity.h"

#include <algorithm>

namespace partwise {

FileIdentity IdentityOf(const struct stat& st) { return FileIdentity{st.st_dev, st.st_ino}; }

void FileIdentitySet::Seal() { std::sort(identities_.begin(), identities_.end()); }

bool FileIdentitySet::Contains(const FileIdentity& identity) const {
    return std::binary_search(identities_.begin(), identities_.end(), identity);
}

}  // namespace partwise
