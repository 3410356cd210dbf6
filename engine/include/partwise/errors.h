#pragma once
// The engine's one process-wide error text. Entry points that return -1 leave
// a one-line reason here, naming the path and the system's reason, so that the
// window and the command line only have to show it. Thread-safe.
#include <string>
#include <string_view>

namespace partwise {

// The reason of the latest failure, or "" when none was recorded since the
// last ClearLastError.
std::string GetLastErrorText();

// Keeps text as the reason. Names in it stand in '...', so a control byte can
// only come from a name: each run of them is written as the shell would read
// it back, 'a'$'\n''b', which keeps the reason on one line.
void SetLastErrorText(const std::string& text);
void ClearLastError();

// name in '...' for a message, its control bytes written as
// `ls --quoting-style=shell-escape` writes them: 'a'$'\n''b'.
std::string QuoteName(std::string_view name);

}  // namespace partwise
