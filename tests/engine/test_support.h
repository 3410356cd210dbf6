#pragma once
// Temporary folders, files and jobs for the engine tests.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "partwise/joiner.h"
#include "partwise/splitter.h"

namespace partwise::test {

// A fresh folder under the system's temporary folder, removed with everything
// in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

// Bytes that differ from position to position, so that misplaced ranges show.
std::string PatternBytes(std::size_t size, unsigned seed = 1);
// Writes content to path, creating the folders on the way.
void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
// Every regular file below folder as "relative/path" -> content, for comparing trees.
std::vector<std::pair<std::string, std::string>> ReadTree(const std::string& folder);

// Join options that let an existing output be replaced.
inline JoinOptions Replacing() {
    JoinOptions options;
    options.replaceExisting = true;
    return options;
}

// A zero-filled job for source, measured with GetPathSize.
SplitJob MakeJob(const std::string& source, const std::string& outputFolder, int64_t chunkSize,
                 const std::string& password = "");

// Resets the engine's process-wide state before each test.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    TempDir dir;
};

}  // namespace partwise::test
