#pragma once
// Internal: a text file beside the chunks, written under "<path>.tmp" (created
// afresh, so a link left under that name is never written through) and renamed
// into place only once whole, so that no reader sees half of one.
#include <string>
#include <string_view>

#include "posix_file.h"

namespace partwise {

class StagedFile {
public:
    StagedFile() = default;
    // Removes the temporary file unless committed.
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Each returns 0, or -1 with the last error naming the file.
    int Open(const std::string& path);
    int Append(std::string_view bytes);
    int Commit();
    // Removes the temporary file unless committed.
    void Discard();

private:
    int Flush();

    std::string path_;
    std::string temporary_;
    UniqueFd fd_;
    std::string held_;
};

}  // namespace partwise
