#include "partwise/job_checks.h"

#include "partwise/errors.h"

#include "partwise/limits.h"
#include "paths.h"

namespace partwise {
namespace {

std::string PathsProblem(const std::string& what, const std::string& input, const std::string& outputFolder) {
    if (input.empty()) return "no " + what + " is chosen";
    if (outputFolder.empty()) return "no output folder is chosen";
    for (const std::string* path : {&input, &outputFolder})
        if (std::string problem = PathLengthProblem(*path); !problem.empty()) return problem;
    return {};
}

std::string PasswordProblem(const std::string& password) {
    if (password.size() <= kMaxPasswordBytes) return {};
    return "the password is longer than " + std::to_string(kMaxPasswordBytes) + " bytes";
}

}  // namespace

std::string SplitOptionsProblem(const std::string& source, const std::string& outputFolder, const std::string& password,
                                int64_t chunkSize) {
    std::string problem = PathsProblem("source", source, outputFolder);
    if (problem.empty()) problem = PasswordProblem(password);
    if (problem.empty() && chunkSize < 1) problem = "the chunk size must be at least 1 byte";
    return problem;
}

std::string SourceNameProblem(const std::string& name) {
    if (name.empty()) return "the name is empty";
    if (name == "." || name == ".." || name.find('/') != std::string::npos)
        return "the name " + QuoteName(name) + " is not a file name";
    if (name.size() > kMaxNameBytes)
        return "the name " + QuoteName(name) + " is longer than " + std::to_string(kMaxNameBytes) + " bytes";
    return {};
}

std::string JoinOptionsProblem(const std::string& chunkFolder, const std::string& outputFolder,
                               const std::string& password) {
    std::string problem = PathsProblem("chunk folder", chunkFolder, outputFolder);
    return problem.empty() ? PasswordProblem(password) : problem;
}

}  // namespace partwise
