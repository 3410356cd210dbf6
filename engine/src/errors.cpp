#include "partwise/errors.h"

#include <mutex>

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

}  // namespace partwise
