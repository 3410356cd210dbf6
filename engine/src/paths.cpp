#include "paths.h"

#include <string_view>

#include "fail.h"
#include "partwise/errors.h"
#include "partwise/limits.h"

namespace partwise {

std::string PathLengthProblem(const std::string& path) {
    if (path.size() <= kMaxPathBytes) return {};
    return "the path " + QuoteName(path) + " is longer than " + std::to_string(kMaxPathBytes) + " bytes";
}

int CheckPathLength(const std::string& path) {
    const std::string problem = PathLengthProblem(path);
    return problem.empty() ? 0 : Fail(problem);
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

bool IsSafeRelativePath(const std::string& path) {
    std::size_t start = 0;
    for (;;) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string_view part = std::string_view(path).substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (end == path.size()) return true;
        start = end + 1;
    }
}

std::string ParentOf(const std::string& relative) {
    const std::size_t slash = relative.rfind('/');
    return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

std::string NameOf(const std::string& relative) { return relative.substr(relative.rfind('/') + 1); }

}  // namespace partwise
