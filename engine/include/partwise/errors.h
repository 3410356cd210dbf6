#pragma once
// The engine's one process-wide error text. Entry points that return -1 leave
// a one-line reason here, naming the path and the system's reason, so that the
// window and the command line only have to show it. Thread-safe.
#include <string>

namespace partwise {

// The reason of the latest failure, or "" when none was recorded since the
// last ClearLastError.
std::string GetLastErrorText();

void SetLastErrorText(const std::string& text);
void ClearLastError();

}  // namespace partwise
