#include "partwise/errors.h"

#include <cstring>
#include <mutex>

#include "fail.h"

namespace partwise {
namespace {
std::mutex g_errorMutex;
std::string g_errorText;

bool IsControlByte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

// text as it stands inside '...', each run of control bytes closing the
// quotes for a $'...' of its own.
std::string EscapeControlRuns(std::string_view text) {
    static constexpr char kNamed[] = "abtnvfr";  // \a (7) to \r (13)
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (!IsControlByte(text[i])) {
            out += text[i++];
            continue;
        }
        out += "'$'";
        for (; i < text.size() && IsControlByte(text[i]); ++i) {
            const auto byte = static_cast<unsigned char>(text[i]);
            out += '\\';
            if (byte >= 7 && byte <= 13) {
                out += kNamed[byte - 7];
            } else {
                out += static_cast<char>('0' + (byte >> 6));
                out += static_cast<char>('0' + ((byte >> 3) & 7));
                out += static_cast<char>('0' + (byte & 7));
            }
        }
        out += "''";
    }
    return out;
}
}  // namespace

std::string GetLastErrorText() {
    std::lock_guard lock(g_errorMutex);
    return g_errorText;
}

void SetLastErrorText(const std::string& text) {
    std::string escaped = EscapeControlRuns(text);
    std::lock_guard lock(g_errorMutex);
    g_errorText = std::move(escaped);
}

void ClearLastError() { SetLastErrorText(std::string()); }

std::string QuoteName(std::string_view name) {
    std::string quoted = "'" + EscapeControlRuns(name) + "'";
    // A name that ends in control bytes ends with their $'...', as ls writes it.
    if (!name.empty() && IsControlByte(name.back())) quoted.resize(quoted.size() - 2);
    return quoted;
}

int Fail(const std::string& what, const std::string& path, int err) {
    SetLastErrorText(what + " " + QuoteName(path) + ": " + std::strerror(err));
    return -1;
}

int Fail(const std::string& message) {
    SetLastErrorText(message);
    return -1;
}

}  // namespace partwise
