#include "partwise/errors.h"

#include <cstring>
#include <mutex>

#include "fail.h"

namespace partwise {
namespace {
std::mutex g_errorMutex;
std::string g_errorText;
}  // namespace

std::string GetLastErrorText() {
    std::lock_guard lock(g_errorMutex);
    return g_errorText;
}

void SetLastErrorText(const std::string& text) {
    std::lock_guard lock(g_errorMutex);
    g_errorText = text;
}

void ClearLastError() { SetLastErrorText(std::string()); }

int Fail(const std::string& what, const std::string& path, int err) {
    SetLastErrorText(what + " '" + path + "': " + std::strerror(err));
    return -1;
}

int Fail(const std::string& message) {
    SetLastErrorText(message);
    return -1;
}

}  // namespace partwise
