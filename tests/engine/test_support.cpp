#include "test_support.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "partwise/descriptor.h"
#include "partwise/errors.h"
#include "partwise/fsutil.h"
#include "partwise/progress.h"

namespace fs = std::filesystem;

namespace partwise::test {

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "partwise-test-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    // Tests may take permissions away; give them back so that removal works.
    for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (!it->is_symlink()) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path_, ec);
}

std::string PatternBytes(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return bytes;
}

void WriteFile(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out.good()) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

std::vector<std::pair<std::string, std::string>> ReadTree(const std::string& folder) {
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file())
            files.emplace_back(fs::relative(entry.path(), folder).string(), ReadFile(entry.path().string()));
    }
    std::sort(files.begin(), files.end());
    return files;
}

SplitJob MakeJob(const std::string& source, const std::string& outputFolder, int64_t chunkSize,
                 const std::string& password) {
    SplitJob job;
    std::memset(&job, 0, sizeof job);
    std::strncpy(job.sourcePath, source.c_str(), sizeof job.sourcePath - 1);
    std::strncpy(job.outputFolder, outputFolder.c_str(), sizeof job.outputFolder - 1);
    std::strncpy(job.password, password.c_str(), sizeof job.password - 1);
    job.totalSize = GetPathSize(source);
    job.chunkSize = chunkSize;
    return job;
}

void EngineTest::SetUp() {
    ClearCancel();
    ResetDescriptorState();
    ClearLastError();
}

}  // namespace partwise::test
